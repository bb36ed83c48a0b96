#include "common/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace ld {

UniqueFd udp_socket(std::string* err) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() && err) *err = std::string("socket: ") + std::strerror(errno);
  return fd;
}

bool udp_send_to(int fd, const std::string& ip, int port, std::string_view data, std::string* err) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1) {
    if (err) *err = "bad address " + ip;
    return false;
  }
  if (::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
               sizeof to) < 0) {
    if (err) *err = std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<HostAddress> resolve_host(const std::string& host, bool ipv4_only) {
  addrinfo hints{};
  hints.ai_family = ipv4_only ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;  // one entry an address, not one a socket type
  addrinfo* res = nullptr;
  std::vector<HostAddress> out;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (const addrinfo* a = res; a != nullptr; a = a->ai_next) {
    HostAddress h;
    char text[INET6_ADDRSTRLEN] = "?";
    if (a->ai_family == AF_INET) {
      h.ipv4 = true;
      h.v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      ::inet_ntop(AF_INET, &h.v4, text, sizeof text);
    } else if (a->ai_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, text,
                  sizeof text);
    } else {
      continue;
    }
    h.text = text;
    out.push_back(std::move(h));
  }
  ::freeaddrinfo(res);
  return out;
}

UniqueFd tcp_listen(int port, int backlog, bool loopback_only, std::string* err) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    if (err) *err = std::string("socket: ") + std::strerror(errno);
    return {};
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (err) *err = "cannot bind port " + std::to_string(port) + ": " + std::strerror(errno);
    return {};
  }
  if (::listen(fd.get(), backlog) != 0) {
    if (err) *err = "cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno);
    return {};
  }
  return fd;
}

int local_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

int tcp_accept(int listen_fd) {
  for (;;) {
    int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0 || errno != EINTR) return c;
  }
}

namespace {

bool connect_one(int fd, const sockaddr* sa, socklen_t len, int timeout_ms, std::string* err) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(fd, sa, len);
  if (r != 0 && errno != EINPROGRESS) {
    if (err) *err = std::strerror(errno);
    return false;
  }
  if (r != 0) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do n = ::poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      if (err) *err = n == 0 ? "connection timed out" : std::strerror(errno);
      return false;
    }
    int soerr = 0;
    socklen_t sl = sizeof soerr;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
    if (soerr != 0) {
      if (err) *err = std::strerror(soerr);
      return false;
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  return true;
}

}  // namespace

UniqueFd tcp_connect(const std::string& host, int port, int timeout_ms, std::string* err,
                     bool* unresolved) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (unresolved) *unresolved = rc != 0 || res == nullptr;
  if (rc != 0 || res == nullptr) {
    if (err) *err = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return {};
  }
  // IPv4 first: the printer is reached by its IPv4 address on the appliance's own segment.
  std::vector<addrinfo*> order;
  for (addrinfo* a = res; a; a = a->ai_next)
    if (a->ai_family == AF_INET) order.push_back(a);
  for (addrinfo* a = res; a; a = a->ai_next)
    if (a->ai_family != AF_INET) order.push_back(a);
  std::string last = "no address";
  UniqueFd result;
  for (addrinfo* a : order) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd.valid()) continue;
    if (connect_one(fd.get(), a->ai_addr, a->ai_addrlen, timeout_ms, &last)) {
      result = std::move(fd);
      break;
    }
  }
  ::freeaddrinfo(res);
  if (!result.valid() && err) *err = "cannot connect to " + host + ":" + service + ": " + last;
  return result;
}

void set_socket_timeouts(int fd, int recv_ms, int send_ms) {
  timeval rt{recv_ms / 1000, (recv_ms % 1000) * 1000};
  timeval st{send_ms / 1000, (send_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st);
}

int wait_readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : (n == 0 ? 0 : 1);
  }
}

}  // namespace ld
