#include "testkit/printersim_rfid.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/fsops.h"
#include "common/net.h"
#include "testkit/printersim.h"

namespace printersim {
namespace {

// A reply that does not come within this long is logged as such and the script goes on.
constexpr int64_t kReplyTimeoutMs = 15000;
// Between attempts to reach a command port that refuses.
constexpr int64_t kConnectRetryMs = 200;

}  // namespace

ScriptLine parse_script_line(std::string_view line) {
  ScriptLine l;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty() || line.front() == '#') return l;
  if (line.starts_with("pause ")) {
    l.kind = ScriptLine::Pause;
    l.ms = std::atoi(std::string(line.substr(6)).c_str());
    return l;
  }
  if (line == "drop") {
    l.kind = ScriptLine::Drop;
    return l;
  }
  l.kind = ScriptLine::Message;
  l.text = unescape(line);
  return l;
}

bool reply_complete(std::string_view reply) { return reply.find("<OK>") != std::string_view::npos; }

RfidScript::RfidScript(int port, std::string script, std::string log)
    : port_(port), script_(std::move(script)), log_(std::move(log)) {}

void RfidScript::note(const std::string& line) {
  ld::UniqueFd fd(::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  const std::string l = line + "\n";
  if (fd.valid()) ld::write_all(fd.get(), l.data(), l.size());
}

int64_t RfidScript::next_due(int64_t now) const {
  if (awaiting_) return reply_deadline_;
  if (lines_.empty()) return now + 100;  // the script may grow
  return std::max({now, paused_until_, retry_at_});
}

void RfidScript::read_script() {
  std::string text;
  if (!ld::read_file(script_, &text) || text.size() <= script_offset_) return;
  partial_ += text.substr(script_offset_);
  script_offset_ = text.size();
  for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
    lines_.push_back(partial_.substr(0, nl));
    partial_.erase(0, nl + 1);
  }
}

void RfidScript::take_reply(int64_t now, bool readable) {
  if (readable) {
    char buf[4096];
    const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
      reply_.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      note(awaiting_ ? "reply closed " + printable(reply_) : "closed by appliance");
      fd_.reset();
      awaiting_ = false;
      reply_.clear();
      return;
    }
  }
  if (!awaiting_) {
    if (!reply_.empty()) note("unexpected " + printable(reply_));
    reply_.clear();
    return;
  }
  if (reply_complete(reply_)) {
    note("reply " + printable(reply_));
  } else if (now >= reply_deadline_) {
    note("reply timeout " + printable(reply_));
  } else {
    return;
  }
  awaiting_ = false;
  reply_.clear();
}

void RfidScript::send_next(int64_t now) {
  while (!awaiting_ && !lines_.empty() && now >= paused_until_ && now >= retry_at_) {
    const ScriptLine l = parse_script_line(lines_.front());
    if (l.kind == ScriptLine::Pause) paused_until_ = now + l.ms;
    if (l.kind == ScriptLine::Drop) {
      note("drop");
      fd_.reset();
    }
    if (l.kind != ScriptLine::Message) {
      lines_.pop_front();
      continue;
    }
    if (!fd_.valid()) {
      std::string err;
      fd_ = ld::tcp_connect("127.0.0.1", port_, 1000, &err);
      if (!fd_.valid()) {
        retry_at_ = now + kConnectRetryMs;
        return;
      }
      ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
      note("connect");
    }
    note("send " + printable(l.text));
    if (::send(fd_.get(), l.text.data(), l.text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.text.size())) {
      note("send failed");
      fd_.reset();
      return;
    }
    lines_.pop_front();
    awaiting_ = true;
    reply_deadline_ = now + kReplyTimeoutMs;
  }
}

void RfidScript::step(int64_t now, bool readable) {
  read_script();
  if (fd_.valid()) take_reply(now, readable);
  send_next(now);
}

}  // namespace printersim
