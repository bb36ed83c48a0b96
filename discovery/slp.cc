#include "discovery/slp.h"

#include <cstring>

namespace discovery {

namespace {

constexpr uint16_t kXid = 0x2010;
constexpr std::string_view kLanguage = "en";
constexpr std::string_view kService = "service:printer:raw-tcp";
constexpr std::string_view kScope = "DEFAULT";
constexpr size_t kAttrListStart = 20;
constexpr unsigned kAttrRply = 7;

class Writer {
 public:
  explicit Writer(uint8_t* p) : p_(p) {}
  void u8(unsigned v) { p_[n_++] = static_cast<uint8_t>(v); }
  void u16(unsigned v) { u8(v >> 8); u8(v); }
  void u24(unsigned v) { u8(v >> 16); u16(v & 0xffff); }
  void text(std::string_view s) {
    u16(static_cast<unsigned>(s.size()));
    std::memcpy(p_ + n_, s.data(), s.size());
    n_ += s.size();
  }
  size_t size() const { return n_; }

 private:
  uint8_t* p_;
  size_t n_ = 0;
};

}  // namespace

std::array<uint8_t, kSlpRequestSize> set_slp_req() {
  std::array<uint8_t, kSlpRequestSize> req{};
  Writer w(req.data());
  w.u8(2);                    // version
  w.u8(6);                    // AttrRqst
  w.u24(kSlpRequestSize);     // length
  w.u16(0);                   // flags
  w.u24(0);                   // next extension offset
  w.u16(kXid);
  w.text(kLanguage);
  w.text("");                 // previous responders
  w.text(kService);
  w.text(kScope);
  w.text("");                 // tag list
  w.text("");                 // SLP SPI
  return req;
}

bool slp_reply_from_controller(const Ip4& source, std::string_view datagram) {
  if (!in_link_network(source) || datagram.size() <= kAttrListStart) return false;
  // Only the answer to our request: any other SLP message (a service reply, an advertisement, a
  // request of another agent) or another search's transaction may hold a maker's name too.
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(datagram[i]); };
  if (byte(0) != 2 || byte(1) != kAttrRply || ((byte(10) << 8) | byte(11)) != kXid) return false;
  std::string_view attrs = datagram.substr(kAttrListStart);
  return attrs.find("Velkoran") != std::string_view::npos ||
         attrs.find("Trundell") != std::string_view::npos;
}

}  // namespace discovery
