#include "eventlog/eventlogd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "common/net.h"
#include "common/paths.h"

namespace eventlog {
namespace {

// Clients taken from the backlog in one round, so a flood of connections cannot starve reads.
constexpr int kAcceptsPerRound = 16;

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The address bytes of an IPv4 or IPv6 socket address, IPv4-mapped IPv6 as IPv4; empty else.
std::string address_bytes(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    return std::string(reinterpret_cast<const char*>(&in->sin_addr), 4);
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    const char* b = reinterpret_cast<const char*>(&in6->sin6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return std::string(b + 12, 4);
    return std::string(b, 16);
  }
  return "";
}

std::string printable(const sockaddr* sa) {
  std::string a = address_bytes(sa);
  char text[INET6_ADDRSTRLEN] = "?";
  if (a.size() == 4 || a.size() == 16)
    ::inet_ntop(a.size() == 4 ? AF_INET : AF_INET6, a.data(), text, sizeof text);
  return text;
}

}  // namespace

bool is_local_client(const sockaddr* peer, const std::vector<std::string>& own_addresses) {
  std::string a = address_bytes(peer);
  if (a.size() == 4 && static_cast<unsigned char>(a[0]) == 127) return true;
  if (a.size() == 16 && a == std::string(15, '\0') + '\1') return true;
  return !a.empty() && std::find(own_addresses.begin(), own_addresses.end(), a) != own_addresses.end();
}

std::vector<std::string> own_addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
  for (ifaddrs* i = list; i; i = i->ifa_next)
    if (i->ifa_addr) {
      std::string a = address_bytes(i->ifa_addr);
      if (!a.empty()) out.push_back(a);
    }
  return out;
}

std::string log_dir() { return ld::rooted("/print/log"); }

Server::Server(int listen_fd, const Config& cfg)
    : listen_fd_(listen_fd),
      cfg_(cfg),
      store_(cfg.log_dir, cfg.clock, cfg.out, cfg.err),
      buf_(kMaxLine),
      sink_([this](std::string_view line, bool cut) { handle_line(line, cut); }) {
  if (listen_fd_ >= 0) set_nonblocking(listen_fd_);
}

void Server::add_connection(ld::UniqueFd fd) {
  if (conns_.size() >= cfg_.max_clients && !conns_.empty()) {
    size_t victim = eviction_victim();
    std::fprintf(cfg_.err, "eventlogd: %zu clients, %s is let go\n", conns_.size(),
                 conns_[victim].heard ? "the longest idle one" : "one that never sent");
    end(victim);
  }
  set_nonblocking(fd.get());
  conns_.push_back(Conn{std::move(fd), LineSplitter(), cfg_.clock->monotonic_ms()});
}

size_t Server::eviction_victim() const {
  // A flood of silent connections must not push out a client that is logging: the silent ones
  // go first, however recently the logging client last spoke.
  auto key = [](const Conn& c) { return std::pair(c.heard, c.last_input_ms); };
  auto it = std::min_element(conns_.begin(), conns_.end(),
                             [&](const Conn& a, const Conn& b) { return key(a) < key(b); });
  return static_cast<size_t>(it - conns_.begin());
}

bool Server::step(int timeout_ms) {
  fds_.clear();
  for (const Conn& c : conns_) fds_.push_back(pollfd{c.fd.get(), POLLIN, 0});
  if (listen_fd_ >= 0) fds_.push_back(pollfd{listen_fd_, POLLIN, 0});
  int n = ::poll(fds_.data(), fds_.size(), timeout_ms);
  if (n < 0) return errno == EINTR;

  const int64_t now = cfg_.clock->monotonic_ms();
  const int64_t idle_limit = static_cast<int64_t>(cfg_.idle_timeout_s) * 1000;
  std::vector<size_t> gone;
  for (size_t i = 0; i < conns_.size(); ++i) {
    Conn& c = conns_[i];
    ReadResult r = fds_[i].revents != 0 ? read_from(&c) : ReadResult::kNothing;
    if (r == ReadResult::kData) {
      c.last_input_ms = now;
      c.heard = true;
    } else if (r == ReadResult::kEnded) {
      gone.push_back(i);
    } else if (now - c.last_input_ms >= idle_limit) {
      std::fprintf(cfg_.err, "eventlogd: client idle for %d s, connection closed\n", cfg_.idle_timeout_s);
      gone.push_back(i);
    }
  }
  for (auto it = gone.rbegin(); it != gone.rend(); ++it) end(*it);
  if (listen_fd_ >= 0 && (fds_.back().revents & POLLIN) != 0) accept_clients();
  store_.flush();
  return true;
}

void Server::accept_clients() {
  for (int k = 0; k < kAcceptsPerRound; ++k) {
    int fd = ld::tcp_accept(listen_fd_);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
        std::fprintf(cfg_.err, "accept : %s\n", std::strerror(errno));
      return;
    }
    ld::UniqueFd conn(fd);
    // Event lines come from the log client on this board: another host could write any line
    // into the appliance's logs. The board's addresses are read again for each client, as
    // printer discovery may change them while the server runs.
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(conn.get(), reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    if (!is_local_client(reinterpret_cast<const sockaddr*>(&peer), own_addresses())) {
      std::fprintf(cfg_.out, "refused client %s: not on this machine\n",
                   printable(reinterpret_cast<const sockaddr*>(&peer)).c_str());
      continue;
    }
    add_connection(std::move(conn));
  }
}

Server::ReadResult Server::read_from(Conn* c) {
  ssize_t r = ::read(c->fd.get(), buf_.data(), buf_.size());
  if (r > 0) {
    c->lines.feed(std::string_view(buf_.data(), static_cast<size_t>(r)), sink_);
    return ReadResult::kData;
  }
  if (r == 0) return ReadResult::kEnded;
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kNothing;
  if (errno != ECONNRESET) std::fprintf(cfg_.err, "read : %s\n", std::strerror(errno));
  return ReadResult::kEnded;
}

void Server::drain(Conn* c) {
  // Only what is queued now: a client that keeps sending cannot hold the loop here.
  int queued = 0;
  if (::ioctl(c->fd.get(), FIONREAD, &queued) != 0) return;
  for (size_t left = queued > 0 ? static_cast<size_t>(queued) : 0; left > 0;) {
    ssize_t r = ::read(c->fd.get(), buf_.data(), std::min(left, buf_.size()));
    if (r <= 0) return;
    c->lines.feed(std::string_view(buf_.data(), static_cast<size_t>(r)), sink_);
    left -= std::min(left, static_cast<size_t>(r));
  }
}

// The connection is over: what it sent still counts, its unterminated last line too.
void Server::end(size_t i) {
  drain(&conns_[i]);
  conns_[i].lines.finish(sink_);
  conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
}

void Server::handle_line(std::string_view line, bool cut) {
  if (cut) std::fprintf(cfg_.err, "eventlogd: line longer than %zu bytes, the rest dropped\n", kMaxLine);
  ParsedLine p = parse_line(line);
  switch (p.kind) {
    case ParsedLine::kNoTag:
      std::fprintf(cfg_.out, "no tags so ignore [%s]\n", printable(line).c_str());
      break;
    case ParsedLine::kBadTag:
      std::fprintf(cfg_.out, "inavlid tag so ignore [%s]\n", printable(p.tag).c_str());
      break;
    case ParsedLine::kRecord:
      store_.append(p.tag, p.message);
      break;
  }
}

int serve(int listen_fd, const Config& cfg) {
  Server server(listen_fd, cfg);
  for (;;) {
    if (!server.step(1000)) {
      std::fprintf(cfg.err, "ERROR eventlogd: poll: %s\n", std::strerror(errno));
      return 1;
    }
  }
}

}  // namespace eventlog
