#include "rfid/ews_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/hexcode.h"
#include "common/net.h"

namespace rfid {
namespace {

std::string hex_upper(std::span<const uint8_t> bytes) {
  return ld::hex_text(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

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
  // A printer that has closed the connection makes the send fail with EPIPE (every program
  // ignores SIGPIPE from its start).
  std::string why;
  const ld::http::Step step =
      ld::http::send_request(&client_, host_, port_, request, ld::http::deadline_in(io_ms_), &why);
  if (step == ld::http::Step::kUnresolved || step == ld::http::Step::kNoConnection) {
    if (err) *err = "ERROR connecting to " + host_ + ":" + std::to_string(port_) + ": " + why;
    return false;
  }
  if (step == ld::http::Step::kNotSent) {
    if (err) *err = ld::http::step_message(step, why);
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
    if (err) *err = ld::http::reply_message("closed without a reply");
    retry_ok_ = true;
    return false;
  }
  if (!reply.complete) {
    if (err) *err = ld::http::reply_message(reply.problem);
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

// The alias is looked up once a minute at most (the hosts file maps it; a resolver that has to
// ask the network would otherwise hold the loop at every request).
constexpr int64_t kResolveEveryMs = 60000;

EwsLink::~EwsLink() { close_fd(); }

void EwsLink::close_fd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool EwsLink::enqueue(std::string path, Done done) {
  if (queued() >= kMaxWebRequests) {
    ++dropped_;
    return false;
  }
  queue_.push_back({std::move(path), std::move(done), false});
  step();
  return true;
}

short EwsLink::events() const {
  switch (phase_) {
    case kConnecting: case kSending: return POLLOUT;
    case kReceiving: return POLLIN;
    default: return 0;
  }
}

int64_t EwsLink::due_in_ms() const {
  if (phase_ == kIdle) return queue_.empty() ? -1 : 0;
  return std::max<int64_t>(0, due_ms_ - clock_.monotonic_ms());
}

bool EwsLink::resolve(sockaddr_in* addr, std::string* why) {
  const int64_t now = clock_.monotonic_ms();
  if (resolved_at_ms_ < 0 || now - resolved_at_ms_ >= kResolveEveryMs || addr_ == 0) {
    const std::vector<ld::HostAddress> found = ld::resolve_host(host_, true);
    addr_ = found.empty() ? 0 : found.front().v4;
    resolved_at_ms_ = now;
  }
  if (addr_ == 0) {
    *why = "ERROR, no such host " + host_;
    return false;
  }
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_addr.s_addr = addr_;
  addr->sin_port = htons(static_cast<uint16_t>(port_));
  return true;
}

void EwsLink::start() {
  current_ = std::move(queue_.front());
  queue_.pop_front();
  std::string why;
  if (!ld::http::path_acceptable(current_.path, &why)) {
    phase_ = kSending;  // so that finish() ends it
    finish(false, why, fd_ >= 0);
    return;
  }
  out_ = ld::http::build_request("GET", current_.path);
  sent_ = 0;
  in_.clear();
  watch_ = ld::http::ReplyWatch();
  reused_ = fd_ >= 0;
  if (reused_) {
    phase_ = kSending;
    due_ms_ = clock_.monotonic_ms() + io_ms_;
    return;
  }
  sockaddr_in addr;
  if (!resolve(&addr, &why)) {
    phase_ = kSending;
    finish(false, why, false);
    return;
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    phase_ = kSending;
    finish(false, std::string("ERROR opening socket: ") + std::strerror(errno), false);
    return;
  }
  due_ms_ = clock_.monotonic_ms() + io_ms_;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    phase_ = kSending;
  } else if (errno == EINPROGRESS) {
    phase_ = kConnecting;
  } else {
    phase_ = kSending;
    finish(false, "ERROR connecting to " + host_ + ":" + std::to_string(port_) + ": " + std::strerror(errno), false);
  }
}

void EwsLink::finish(bool ok, const std::string& why, bool keep) {
  if (!keep) close_fd();
  phase_ = kIdle;
  Request done = std::move(current_);
  current_ = Request{};
  if (done.done) done.done(ok, why);
}

// A kept connection the printer has since closed takes the request and answers nothing (or
// refuses it): such a request is made once more on a new connection. A reply that timed out is
// not sent again: the printer may have taken it.
void EwsLink::fail(const std::string& why, bool may_retry) {
  close_fd();
  if (may_retry && reused_ && !current_.retried) {
    current_.retried = true;
    queue_.push_front(std::move(current_));
    current_ = Request{};
    phase_ = kIdle;
    return;
  }
  finish(false, why, false);
}

void EwsLink::step() {
  for (int guard = 0; guard < 8; ++guard) {
    if (phase_ == kIdle) {
      if (queue_.empty()) return;
      start();
      continue;
    }
    const int64_t now = clock_.monotonic_ms();
    if (phase_ == kConnecting) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 0) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
          fail("ERROR connecting to " + host_ + ":" + std::to_string(port_) + ": " + std::strerror(err), false);
          continue;
        }
        phase_ = kSending;
        due_ms_ = now + io_ms_;
        continue;
      }
      if (now >= due_ms_) fail("ERROR connecting to " + host_ + ":" + std::to_string(port_) + ": timed out", false);
      return;
    }
    if (phase_ == kSending) {
      while (sent_ < out_.size()) {
        const ssize_t n = ::send(fd_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          sent_ += static_cast<size_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        fail(std::string("ERROR writing message to socket: ") + std::strerror(errno), true);
        break;
      }
      if (phase_ != kSending) continue;
      if (sent_ < out_.size()) {
        if (now >= due_ms_) fail("ERROR writing message to socket: timed out", false);
        return;
      }
      last_activity_ = clock_.now();
      phase_ = kReceiving;
      due_ms_ = now + reply_ms_;
      continue;
    }
    // kReceiving
    char buf[16384];
    bool closed = false;
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        if (in_.size() > ld::http::kReplyMax) break;
        if (watch_.update(in_) != ld::http::ReplyWatch::kWaiting) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && in_.empty()) {
        fail(std::string("ERROR reading response from socket: ") + std::strerror(errno), true);
        break;
      }
      closed = true;
      break;
    }
    if (phase_ != kReceiving) continue;
    if (in_.size() > ld::http::kReplyMax) {
      fail("ERROR reading response from socket: reply longer than " + std::to_string(ld::http::kReplyMax) + " bytes",
           false);
      continue;
    }
    const ld::http::ReplyWatch::State st = watch_.update(in_);
    if (st != ld::http::ReplyWatch::kWaiting) {
      finish(true, "", !closed);
      continue;
    }
    if (closed) {
      if (in_.empty()) {
        fail("ERROR reading response from socket: closed without a reply", true);
      } else if (watch_.complete_at_close()) {
        finish(true, "", false);
      } else {
        fail("ERROR reading response from socket: connection closed before the end of the reply", false);
      }
      continue;
    }
    if (now >= due_ms_) {
      fail("ERROR reading response from socket: no complete reply within " + std::to_string(reply_ms_) + " ms", false);
      continue;
    }
    return;
  }
}

}  // namespace rfid
