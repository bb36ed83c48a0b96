#include "common/http_client.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "common/hexcode.h"
#include "common/net.h"

namespace ld::http {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr size_t kReadPiece = 65536;

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Leading decimal digits, blanks skipped; none, or a value no reply could hold, reads as none.
std::optional<uint64_t> leading_number(std::string_view s) {
  uint64_t v = 0;
  size_t digits = 0;
  for (; digits < s.size() && s[digits] >= '0' && s[digits] <= '9'; ++digits) {
    if (v > (uint64_t{1} << 40)) return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(s[digits] - '0');
  }
  if (digits == 0) return std::nullopt;
  return v;
}

// The byte after a chunk's data must start its line end: CR, or LF as the second byte.
bool line_end_at(std::string_view s, size_t p) {
  return (p < s.size() && s[p] == '\r') || (p + 1 < s.size() && s[p + 1] == '\n');
}

int ms_left(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.at - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)) : 0;
}

// Reads one piece into the end of `reply`: bytes read, 0 when the server closed, -1 on error.
long read_piece(int fd, std::string* reply, size_t max) {
  size_t old = reply->size();
  reply->resize(old + max);
  ssize_t n;
  do n = ::recv(fd, reply->data() + old, max, 0);
  while (n < 0 && errno == EINTR);
  int saved = errno;
  reply->resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
  errno = saved;
  return n;
}

}  // namespace

std::string build_request(std::string_view method, std::string_view path) {
  std::string req(method.empty() ? "POST" : method);
  req += ' ';
  req += path.empty() ? std::string_view("/") : path;
  req += " HTTP/1.0\r\n\r\n";
  return req;
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

Head parse_head(std::string_view reply) {
  Head h;
  h.end = reply.find("\r\n\r\n");
  if (reply.substr(0, 5) == "HTTP/") {
    size_t eol = reply.find("\r\n");
    h.lines = eol == npos ? reply.size() : eol + 2;
  }
  if (auto te = header_value(reply, h, "Transfer-Encoding")) {
    std::string v(*te);
    for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    h.chunked = v.find("chunked") != std::string::npos;
  }
  if (auto len = header_value(reply, h, "Content-Length")) h.content_length = leading_number(*len);
  return h;
}

std::optional<std::string_view> header_value(std::string_view reply, const Head& head,
                                             std::string_view name) {
  // Only whole lines count: a line still arriving may yet grow.
  size_t limit = head.complete() ? head.end + 2 : reply.rfind("\r\n");
  if (limit == npos) return std::nullopt;
  for (size_t pos = head.lines; pos < limit;) {
    size_t eol = reply.find("\r\n", pos);
    std::string_view line = reply.substr(pos, eol - pos);
    pos = eol + 2;
    size_t colon = line.find(':');
    if (colon != npos && same_name(trim(line.substr(0, colon)), name)) return trim(line.substr(colon + 1));
  }
  return std::nullopt;
}

ChunkHead read_chunk_head(std::string_view s, size_t pos) {
  ChunkHead h;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\r' || s[pos] == '\n')) ++pos;
  if (pos >= s.size()) return h;  // kNeedMore
  size_t p = pos;
  uint64_t size = 0;
  for (; p < s.size() && hex_digit(s[p]) >= 0; ++p) {
    // Saturate: no reply can hold more than a few MiB anyway.
    size = size > (uint64_t{1} << 40) ? size : size * 16 + static_cast<uint64_t>(hex_digit(s[p]));
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

Dechunked decode_chunked(std::string_view reply, size_t pos) {
  Dechunked d;
  for (;;) {
    ChunkHead c = read_chunk_head(reply, pos);
    if (c.kind == ChunkHead::kLast) return d;
    if (c.kind == ChunkHead::kBad) {
      d.status = Dechunked::kBadSize;
      return d;
    }
    if (c.kind == ChunkHead::kNeedMore || c.data + c.size > reply.size()) {
      // The reply stopped inside this chunk: keep what is there, never read past it.
      if (c.kind == ChunkHead::kData && c.data < reply.size()) d.body += reply.substr(c.data);
      d.status = Dechunked::kCut;
      return d;
    }
    d.body += reply.substr(c.data, static_cast<size_t>(c.size));
    size_t after = c.data + static_cast<size_t>(c.size);
    // The closing zero chunk with its line ends takes 7 bytes: 8 or fewer left end the body.
    if (reply.size() - after <= 8) return d;
    if (!line_end_at(reply, after)) {
      d.status = Dechunked::kBadEnd;
      return d;
    }
    pos = after;
  }
}

ReplyWatch::State ReplyWatch::update(std::string_view reply) {
  if (state_ != kWaiting) return state_;
  if (!headers_seen_) {
    Head h = parse_head(reply);
    if (!h.complete()) return state_;
    headers_seen_ = true;
    body_start_ = h.body();
    chunk_pos_ = h.end;
    if (h.chunked) {
      framed_ = chunked_ = true;
    } else if (h.content_length) {
      framed_ = true;
      content_length_ = *h.content_length;
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

Deadline deadline_in(int ms) { return {std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ms}; }

bool Client::connect(const std::string& host, int port, Deadline deadline, std::string* err, bool* unresolved) {
  fd_ = tcp_connect(host, port, std::max(1, ms_left(deadline)), err, unresolved);
  return fd_.valid();
}

bool Client::send(std::string_view request, Deadline deadline, std::string* err) {
  set_socket_timeouts(fd_.get(), 0, std::max(1, ms_left(deadline)));
  if (!write_all(fd_.get(), request.data(), request.size())) {
    if (err) *err = std::strerror(errno);
    fd_.reset();
    return false;
  }
  return true;
}

void Client::read_reply(Deadline deadline, size_t max, Reply* r) {
  r->raw.clear();
  r->complete = false;
  r->problem.clear();
  ReplyWatch watch;
  while (r->problem.empty() && !r->complete) {
    if (watch.update(r->raw) != ReplyWatch::kWaiting) {
      // Broken framing is complete as far as reading goes; the caller reports the fault.
      r->complete = true;
      return;
    }
    int left = ms_left(deadline);
    int ready = left > 0 ? wait_readable(fd_.get(), left) : 0;
    if (ready <= 0) {
      r->problem = ready == 0 ? "no complete reply within " + std::to_string(deadline.limit_ms) + " ms"
                              : std::string("waiting for the reply: ") + std::strerror(errno);
    } else if (r->raw.size() >= max) {
      // Full: one more byte tells an exact fit (the server closes now) from an oversized reply.
      std::string probe;
      if (read_piece(fd_.get(), &probe, 1) == 0 && watch.complete_at_close()) r->complete = true;
      else r->problem = "reply longer than " + std::to_string(max) + " bytes";
      fd_.reset();
    } else {
      long n = read_piece(fd_.get(), &r->raw, std::min(kReadPiece, max - r->raw.size()));
      if (n == 0) {
        fd_.reset();
        r->complete = watch.complete_at_close();
        if (!r->complete) r->problem = "connection closed before the end of the reply";
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        r->problem = std::string("reading the reply: ") + std::strerror(errno);
      }
    }
  }
  if (!r->complete) fd_.reset();
}

std::string step_message(Step step, const std::string& why) {
  switch (step) {
    case Step::kUnresolved: return "ERROR, no such host: " + why;
    case Step::kNoConnection: return "ERROR connecting: " + why;
    case Step::kNotSent: return "ERROR writing message to socket: " + why;
    case Step::kSent: break;
  }
  return "";
}

std::string reply_message(const std::string& problem) {
  return "ERROR reading response from socket: " + problem;
}

Step send_request(Client* client, const std::string& host, int port, std::string_view request,
                  Deadline deadline, std::string* why) {
  bool unresolved = false;
  if (!client->connected() && !client->connect(host, port, deadline, why, &unresolved))
    return unresolved ? Step::kUnresolved : Step::kNoConnection;
  return client->send(request, deadline, why) ? Step::kSent : Step::kNotSent;
}

bool fetch(const std::string& host, int port, std::string_view request, Deadline deadline,
           size_t max, Reply* r, std::string* err) {
  Client client;
  std::string why;
  const Step step = send_request(&client, host, port, request, deadline, &why);
  if (step != Step::kSent) {
    *r = Reply{};
    if (err) *err = step_message(step, why);
    return false;
  }
  client.read_reply(deadline, max, r);
  return true;
}

}  // namespace ld::http
