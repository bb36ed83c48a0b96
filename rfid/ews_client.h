// The link to the printer's web server: tag events, write results and the liveness probe, each
// one HTTP/1.0 GET over a connection kept open while the printer allows it. The daemon does not
// read the pages it gets back; a request counts as done once its reply has fully arrived.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/http_client.h"

namespace rfid {

// "/job/rfid_ntag?..." for the entry module's events, "/job/rfid_exittag?..." otherwise; the
// EPC as upper-case hex, high digit first.
std::string tag_event_path(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry);
std::string write_result_path(int state, int err, int index, std::span<const uint8_t> epc);
constexpr const char* kStatusPath = "/system/status";

class EwsClient {
 public:
  // The printer web server; `reply_ms` bounds the wait for a reply (the printer gets about six
  // one-second time-outs), `io_ms` the connect and the send.
  EwsClient(std::string host, int port, ld::Clock& clock, int reply_ms = 6000, int io_ms = 1000)
      : host_(std::move(host)), port_(port), clock_(clock), reply_ms_(reply_ms), io_ms_(io_ms) {}

  // One request; true when a reply arrived whole. A failure closes the connection and says
  // why in *err.
  bool ews_call(const std::string& method, const std::string& path, std::string* err);
  bool ews_send_tag(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry, std::string* err);
  // Also gives the "url:%s\n" line the daemon prints (may be null).
  bool write_result_notify_printer(int state, int err_code, int index, std::span<const uint8_t> epc,
                                   std::string* url_line, std::string* err);
  bool test_printer_connection(std::string* err) { return ews_call("GET", kStatusPath, err); }

  bool connected() const { return client_.connected(); }
  void close() { client_.close(); }
  // When the latest request was sent in full (seconds; 0 before any).
  time_t last_printer_activity() const { return last_activity_; }

 private:
  bool exchange(const std::string& request, std::string* err);

  std::string host_;
  int port_;
  ld::Clock& clock_;
  int reply_ms_;
  int io_ms_;
  ld::http::Client client_;
  time_t last_activity_ = 0;
  bool retry_ok_ = false;  // the last exchange failed in a way a new connection may mend
};

// The same requests run inside the daemon's poll loop: queued in order, at most
// kMaxWebRequests waiting, one at a time over a connection kept while the printer allows, each
// step taken without waiting (non-blocking connect, send and receive). A request has the web
// link's limits: 1 s to connect, 1 s to send, 6 s for the reply; a slow or silent web server
// costs the loop nothing, and only delays the requests behind it.
constexpr size_t kMaxWebRequests = 64;

class EwsLink {
 public:
  using Done = std::function<void(bool ok, const std::string& why)>;
  EwsLink(std::string host, int port, ld::Clock& clock, int reply_ms = 6000, int io_ms = 1000)
      : host_(std::move(host)), port_(port), clock_(clock), reply_ms_(reply_ms), io_ms_(io_ms) {}
  ~EwsLink();
  EwsLink(const EwsLink&) = delete;
  EwsLink& operator=(const EwsLink&) = delete;

  // Queues a GET of `path`; `done` hears how it ended. False when the queue is full: the
  // request is dropped and counted (dropped()), and `done` is not called.
  bool enqueue(std::string path, Done done = {});
  // Takes the request in hand as far as it goes now, and starts the next when it ends.
  void step();
  // What the loop polls for: the descriptor (-1 none) and its events.
  int fd() const { return fd_; }
  short events() const;
  // Milliseconds until the request in hand times out (-1 when none).
  int64_t due_in_ms() const;
  size_t queued() const { return queue_.size() + (busy() ? 1 : 0); }
  bool busy() const { return phase_ != kIdle; }
  size_t dropped() const { return dropped_; }
  // When the latest request was sent in full (seconds; 0 before any).
  time_t last_printer_activity() const { return last_activity_; }

 private:
  enum Phase { kIdle, kConnecting, kSending, kReceiving };
  struct Request {
    std::string path;
    Done done;
    bool retried = false;
  };
  void start();
  void finish(bool ok, const std::string& why, bool keep);
  void fail(const std::string& why, bool may_retry);
  bool resolve(sockaddr_in* addr, std::string* why);
  void close_fd();

  std::string host_;
  int port_;
  ld::Clock& clock_;
  int reply_ms_, io_ms_;
  std::deque<Request> queue_;
  Request current_;
  Phase phase_ = kIdle;
  int fd_ = -1;
  bool reused_ = false;  // the request in hand went out on a kept connection
  std::string out_, in_;
  size_t sent_ = 0;
  int64_t due_ms_ = 0;
  ld::http::ReplyWatch watch_;
  size_t dropped_ = 0;
  time_t last_activity_ = 0;
  uint32_t addr_ = 0;
  int64_t resolved_at_ms_ = -1;
};

}  // namespace rfid
