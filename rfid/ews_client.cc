#include "rfid/ews_client.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace rfid {
namespace {

std::string hex_upper(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0x0F];
  }
  return s;
}

// A printer that closed the connection makes the next write raise SIGPIPE, whose default ends
// the process. While a request is sent the signal is held back, and one it raised is taken
// out of the pending set, so the write just fails with EPIPE.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHold() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

}  // namespace

std::string tag_event_path(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "/job/%s?st=%d&nr=%d&dt=%d&epc=", entry ? "rfid_ntag" : "rfid_exittag",
                st, nr, dt);
  return buf + hex_upper(epc);
}

std::string write_result_path(int state, int err, int index, std::span<const uint8_t> epc) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "/job/rfid_wtag_result?state=%d&err=%d&index=%d&epc_len=%d&epc=",
                state, err, index, static_cast<int>(epc.size()));
  return buf + hex_upper(epc);
}

bool EwsClient::ews_call(const std::string& method, const std::string& path, std::string* err) {
  if (!ld::http::path_acceptable(path, err)) return false;
  const std::string request = ld::http::build_request(method, path);
  // A kept connection the printer has since closed takes the request and answers nothing; the
  // event would be lost while reported as sent. Such a request is made once more on a new one.
  const bool reused = client_.connected();
  if (exchange(request, err)) return true;
  return reused && !client_.connected() && retry_ok_ && exchange(request, err);
}

bool EwsClient::exchange(const std::string& request, std::string* err) {
  retry_ok_ = false;
  if (!client_.connected() && !client_.connect(host_, port_, ld::http::deadline_in(io_ms_), err)) {
    if (err) *err = "ERROR connecting to " + host_ + ":" + std::to_string(port_) + ": " + *err;
    return false;
  }
  bool sent;
  {
    SigpipeHold hold;
    sent = client_.send(request, ld::http::deadline_in(io_ms_), err);
  }
  if (!sent) {
    if (err) *err = "ERROR writing message to socket: " + *err;
    retry_ok_ = true;
    return false;
  }
  last_activity_ = clock_.now();
  ld::http::Reply reply;
  const ld::http::Deadline reply_deadline = ld::http::deadline_in(reply_ms_);
  client_.read_reply(reply_deadline, ld::http::kReplyMax, &reply);
  if (reply.complete && reply.raw.empty()) {
    // Closed without a byte: no answer at all.
    client_.close();
    if (err) *err = "ERROR reading response from socket: closed without a reply";
    retry_ok_ = true;
    return false;
  }
  if (!reply.complete) {
    if (err) *err = "ERROR reading response from socket: " + reply.problem;
    // A printer that closes a kept connection just as the next request arrives resets it
    // before a byte of the reply, with the request unread: a new connection may carry it. A
    // reply that timed out is not sent again (the printer may have taken it).
    retry_ok_ = reply.raw.empty() && std::chrono::steady_clock::now() < reply_deadline.at;
    return false;
  }
  return true;
}

bool EwsClient::ews_send_tag(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry,
                             std::string* err) {
  return ews_call("GET", tag_event_path(epc, st, nr, dt, entry), err);
}

bool EwsClient::write_result_notify_printer(int state, int err_code, int index,
                                            std::span<const uint8_t> epc, std::string* url_line,
                                            std::string* err) {
  const std::string path = write_result_path(state, err_code, index, epc);
  if (url_line) *url_line = "url:" + path + "\n";
  return ews_call("GET", path, err);
}

}  // namespace rfid
