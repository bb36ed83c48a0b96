#include "discovery/statuspage.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "common/http_client.h"

namespace discovery {

namespace {

constexpr size_t npos = std::string_view::npos;

// The text after `after` that follows the first `key` (npos when either is missing).
size_t value_start(std::string_view text, std::string_view key, std::string_view after) {
  size_t k = text.find(key);
  if (k == npos) return npos;
  size_t a = text.find(after, k + key.size());
  return a == npos ? npos : a + after.size();
}

std::string line(const char* label, const Ip4& a) {
  return std::string("KOVA ") + label + ": " + dotted(a) + "\n";
}

// "ui_ip" and "kova_ip": taken when on the link network, or on the external network when that
// is known.
void read_link_address(std::string_view text, std::string_view key, const char* label,
                       const Ip4& external, Ip4* out, std::string* log) {
  size_t at = value_start(text, key, " \"");
  if (at == npos) return;
  std::optional<Ip4> a = read_dotted(text.substr(at));
  bool on_external = !is_zero(external) && a && (*a)[0] == external[0] &&
                     (*a)[1] == external[1] && (*a)[2] == external[2];
  if (a && ((*a)[0] == 172 || on_external)) {
    *out = *a;
    *log += line(label, *a);
  } else {
    *log += std::string("KOVA ") + label + ": invalid\n";
  }
}

void read_mac(std::string_view text, std::string* mac, std::string* log) {
  size_t at = value_start(text, "kova_mac", ":");
  if (at == npos) return;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  if (at >= text.size() || text[at] != '"') return;
  ++at;
  size_t end = at;
  while (end < text.size() && end - at < kMacMax && text[end] != '"' &&
         !std::isspace(static_cast<unsigned char>(text[end])))
    ++end;
  *mac = std::string(text.substr(at, end - at));
  *log += "KOVA kova_mac: " + *mac + "\n";
}

void read_alive(std::string_view text, int* alive, std::string* log) {
  size_t at = value_start(text, "ui_alive", ":");
  if (at == npos) return;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool neg = at < text.size() && text[at] == '-';
  if (neg || (at < text.size() && text[at] == '+')) ++at;
  long v = 0;
  size_t digits = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++digits)
    if (v < INT_MAX) v = v * 10 + (text[at] - '0');
  if (digits == 0) return;
  if (v > INT_MAX) v = INT_MAX;
  *alive = static_cast<int>(neg ? -v : v);
  *log += "KOVA ui_alive: " + std::to_string(*alive) + "\n";
}

}  // namespace

int read_status_page(std::string_view reply, bool want_external, ControllerStatus* st,
                     std::string* log) {
  if (reply.size() > kStatusReplyMax) reply = reply.substr(0, kStatusReplyMax);
  std::string decoded;
  std::string_view text = reply;
  ld::http::Head head = ld::http::parse_head(reply);
  if (reply.starts_with("HTTP/") && head.complete()) {
    text = reply.substr(head.body());
    if (head.chunked) {
      decoded = ld::http::decode_chunked(reply, head.end).body;
      text = decoded;
    }
  }
  if (want_external) {
    size_t at = value_start(text, "printer_ip", ":");
    if (at != npos) at = text.find('"', at);
    if (at != npos) {
      if (std::optional<Ip4> a = read_dotted(text.substr(at + 1))) st->external = *a;
      *log += line("extern_ip", st->external);
    }
  }
  read_link_address(text, "ui_ip", "ui_ip", st->external, &st->ui, log);
  read_link_address(text, "kova_ip", "kova_ip", st->external, &st->controller, log);
  read_mac(text, &st->mac, log);
  read_alive(text, &st->ui_alive, log);
  return is_zero(st->ui) ? 0 : 1;
}

}  // namespace discovery
