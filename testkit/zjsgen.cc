#include "testkit/zjsgen.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/hexcode.h"

namespace testkit {
namespace {

// Writes through a buffer, or only counts when fd < 0.
class Sink {
 public:
  explicit Sink(int fd) : fd_(fd) {}
  ~Sink() { flush(); }
  void put(const void* p, size_t n) {
    count_ += n;
    if (fd_ < 0 || !ok_) return;
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
      size_t take = std::min(n, sizeof buf_ - len_);
      std::memcpy(buf_ + len_, c, take);
      len_ += take;
      c += take;
      n -= take;
      if (len_ == sizeof buf_) flush();
    }
  }
  void put(const std::string& s) { put(s.data(), s.size()); }
  void flush() {
    if (fd_ >= 0 && ok_ && len_ > 0) ok_ = ld::write_all(fd_, buf_, len_);
    len_ = 0;
  }
  bool ok() const { return ok_; }
  uint64_t count() const { return count_; }

 private:
  int fd_;
  bool ok_ = true;
  uint64_t count_ = 0;
  size_t len_ = 0;
  char buf_[1 << 16];
};

void put_chunk(Sink& s, uint32_t type, const std::vector<zjs::Item>& items) {
  unsigned char h[zjs::kHeaderSize];
  zjs::ChunkHeader ch;
  ch.type = type;
  ch.items = static_cast<uint32_t>(items.size());
  ch.size = static_cast<uint32_t>(zjs::kHeaderSize + zjs::kNumericItemSize * items.size());
  zjs::encode_header(ch, h);
  s.put(h, sizeof h);
  for (const auto& it : items) {
    unsigned char b[zjs::kNumericItemSize];
    zjs::encode_item(it, b);
    s.put(b, sizeof b);
  }
}

zjs::Item item(uint16_t id, uint32_t value) {
  zjs::Item it;
  it.id = id;
  it.value = value;
  return it;
}

void put_stream(Sink& s, const JobSpec& gen) {
  s.put("JZJZ", 4);
  std::vector<zjs::Item> doc;
  if (gen.with_pagecount) doc.push_back(item(zjs::ZJI_PAGECOUNT, static_cast<uint32_t>(gen.pages)));
  doc.insert(doc.end(), gen.doc_items.begin(), gen.doc_items.end());
  put_chunk(s, zjs::START_DOC, doc);
  std::vector<unsigned char> block(std::min<uint64_t>(gen.payload_chunk, 1 << 20));
  for (int p = 1; p <= gen.pages; ++p) {
    std::vector<zjs::Item> page{item(zjs::ZJI_COPIES, 1)};
    page.insert(page.end(), gen.page_items.begin(), gen.page_items.end());
    put_chunk(s, zjs::START_PAGE, page);
    uint32_t x = gen.seed * 2654435761u + static_cast<uint32_t>(p) * 40503u;
    for (uint64_t left = gen.payload; left > 0;) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, block.size()));
      unsigned char h[zjs::kHeaderSize];
      zjs::ChunkHeader ch;
      // Opaque data: every reader carries it through, no page decoder draws it.
      ch.type = zjs::OPAQUE_DATA;
      ch.size = static_cast<uint32_t>(zjs::kHeaderSize + n);
      ch.items = 0;
      zjs::encode_header(ch, h);
      s.put(h, sizeof h);
      if (s.ok()) {
        for (uint32_t i = 0; i < n; ++i) {
          x = x * 1103515245u + 12345u;
          block[i] = static_cast<unsigned char>(x >> 16);
        }
      }
      s.put(block.data(), n);
      left -= n;
    }
    put_chunk(s, zjs::END_PAGE, {});
  }
  put_chunk(s, zjs::END_DOC, {});
}

std::string preamble(const std::string& name, const std::string& extra) {
  return "\x1b%-12345X@PJL JOB WNAME = \"" + hex_name(name) + "\"" + extra;
}

}  // namespace

std::string hex_name(const std::string& name) { return ld::hex_text(name); }

uint64_t job_length(const JobSpec& gen) {
  Sink counter(-1);
  JobSpec plain = gen;
  put_stream(counter, plain);
  uint64_t n = counter.count();
  if (gen.capture) n += preamble(gen.name, gen.pjl_extra).size() + 4;
  return n;
}

bool write_job(const JobSpec& gen, int fd) {
  Sink s(fd);
  uint64_t total = gen.capture ? job_length(gen) : 0;
  if (gen.capture) s.put(preamble(gen.name, gen.pjl_extra));
  put_stream(s, gen);
  if (gen.capture) {
    unsigned char t[4];
    write32(static_cast<uint32_t>(total), t);
    s.put(t, 4);
  }
  s.flush();
  return s.ok();
}

std::string make_job(const JobSpec& gen) {
  std::string out;
  char tmpl[] = "/tmp/zjsgenXXXXXX";
  int fd = ::mkstemp(tmpl);
  if (fd < 0) return out;
  write_job(gen, fd);
  ::close(fd);
  ld::read_file(tmpl, &out);
  ::unlink(tmpl);
  return out;
}

std::string wrap_capture(const std::string& stream, const std::string& name,
                         const std::string& pjl_extra) {
  std::string out = preamble(name, pjl_extra) + stream;
  unsigned char t[4];
  write32(static_cast<uint32_t>(out.size() + 4), t);
  out.append(reinterpret_cast<char*>(t), 4);
  return out;
}

}  // namespace testkit
