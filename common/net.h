// The one place that calls socket/bind/listen/accept/connect and resolves host names (getaddrinfo,
// sendto). Errors come back as text; the callers decide what to print.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"

namespace ld {

// A TCP listening socket on all local IPv4 addresses (or 127.0.0.1 when loopback_only) with
// SO_REUSEADDR. Invalid fd and *err set when the port cannot be bound.
UniqueFd tcp_listen(int port, int backlog, bool loopback_only, std::string* err);

// The port a listening socket is bound to (useful with port 0).
int local_port(int fd);

// accept(2), retrying EINTR; -1 on error.
int tcp_accept(int listen_fd);

// Connects to host:port, preferring an IPv4 address when the name has several, each attempt
// bounded by timeout_ms. Invalid fd and *err set on failure; *unresolved (when given) tells
// whether the name could not be resolved at all.
UniqueFd tcp_connect(const std::string& host, int port, int timeout_ms, std::string* err,
                     bool* unresolved = nullptr);

// One address a host name resolves to.
struct HostAddress {
  bool ipv4 = false;
  uint32_t v4 = 0;   // the IPv4 address in network byte order (when ipv4)
  std::string text;  // its numeric form: "172.31.31.253", "::1"
};

// Every address `host` resolves to (only the IPv4 ones when ipv4_only), in the resolver's
// order, each once; empty when it resolves to none.
std::vector<HostAddress> resolve_host(const std::string& host, bool ipv4_only = false);

// An unbound UDP socket for IPv4 (datagrams such as discovery queries). Invalid fd and *err
// set on failure.
UniqueFd udp_socket(std::string* err);

// Sends one datagram to the dotted IPv4 address `ip` and `port`. False with *err ("bad
// address <ip>", or why the send failed) otherwise.
bool udp_send_to(int fd, const std::string& ip, int port, std::string_view data, std::string* err);

// Receive and send time-outs (SO_RCVTIMEO / SO_SNDTIMEO); 0 means none.
void set_socket_timeouts(int fd, int recv_ms, int send_ms);

// Waits until fd is readable: 1 readable, 0 time-out, -1 error.
int wait_readable(int fd, int timeout_ms);

}  // namespace ld
