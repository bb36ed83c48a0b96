// slpsim: a printer controller's discovery responder for tests that run inside a network
// namespace of their own. It joins the SLP multicast group, and answers every request it hears
// with an attribute reply sent from a chosen address.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "common/run.h"

namespace {

const char kUsage[] =
    "usage: slpsim --from ADDR --attrs TEXT [--group ADDR] [--port N] [--iface NAME] [--ready FILE]\n"
    "Answers each SLP request to GROUP:PORT (default 239.255.255.253:427) with an attribute\n"
    "reply holding TEXT, sent from ADDR (an address of this host). FILE is written once it\n"
    "listens. NAME: the interface that joins the group (default: the one the routes give; a\n"
    "namespace without a route for the group needs it). Only for use inside a test's own\n"
    "network namespace.\n";

// Version 2 AttrRply: header with the request's XID, language "en", error 0, the list.
std::string attr_reply(const unsigned char* req, size_t n, const std::string& attrs) {
  std::string r;
  size_t len = 20 + attrs.size();
  r += '\x02';
  r += '\x07';
  r += static_cast<char>(len >> 16);
  r += static_cast<char>(len >> 8);
  r += static_cast<char>(len);
  r += std::string(5, '\0');  // flags, next extension offset
  r += static_cast<char>(n >= 12 ? req[10] : 0);
  r += static_cast<char>(n >= 12 ? req[11] : 0);
  r += std::string("\x00\x02" "en", 4);
  r += std::string(2, '\0');  // error code
  r += static_cast<char>(attrs.size() >> 8);
  r += static_cast<char>(attrs.size());
  return r + attrs;
}

bool bind_to(int fd, const std::string& addr, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, addr.c_str(), &a.sin_addr) != 1) return false;
  return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  std::string from, attrs, group = "239.255.255.253", ready, iface;
  int port = 427;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--from") from = argv[i + 1];
    else if (a == "--attrs") attrs = argv[i + 1];
    else if (a == "--group") group = argv[i + 1];
    else if (a == "--port") port = std::atoi(argv[i + 1]);
    else if (a == "--ready") ready = argv[i + 1];
    else if (a == "--iface") iface = argv[i + 1];
  }
  if (from.empty() || argc % 2 == 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string err;
  ld::UniqueFd in = ld::udp_socket(&err), out = ld::udp_socket(&err);
  if (!in.valid() || !out.valid()) {
    std::fprintf(stderr, "slpsim: %s\n", err.c_str());
    return 1;
  }
  ip_mreqn m{};
  if (!iface.empty()) m.imr_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
  if (!bind_to(in.get(), "0.0.0.0", port) || ::inet_pton(AF_INET, group.c_str(), &m.imr_multiaddr) != 1 ||
      ::setsockopt(in.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0 || !bind_to(out.get(), from, 0)) {
    std::fprintf(stderr, "slpsim: cannot listen on %s:%d or send from %s: %s\n", group.c_str(), port,
                 from.c_str(), std::strerror(errno));
    return 1;
  }
  if (!ready.empty()) ld::write_file_atomic(ready, "ready\n", &err);
  for (;;) {
    unsigned char buf[4000];
    sockaddr_in src{};
    socklen_t len = sizeof src;
    ssize_t n = ::recvfrom(in.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&src), &len);
    if (n < 0) continue;
    std::printf("request from %s, %zd bytes\n", inet_ntoa(src.sin_addr), n);
    std::fflush(stdout);
    std::string r = attr_reply(buf, static_cast<size_t>(n), attrs);
    ::sendto(out.get(), r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&src), sizeof src);
  }
}
