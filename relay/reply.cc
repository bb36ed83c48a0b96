#include "relay/reply.h"

#include <algorithm>

#include "common/hexcode.h"

namespace ewsrelay {

namespace {

using ld::http::Head;

constexpr std::string_view kContent = "Content";
constexpr std::string_view kEnd = "END\r\n\n";
constexpr size_t npos = std::string_view::npos;

// The first "Content" among the header lines: a status line such as "204 No Content", or a
// body that happens to hold the word, must not be taken for a header.
size_t first_content(std::string_view reply, const Head& h) {
  std::string_view block = h.complete() ? reply.substr(0, h.end + 2) : reply;
  return block.find(kContent, h.lines);
}

// A header value goes on only as one plain line: a bare LF or other control byte in it would
// let the printer start header lines of its own choosing.
bool plain_value(std::string_view v) {
  for (char c : v) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return false;
  }
  return true;
}

// The header lines of the relayed page, each ended by CR LF: its type and encoding as the
// printer gave them, and, when the printer announced a length, the length of `body_size`.
std::string page_headers(std::string_view reply, const Head& h, std::optional<size_t> body_size) {
  std::string out;
  auto pass = [&](std::string_view name) {
    std::optional<std::string_view> v = ld::http::header_value(reply, h, name);
    if (v && plain_value(*v)) out.append(name).append(": ").append(*v).append("\r\n");
  };
  pass("Content-Type");
  if (body_size && ld::http::header_value(reply, h, "Content-Length"))
    out += "Content-Length: " + std::to_string(*body_size) + "\r\n";
  pass("Content-Encoding");
  return out;
}

}  // namespace

std::optional<std::string> getParam(std::string_view query, std::string_view name,
                                    std::string* err) {
  std::string key(name);
  key += '=';
  size_t at = query.find(key);
  if (at == npos) return std::nullopt;
  const size_t from = at + key.size();
  const size_t end = std::min(query.find('&', from), query.size());
  ld::PercentRule rule;
  rule.max = kValueMax + 1;  // one byte past the bound tells that the value is longer
  std::string value = ld::percent_decode(query.substr(from, end - from), rule);
  if (value.size() > kValueMax) {
    if (err) *err = "value of " + std::string(name) + " longer than " + std::to_string(kValueMax) + " characters";
    return std::nullopt;
  }
  return value;
}

namespace {

// A reply without any Content header: nothing to turn into a CGI header, so it goes out as it
// came, its header block before the body. A saved copy takes the body only, and only when the
// header block ended: an empty or cut reply is no page and must not replace the previous one.
Relayed relay_unlabelled(std::string_view reply, const Head& h, bool cgi) {
  Relayed r;
  if (cgi) {
    r.head = "\r\n";
    if (h.complete()) r.body = reply.substr(h.body());
    r.whole = h.complete();
    return r;
  }
  if (!h.complete()) {
    r.body = reply;
    return r;
  }
  r.head = reply.substr(0, h.body());
  r.body = reply.substr(h.body());
  r.whole = true;
  return r;
}

// The page's header lines and the empty line go to standard output, the body to the output: a
// saved copy holds only the document. A cut header block still gives a well-formed (empty) page.
Relayed relay_plain(std::string_view reply, const Head& h) {
  Relayed r;
  if (h.complete()) r.body = reply.substr(h.body());
  r.head = page_headers(reply, h, r.body.size()) + "\r\n";
  r.tail = kEnd;
  r.whole = h.complete();
  return r;
}

Relayed relay_chunked(std::string_view reply, const Head& h, size_t content) {
  Relayed r;
  size_t eol = content + 12 <= reply.size() ? reply.find("\r\n", content + 12) : npos;
  if (eol == npos) {
    r.errors = "ERROR\n\n";
    return r;
  }
  r.head = page_headers(reply, h, std::nullopt) + "\n";
  size_t end = reply.find("\r\n\r\n", content);
  if (end == npos) {
    r.errors = "Header block error [[" + std::string(reply.substr(content)) + "]] [[(null)]]\n";
    return r;
  }
  ld::http::Dechunked d = ld::http::decode_chunked(reply, end);
  r.body = std::move(d.body);
  switch (d.status) {
    case ld::http::Dechunked::kWhole:
      r.tail = kEnd;
      r.whole = true;
      break;
    case ld::http::Dechunked::kCut:
      r.errors = "ERROR reply ends inside a chunk\n";
      break;
    case ld::http::Dechunked::kBadSize:
      r.tail = "chunk encoding error!!!!";
      break;
    case ld::http::Dechunked::kBadEnd:
      r.tail = "incorrect end of chunk!";
      break;
  }
  return r;
}

}  // namespace

Relayed relay_reply(std::string_view reply, bool cgi) {
  Head h = ld::http::parse_head(reply);
  size_t content = first_content(reply, h);
  if (content == npos) return relay_unlabelled(reply, h, cgi);
  if (!h.chunked) return relay_plain(reply, h);
  return relay_chunked(reply, h, content);
}

}  // namespace ewsrelay
