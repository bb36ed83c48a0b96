#include "relay/reply.h"

#include <cctype>
#include <cstring>

namespace ewsrelay {

namespace {

constexpr std::string_view kContent = "Content";
constexpr std::string_view kChunked = "Transfer-Encoding: chunked";
constexpr std::string_view kEnd = "END\r\n\n";
constexpr size_t npos = std::string_view::npos;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Where the parts of a reply's header block are. "Content" is looked for only in the header
// lines: a status line such as "204 No Content", or a body that happens to hold the word, must
// not be taken for a header.
struct Header {
  size_t end = npos;      // the "\r\n\r\n" closing the header block
  size_t content = npos;  // the first "Content" among the header lines
  bool chunked = false;
};

Header locate(std::string_view reply) {
  Header h;
  h.end = reply.find("\r\n\r\n");
  std::string_view block = h.end == npos ? reply : reply.substr(0, h.end + 2);
  size_t from = 0;
  if (block.substr(0, 5) == "HTTP/") {
    size_t eol = block.find("\r\n");
    from = eol == npos ? block.size() : eol + 2;
  }
  h.content = block.find(kContent, from);
  h.chunked = h.content != npos && block.find(kChunked) != npos;
  return h;
}

// The value of a Content-Length header line in the header block, if there is a readable one.
std::optional<uint64_t> content_length(std::string_view block) {
  static constexpr std::string_view kName = "\ncontent-length:";
  for (size_t i = 0; i + kName.size() <= block.size(); ++i) {
    size_t k = 0;
    while (k < kName.size() && std::tolower(static_cast<unsigned char>(block[i + k])) == kName[k]) ++k;
    if (k < kName.size()) continue;
    size_t p = i + k;
    while (p < block.size() && (block[p] == ' ' || block[p] == '\t')) ++p;
    uint64_t v = 0;
    size_t digits = 0;
    for (; p < block.size() && block[p] >= '0' && block[p] <= '9'; ++p, ++digits) {
      if (v > (uint64_t{1} << 40)) return std::nullopt;
      v = v * 10 + static_cast<uint64_t>(block[p] - '0');
    }
    if (digits == 0) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

// The byte after a chunk's data must start its line end: CR, or LF as the second byte.
bool line_end_at(std::string_view s, size_t p) {
  return (p < s.size() && s[p] == '\r') || (p + 1 < s.size() && s[p + 1] == '\n');
}

}  // namespace

std::string build_request(std::string_view method, std::string_view path) {
  std::string req(method.empty() ? "POST" : method);
  req += ' ';
  req += path.empty() ? std::string_view("/") : path;
  req += " HTTP/1.0\r\n\r\n";
  return req;
}

std::optional<std::string> getParam(std::string_view query, std::string_view name,
                                    std::string* err) {
  std::string key(name);
  key += '=';
  size_t at = query.find(key);
  if (at == npos) return std::nullopt;
  std::string value;
  for (size_t i = at + key.size(); i < query.size() && query[i] != '&'; ++i) {
    char c = query[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < query.size() && hex_value(query[i + 1]) >= 0 &&
               hex_value(query[i + 2]) >= 0) {
      c = static_cast<char>(hex_value(query[i + 1]) * 16 + hex_value(query[i + 2]));
      i += 2;
    }
    if (value.size() == kValueMax) {
      if (err) *err = "value of " + std::string(name) + " longer than " + std::to_string(kValueMax) + " characters";
      return std::nullopt;
    }
    value += c;
  }
  return value;
}

bool path_acceptable(std::string_view path, std::string* err) {
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7f) {
      if (err) *err = "control character 0x" + std::string(1, "0123456789abcdef"[c >> 4]) +
                      "0123456789abcdef"[c & 15] + " in path at offset " + std::to_string(i);
      return false;
    }
  }
  return true;
}

ChunkHead read_chunk_head(std::string_view s, size_t pos) {
  ChunkHead h;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\r' || s[pos] == '\n')) ++pos;
  if (pos >= s.size()) return h;  // kNeedMore
  size_t p = pos;
  uint64_t size = 0;
  for (; p < s.size() && hex_value(s[p]) >= 0; ++p) {
    // Saturate: no reply can hold more than kReplyMax bytes anyway.
    size = size > (uint64_t{1} << 40) ? size : size * 16 + static_cast<uint64_t>(hex_value(s[p]));
  }
  h.digits_end = p;
  if (size == 0) {
    h.kind = ChunkHead::kLast;
    return h;
  }
  if (p < s.size() && s[p] == '\r') {
    // taken
  } else if (p + 1 >= s.size()) {
    return h;  // kNeedMore: the line end has not arrived yet
  } else if (s[p + 1] != '\n') {
    h.kind = ChunkHead::kBad;
    return h;
  }
  h.kind = ChunkHead::kData;
  h.data = p + 2;
  h.size = size;
  return h;
}

ReplyWatch::State ReplyWatch::update(std::string_view reply) {
  if (state_ != kWaiting) return state_;
  if (!headers_seen_) {
    Header h = locate(reply);
    if (h.end == npos) return state_;
    headers_seen_ = true;
    body_start_ = h.end + 4;
    chunk_pos_ = h.end;
    if (h.chunked) {
      framed_ = chunked_ = true;
    } else if (auto len = content_length(reply.substr(0, h.end + 2))) {
      framed_ = true;
      content_length_ = *len;
    }
  }
  if (!framed_) return state_;
  if (!chunked_) {
    if (reply.size() - body_start_ >= content_length_) state_ = kComplete;
    return state_;
  }
  for (;;) {
    ChunkHead c = read_chunk_head(reply, chunk_pos_);
    switch (c.kind) {
      case ChunkHead::kNeedMore:
        return state_;
      case ChunkHead::kBad:
        return state_ = kBroken;
      case ChunkHead::kLast:
        // "0" alone may still become "0a": wait for the byte that ends the size.
        if (c.digits_end < reply.size()) state_ = kComplete;
        return state_;
      case ChunkHead::kData:
        break;
    }
    uint64_t after = c.data + c.size;
    if (after + 2 > reply.size()) return state_;  // data and its line end not all here yet
    if (!line_end_at(reply, static_cast<size_t>(after))) return state_ = kBroken;
    chunk_pos_ = static_cast<size_t>(after);
  }
}

Relayed relay_reply(std::string_view reply) {
  Relayed r;
  Header h = locate(reply);
  if (h.content == npos) {
    // Nothing to turn into a CGI header: the reply goes out as it came, its header block before
    // the body. A saved copy takes the body only, and only when the header block ended: an empty
    // or cut reply is no page and must not replace the previous one.
    if (h.end == npos) {
      r.body = reply;
      return r;
    }
    r.head = reply.substr(0, h.end + 4);
    r.body = reply.substr(h.end + 4);
    r.whole = true;
    return r;
  }
  if (!h.chunked) {
    // The remaining header lines and the empty line go to standard output, the body to the
    // output: the same bytes on standard output, and a saved copy holds only the document.
    if (h.end == npos) {
      r.head = reply.substr(h.content);
    } else {
      r.head = reply.substr(h.content, h.end + 4 - h.content);
      r.body = reply.substr(h.end + 4);
    }
    r.tail = kEnd;
    r.whole = h.end != npos;
    return r;
  }

  size_t eol = h.content + 12 <= reply.size() ? reply.find("\r\n", h.content + 12) : npos;
  if (eol == npos) {
    r.errors = "ERROR\n\n";
    return r;
  }
  r.head = reply.substr(h.content, eol + 2 - h.content);
  r.head += '\n';
  size_t end = reply.find("\r\n\r\n", h.content);
  if (end == npos) {
    r.errors = "Header block error [[" + std::string(reply.substr(h.content)) + "]] [[(null)]]\n";
    return r;
  }
  size_t pos = end;
  for (;;) {
    ChunkHead c = read_chunk_head(reply, pos);
    if (c.kind == ChunkHead::kLast) break;
    if (c.kind == ChunkHead::kBad) {
      r.tail = "chunk encoding error!!!!";
      return r;
    }
    if (c.kind == ChunkHead::kNeedMore || c.data + c.size > reply.size()) {
      // The reply stopped inside this chunk: pass on what is there, never read past it.
      if (c.kind == ChunkHead::kData && c.data < reply.size()) r.body += reply.substr(c.data);
      r.errors = "ERROR reply ends inside a chunk\n";
      return r;
    }
    r.body += reply.substr(c.data, static_cast<size_t>(c.size));
    size_t after = c.data + static_cast<size_t>(c.size);
    // The closing zero chunk with its line ends takes 7 bytes: 8 or fewer left end the body.
    if (reply.size() - after <= 8) break;
    if (!line_end_at(reply, after)) {
      r.tail = "incorrect end of chunk!";
      return r;
    }
    pos = after;
  }
  r.tail = kEnd;
  r.whole = true;
  return r;
}

}  // namespace ewsrelay
