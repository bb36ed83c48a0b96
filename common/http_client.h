// The appliance's HTTP/1.0 client for the printer's web servers: a request line without
// headers, a reply read until it is complete (the last chunk, Content-Length bytes, or the
// server closing) within a time limit and a size bound, and the reading of its header block
// and chunked body. It interprets no page; what to do with one is the caller's business.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/handles.h"

namespace ld::http {

// The largest reply a caller takes by default (one less than 1 MiB, as the printer's pages
// are held in memory whole).
constexpr size_t kReplyMax = 1048574;

// "<method> <path> HTTP/1.0\r\n\r\n"; an empty method becomes "POST", an empty path "/".
std::string build_request(std::string_view method, std::string_view path);

// A path may go into the request line only without control characters (CR and LF would let a
// caller add request lines or headers of their own).
bool path_acceptable(std::string_view path, std::string* err);

// Where the parts of a reply's header block are. Header lines are the complete lines after the
// status line, up to the empty line (or, while that has not arrived, up to the last line end).
struct Head {
  size_t lines = 0;                         // the first header line
  size_t end = std::string_view::npos;      // the "\r\n\r\n" closing the block
  bool chunked = false;                     // Transfer-Encoding names chunked
  std::optional<uint64_t> content_length;   // a readable Content-Length
  bool complete() const { return end != std::string_view::npos; }
  size_t body() const { return end + 4; }
};
Head parse_head(std::string_view reply);

// The value of the first header line named `name` (any case), without the blanks around it.
std::optional<std::string_view> header_value(std::string_view reply, const Head& head,
                                             std::string_view name);

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

// A chunked body decoded from `pos` (the end of the header block) on. The data of a chunk
// that arrived only in part are kept; so are the chunks before a format error.
struct Dechunked {
  enum Status {
    kWhole,    // up to the last chunk (8 or fewer bytes after a chunk also end the body)
    kCut,      // the reply ends inside a chunk or a size line
    kBadSize,  // a size line without its line end (an extension, say)
    kBadEnd,   // a chunk's data not followed by a line end
  } status = kWhole;
  std::string body;
};
Dechunked decode_chunked(std::string_view reply, size_t pos);

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

// The moment an exchange must be over, and the time limit it stands for (for messages).
struct Deadline {
  std::chrono::steady_clock::time_point at;
  int limit_ms = 0;
};
Deadline deadline_in(int ms);

// What one request brought back. `complete` is false when the reply stopped before its end:
// deadline, a connection dropped before the announced length, or more than the bound.
struct Reply {
  std::string raw;      // status line, header block and body as they came
  bool complete = false;
  std::string problem;  // why it is not complete
};

// One connection to a web server, which a caller may keep for several requests while the
// server allows it.
class Client {
 public:
  // Connects before the deadline. False with *err when the host cannot be resolved (then
  // *unresolved is set, when given) or reached.
  bool connect(const std::string& host, int port, Deadline deadline, std::string* err,
               bool* unresolved = nullptr);
  bool connected() const { return fd_.valid(); }
  void close() { fd_.reset(); }
  // Sends the whole request before the deadline; false with *err otherwise.
  bool send(std::string_view request, Deadline deadline, std::string* err);
  // Reads one reply until it is complete, the deadline passes or `max` bytes are in. A reply
  // that stops early is kept as far as it came, with the reason in r->problem. The connection
  // is closed when the server closed it or the reply is not complete.
  void read_reply(Deadline deadline, size_t max, Reply* r);

 private:
  UniqueFd fd_;
};

// How far a request got: the first step that failed, or kSent.
enum class Step { kUnresolved, kNoConnection, kNotSent, kSent };

// The appliance's words for a request that could not be made, `why` being the reason the step
// gave: "ERROR, no such host: <why>", "ERROR connecting: <why>", "ERROR writing message to
// socket: <why>" (empty for kSent).
std::string step_message(Step step, const std::string& why);
// The words for a reply that stopped early or never came: "ERROR reading response from
// socket: <problem>".
std::string reply_message(const std::string& problem);

// Connects `client` when it is not connected, then sends `request`, both before `deadline`.
// What failed and its reason (for step_message) come back; a failed send closes the connection.
Step send_request(Client* client, const std::string& host, int port, std::string_view request,
                  Deadline deadline, std::string* why);

// One whole exchange on a new connection: the request sent and its reply read (at most `max`
// bytes) before `deadline`. False with *err (step_message) when no reply could be asked for;
// a reply that stopped early comes back with r->complete false and its reason in r->problem.
bool fetch(const std::string& host, int port, std::string_view request, Deadline deadline,
           size_t max, Reply* r, std::string* err);

}  // namespace ld::http
