#include "rfid/printer_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/net.h"

namespace rfid {
namespace {

bool starts(std::string_view msg, std::string_view form, size_t n) {
  return msg.substr(0, n) == form.substr(0, n) && msg.size() >= std::min(n, form.size());
}

std::string list_entry(const TagTable& t, int i) {
  return "{" + std::to_string(i) + ",\"" + epc_to_str(t.at(i).epc) + "\"," +
         std::to_string(t.at(i).reads) + "},";
}

// Appends the entries that fit into `room` bytes; true when all did.
bool append_entries(const TagTable* t, size_t room, std::string* out) {
  size_t used = 0;
  for (int i = 0; t && i < t->count(); ++i) {
    const std::string e = list_entry(*t, i);
    if (used + e.size() > room) return false;
    *out += e;
    used += e.size();
  }
  return true;
}

}  // namespace

// The number at the start of a text as atoi reads it (blanks, a sign, digits), but kept within
// int: atoi of a longer number is undefined.
int leading_int(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool minus = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) minus = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = std::min<long long>(v * 10 + (s[i] - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (minus) v = -v;
  return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

PrinterMessage parse_message(std::string_view msg) {
  static constexpr size_t kNoArg = std::string_view::npos;
  static constexpr struct {
    std::string_view form;
    size_t n;
    MessageKind kind;
    size_t arg_at;
  } kForms[] = {
      {"cmd=exit_read", 13, MessageKind::ExitRead, kNoArg},
      {"cmd=entry_read", 13, MessageKind::EntryRead, kNoArg},
      {"cmd=read_modules", 13, MessageKind::ReadModules, kNoArg},
      {"cmd=exit_power=", 15, MessageKind::ExitPower, 15},
      {"cmd=entry_power=", 16, MessageKind::EntryPower, 16},
      {"cmd=status", 10, MessageKind::Status, kNoArg},
      {"cmd=retry", 9, MessageKind::Retry, kNoArg},
      {"cmd=setscan", 9, MessageKind::Setscan, kNoArg},
      {"cmd=", 4, MessageKind::Command, 4},
      {"write=", 6, MessageKind::Write, kNoArg},
  };
  for (const auto& f : kForms) {
    if (starts(msg, f.form, f.n)) return {f.kind, f.arg_at == kNoArg ? std::string_view() : msg.substr(f.arg_at)};
  }
  if (msg.size() > kTagPosPrefix.size() && msg.starts_with(kTagPosPrefix)) {
    return {MessageKind::Tof, msg.substr(kTagPosPrefix.size())};
  }
  return {};
}

std::string table_list(const TagTable* t, size_t room, bool* cut) {
  std::string s = "[";
  const bool all = room >= 2 && append_entries(t, room - 2, &s);
  if (cut) *cut = !all;
  s += "]";
  return s;
}

std::string list_reply(const TagTable* t, bool* cut) {
  return table_list(t, kListReplyBuffer - 1 - kOk.size(), cut) + std::string(kOk);
}

std::string both_lists_reply(const TagTable* exit_table, int exit_location, const TagTable* entry_table,
                             int entry_location, bool* cut) {
  const std::string exit_head = std::string(location_text(exit_location)) + "=[";
  const std::string entry_head = std::string(",") + location_text(entry_location) + "=[";
  const size_t fixed = exit_head.size() + 1 + entry_head.size() + 1 + kOk.size() + 1;  // + NUL
  size_t room = kListReplyBuffer - fixed;
  // Neither table crowds the other out: the entry list is promised up to half the room, and
  // whatever one list leaves goes to the other.
  std::string exit_part, entry_part;
  append_entries(entry_table, room, &entry_part);
  const size_t promised = std::min(entry_part.size(), room / 2);
  entry_part.clear();
  const bool exit_all = append_entries(exit_table, room - promised, &exit_part);
  room -= exit_part.size();
  const bool entry_all = append_entries(entry_table, room, &entry_part);
  if (cut) *cut = !exit_all || !entry_all;
  return exit_head + exit_part + "]" + entry_head + entry_part + "]" + std::string(kOk);
}

std::string status_line(int modules, bool decided, int entry_power, int exit_power) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "mods=%d&conf=%d&entry_pwr=%02d&exit_pwr=%02d", modules,
                decided ? 1 : 0, entry_power, exit_power);
  return buf;
}

bool parse_write_message(std::string_view msg, WriteMessage* w) {
  constexpr std::string_view kWrite = "write=", kData = "&data=", kIndex = "&index=";
  if (!msg.starts_with(kWrite)) return false;
  const size_t data = msg.find(kData);
  if (data == std::string_view::npos) return false;
  const size_t new_at = data + kData.size();
  const size_t index = msg.find(kIndex, new_at);
  w->old_hex = std::string(msg.substr(kWrite.size(), data - kWrite.size()));
  w->new_hex = std::string(msg.substr(new_at, index == std::string_view::npos ? msg.npos : index - new_at));
  w->index = index == std::string_view::npos ? 0 : leading_int(msg.substr(index + kIndex.size()));
  return w->old_hex.size() <= 2 * kWriteEpcMax && w->new_hex.size() <= 2 * kWriteEpcMax;
}

bool parse_power(std::string_view text, int* level) {
  if (text.empty() || text.size() > 3) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < kMinPower || v > kMaxPower) return false;
  *level = v;
  return true;
}

bool PrinterPort::connect_to_printer(int port, std::string* out) {
  std::string err;
  ld::UniqueFd fd = ld::tcp_listen(port, 10, false, &err);
  if (!fd.valid()) {
    *out += "Error binding to socket\n: " + err + "\n";
    return false;
  }
  *out += "server connected on port " + std::to_string(port) + "\n";
  adopt_listener(std::move(fd));
  return true;
}

void PrinterPort::adopt_listener(ld::UniqueFd fd) {
  listen_ = std::move(fd);
  if (listen_.valid()) ::fcntl(listen_.get(), F_SETFL, ::fcntl(listen_.get(), F_GETFL) | O_NONBLOCK);
  conn_.reset();
}

// The alias is looked up again when a refused peer comes and the last look-up is older than
// this, so a printer that got a new address is let in without a restart, while a stranger
// knocking cannot make the daemon ask the resolver at every pass.
constexpr int64_t kResolveAgainMs = 30000;

bool PrinterPort::peer_allowed(int fd, int64_t now_ms, std::string* peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    *peer = "an unknown peer";
    return false;
  }
  char text[INET6_ADDRSTRLEN] = "?";
  uint32_t addr = 0;
  bool v4 = false;
  if (ss.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    addr = sin->sin_addr.s_addr;
    v4 = true;
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
  } else if (ss.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, text, sizeof text);
  }
  *peer = text;
  if (host_.empty()) return true;
  if (!v4) return false;
  auto listed = [&] { return std::find(allowed_.begin(), allowed_.end(), addr) != allowed_.end(); };
  if (resolved_at_ms_ >= 0 && (listed() || now_ms - resolved_at_ms_ < kResolveAgainMs)) return listed();
  resolved_at_ms_ = now_ms;
  allowed_.clear();
  for (const ld::HostAddress& a : ld::resolve_host(host_, true)) allowed_.push_back(a.v4);
  return listed();
}

int PrinterPort::connect_socket(std::string* out, int64_t now_ms) {
  if (!listen_.valid()) {
    *out += "socket not connected!";
    return -1;
  }
  const int c = ld::tcp_accept(listen_.get());
  if (c >= 0) {
    std::string peer;
    if (!peer_allowed(c, now_ms, &peer)) {
      ::close(c);
      *out += "refused connection from " + peer + ": not the printer (" + host_ + ")\n";
      return kRefused;
    }
    take(c, now_ms);
    *out += "socket connect " + std::to_string(c) + "\n";
    return c;
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK) *out += "accept error " + std::to_string(errno) + "\n";
  return -1;
}

void PrinterPort::take(int fd, int64_t now_ms) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  conn_.reset(fd);
  outgoing_.clear();
  overflowed_ = false;
  last_rx_ms_ = now_ms;
  stalled_since_ms_ = -1;
}

void PrinterPort::drop(const std::string& why, std::string* out) {
  *out += why;
  conn_.reset();
  outgoing_.clear();
  overflowed_ = false;
  stalled_since_ms_ = -1;
}

bool PrinterPort::idle_gives_way(int64_t now_ms, std::string* out) {
  if (!listen_.valid() || !idle_past(now_ms)) return false;
  const int c = ld::tcp_accept(listen_.get());
  if (c < 0) return false;
  std::string peer;
  if (!peer_allowed(c, now_ms, &peer)) {
    ::close(c);
    *out += "refused connection from " + peer + ": not the printer (" + host_ + ")\n";
    return false;
  }
  *out += "connection " + std::to_string(conn_.get()) + " silent for " + std::to_string((now_ms - last_rx_ms_) / 1000) +
          " s gives way to a new one\n";
  take(c, now_ms);
  *out += "socket connect " + std::to_string(c) + "\n";
  return true;
}

bool PrinterPort::write_some() {
  bool progress = false;
  while (!outgoing_.empty()) {
    // MSG_NOSIGNAL: a printer that has left must not end the daemon through SIGPIPE.
    const ssize_t n = ::send(conn_.get(), outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      outgoing_.erase(0, static_cast<size_t>(n));
      progress = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    outgoing_.clear();  // the printer has left; its replies are lost with it
    break;
  }
  return progress;
}

void PrinterPort::flush_out(int64_t now_ms, std::string* out) {
  if (!conn_.valid()) return;
  if (overflowed_) {
    drop("printer does not read its replies: more than " + std::to_string(kMaxOutgoing) +
             " bytes waiting; connection closed\n", out);
    return;
  }
  const bool progress = write_some();
  if (outgoing_.empty() || progress) {
    stalled_since_ms_ = outgoing_.empty() ? -1 : now_ms;
    return;
  }
  if (stalled_since_ms_ < 0) stalled_since_ms_ = now_ms;
  if (now_ms - stalled_since_ms_ >= kStallMs) {
    drop("printer took no reply for " + std::to_string(kStallMs / 1000) + " s; connection closed\n", out);
  }
}

int PrinterPort::read_message(int wait_ms, std::string* msg, std::string* out, int64_t now_ms) {
  // Without a wait (the loop's poll has seen the connection readable) the read itself tells.
  if (!conn_.valid() || (wait_ms != 0 && ld::wait_readable(conn_.get(), wait_ms) != 1)) return 0;
  char buf[kMessageBuffer];
  const ssize_t n = ::recv(conn_.get(), buf, sizeof buf - 1, MSG_DONTWAIT);
  if (n == 0) {
    drop("connection closed ", out);
    return 0;
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    if (errno != ECONNRESET) *out += std::string("read: ") + std::strerror(errno) + "\n";
    // A broken connection stays readable for ever; the printer has to connect again.
    drop("", out);
    return 0;
  }
  last_rx_ms_ = now_ms;
  // The text ends at the bytes read (or at an embedded NUL, as the printer's C text would).
  msg->assign(buf, static_cast<size_t>(n));
  msg->resize(std::strlen(msg->c_str()));
  return 1;
}

void PrinterPort::send(std::string_view text, bool with_nul) {
  if (!conn_.valid() || overflowed_) return;
  if (outgoing_.size() + text.size() + 1 > kMaxOutgoing) {
    overflowed_ = true;  // closed at the next flush, where the reason can be told
    return;
  }
  outgoing_ += text;
  if (with_nul) outgoing_.push_back('\0');
  write_some();  // the stall is timed by the loop's flush_out
}

void PrinterPort::close_connection(std::string* out) {
  if (conn_.get() > 0) {
    *out += "close_connection " + std::to_string(conn_.get()) + "\n";
    drop("", out);
  }
}

void PrinterPort::close_printer(std::string* out) {
  *out += "close_printer " + std::to_string(conn_.valid() ? conn_.get() : -1) + " " +
          std::to_string(listen_.valid() ? listen_.get() : -1) + "\n";
  conn_.reset();
  listen_.reset();
}

}  // namespace rfid
