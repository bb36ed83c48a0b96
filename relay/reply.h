// What the printer web relay does with text, kept apart from sockets: the request line, the
// relay's own query decoder and path check, when a reply has fully arrived, and how a reply is
// turned into the CGI's header line, the body and the closing "END" line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ewsrelay {

// The reply is held in memory; at most this many bytes are taken from the printer.
constexpr size_t kReplyMax = 1048574;
// Longest decoded query value; a longer one is refused, never cut.
constexpr size_t kValueMax = 99;

// "<method> <path> HTTP/1.0\r\n\r\n"; an empty method becomes "POST", an empty path "/".
std::string build_request(std::string_view method, std::string_view path);

// The value after the first "name=" in the query, up to the next "&": "%XX" (hex digits of
// either case) becomes that byte, "+" a space, anything else stays. nullopt when the name does
// not occur, or when the decoded value is longer than kValueMax (then *err says so).
std::optional<std::string> getParam(std::string_view query, std::string_view name,
                                    std::string* err = nullptr);

// A path may go into the request line only without control characters (CR and LF would let a
// caller add request lines or headers of their own).
bool path_acceptable(std::string_view path, std::string* err);

// One chunk-size line of a chunked body, read from `pos`: spaces, CR and LF are skipped, then a
// hexadecimal size (no digits reads as 0). The size line must end with CR, or have LF as its
// second byte; the data start two bytes after the digits.
struct ChunkHead {
  enum Kind { kData, kLast, kNeedMore, kBad } kind = kNeedMore;
  size_t digits_end = 0;  // first byte after the size digits
  size_t data = 0;        // start of the data (kData)
  uint64_t size = 0;      // announced size, saturating (kData)
};
ChunkHead read_chunk_head(std::string_view s, size_t pos);

// Follows a reply while it arrives and tells when it is complete: the chunked body's last
// chunk, or Content-Length bytes of body. A reply without either is complete when the server
// closes. Broken framing also ends the waiting: more bytes cannot mend it.
class ReplyWatch {
 public:
  enum State { kWaiting, kComplete, kBroken };
  // `reply` is everything received so far (it only grows between calls).
  State update(std::string_view reply);
  // Whether the reply, as it stands, is whole if the server has now closed the connection.
  bool complete_at_close() const { return !framed_; }

 private:
  bool headers_seen_ = false;
  bool framed_ = false;  // chunked or with a Content-Length
  bool chunked_ = false;
  uint64_t content_length_ = 0;
  size_t body_start_ = 0;
  size_t chunk_pos_ = 0;
  State state_ = kWaiting;
};

// A reply turned into what the relay writes: `head` and `tail` go to standard output before and
// after the body, `body` to the output (standard output or the output file), `errors` to
// standard error. `whole` is false when the body stopped early or on a format error; such a
// body may be shown but must not replace a saved copy.
struct Relayed {
  std::string head;
  std::string body;
  std::string tail;
  std::string errors;
  bool whole = false;
};
Relayed relay_reply(std::string_view reply);

}  // namespace ewsrelay
