#include "discovery/netfind.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/endpoints.h"
#include "common/handles.h"
#include "common/http_client.h"
#include "common/net.h"
#include "common/run.h"
#include "discovery/slp.h"

namespace discovery {

namespace {

Ip4 from_in_addr(const in_addr& a) {
  Ip4 ip;
  std::memcpy(ip.data(), &a.s_addr, 4);  // s_addr is in network order: first byte first
  return ip;
}

std::string find_on_path(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string full = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(full.c_str(), X_OK) == 0) return full;
    start = end + 1;
  }
  return "";
}

int run_on_path(const std::vector<std::string>& argv, std::string* output) {
  std::vector<std::string> args = argv;
  args[0] = find_on_path(argv[0]);
  if (args[0].empty()) return -1;
  ld::RunOptions opt;
  opt.discard_output = output == nullptr;
  opt.capture = output;
  opt.timeout_ms = 10000;
  return ld::run_program(args, opt);
}

bool interface_addresses(const std::string& iface, std::vector<IfAddress>* out, std::string* err) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    *err = std::strerror(errno);
    return false;
  }
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || iface != i->ifa_name) continue;
    IfAddress a;
    a.addr = from_in_addr(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
    if (i->ifa_netmask) a.netmask = from_in_addr(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr);
    out->push_back(a);
  }
  return true;
}

void split_host_port(const std::string& hp, std::string* host, int* port) {
  size_t colon = hp.rfind(':');
  *host = hp.substr(0, colon);
  if (colon != std::string::npos) *port = std::atoi(hp.c_str() + colon + 1);
}

// The run's view of the two sides.
struct State {
  Ip4 local_ip{}, printer_ip{};
  Ip4 kova_printer_ip{};
  ControllerStatus kova;  // ui = kova_local_ip, controller = kova2_printer_ip, external = external_ip
};

Ip4 get_printer_ip(const Config& cfg) {
  Ip4 ip{};
  for (const ld::HostAddress& a : ld::resolve_host(cfg.printer_host)) {
    if (!a.ipv4) continue;  // the link network is IPv4
    in_addr in{};
    in.s_addr = a.v4;
    ip = from_in_addr(in);
    std::fprintf(cfg.out, "printer_ip: %s\n", dotted(ip).c_str());
  }
  return ip;
}

int prefix_length(const Ip4& mask) {
  int n = 0;
  for (uint8_t b : mask)
    for (int bit = 7; bit >= 0; --bit) n += (b >> bit) & 1;
  return n;
}

bool needs_link_netmask(const IfAddress& a) { return in_link_network(a.addr) && a.netmask != kLinkNetmask; }

// Gives every link-network address of the interface the link netmask, keeping all of them: each
// is added again with the new mask before its old form goes (setting the mask with ifconfig
// would replace the interface's first address with the one being fixed, and so drop the other).
// The old forms go in reverse order, secondaries before the primary, which would take them along.
void fix_netmasks(const Config& cfg, const std::vector<IfAddress>& addrs) {
  std::vector<IfAddress> wrong;
  for (const IfAddress& a : addrs)
    if (needs_link_netmask(a)) wrong.push_back(a);
  if (wrong.empty()) return;
  const std::string link_prefix = "/" + std::to_string(prefix_length(kLinkNetmask));
  for (const IfAddress& a : wrong)
    if (cfg.run({"ip", "addr", "add", dotted(a.addr) + link_prefix, "dev", cfg.iface}, nullptr) != 0)
      std::fprintf(cfg.err, "ip addr add: setting the netmask of %s failed\n", dotted(a.addr).c_str());
  for (auto a = wrong.rbegin(); a != wrong.rend(); ++a) {
    const std::string old = dotted(a->addr) + "/" + std::to_string(prefix_length(a->netmask));
    if (cfg.run({"ip", "addr", "del", old, "dev", cfg.iface}, nullptr) != 0)
      std::fprintf(cfg.err, "ip addr del: removing %s failed\n", old.c_str());
  }
  std::vector<std::string> route = {"sudo", "route", "add", "default", "gw", dotted(kLinkGateway)};
  if (!cfg.use_sudo) route.erase(route.begin());
  if (cfg.run(route, nullptr) != 0) std::fprintf(cfg.err, "route: adding the default route failed\n");
}

void get_local_info(const Config& cfg, State* s) {
  s->printer_ip = get_printer_ip(cfg);
  std::vector<IfAddress> addrs;
  std::string why;
  if (!cfg.addresses(cfg.iface, &addrs, &why)) {
    std::fprintf(cfg.err, "getifaddrs: %s\n", why.c_str());
    return;
  }
  for (const IfAddress& a : addrs) {
    std::fprintf(cfg.out, "local ip: %s\n", dotted(a.addr).c_str());
    s->local_ip = a.addr;
    if (needs_link_netmask(a)) std::fprintf(cfg.out, "need to change netamask %08x\n", as_number(a.netmask));
  }
  std::fflush(cfg.out);
  fix_netmasks(cfg, addrs);
}

// Finds the controller and its view: alias, SLP, default address.
void find_controller(const Config& cfg, State* s) {
  check_printer(cfg, s->printer_ip, &s->kova, true);
  if (!is_zero(s->kova.controller)) {
    s->kova_printer_ip = s->kova.controller;
    return;
  }
  std::fprintf(cfg.out, "Checking slp...\n");
  Ip4 found{};
  int slp = check_slp(cfg, &found);
  std::fprintf(cfg.out, "Check printer..\n");
  if (slp > 0) {
    s->kova_printer_ip = found;
    check_printer(cfg, found, &s->kova, false);
    return;
  }
  std::fprintf(cfg.out, "Error. No printer ip. use default\n");
  check_printer(cfg, cfg.default_controller, &s->kova, false);
  if (!is_zero(s->kova.controller)) s->kova_printer_ip = s->kova.controller;
}

void resync_rpi(const Config& cfg, const State& s, std::string* reply) {
  std::string path = "/cgi-bin/ip.cgi?rpi_ip=" + dotted(s.kova.ui) + "&printer_ip=" + dotted(s.kova_printer_ip);
  std::fprintf(cfg.out, "trigger resync %s\n", path.c_str());
  ews_call(cfg, cfg.local_web_host, cfg.local_web_port, path, reply);
}

void reassign_rpi(const Config& cfg, const Ip4& ui, const Ip4& controller, std::string* reply) {
  std::string path = "/config/network_config?private_ip=" + dotted(controller) + "&ui_ip=" + dotted(ui);
  std::fprintf(cfg.out, "trigger reassignment %s\n", path.c_str());
  ews_call(cfg, cfg.printer_host, cfg.web_port, path, reply);
}

// A fresh pair that nobody answers on; false when every pair answered.
bool free_pair(const Config& cfg, Ip4 n, Ip4* ui) {
  for (int tries = 0; tries < kMaxCandidates; ++tries) {
    Ip4 k = controller_of(n);
    std::fprintf(cfg.out, "on network new ui=%s kova=%s\n", dotted(n).c_str(), dotted(k).c_str());
    std::fflush(cfg.out);
    int pn = ping(cfg, n);
    int pk = ping(cfg, k);
    std::fprintf(cfg.out, "ping %s=%d\n", dotted(n).c_str(), pn);
    std::fprintf(cfg.out, "ping %s=%d\n", dotted(k).c_str(), pk);
    if (!pn && !pk) {
      *ui = n;
      return true;
    }
    n = next_candidate(n);
  }
  return false;
}

int move_to_fresh_pair(const Config& cfg, const State& s, bool act) {
  std::optional<Derived> d = derive_ui_address(s.kova.mac, s.kova.external);
  if (!d) {
    std::fprintf(cfg.out, "kova_mac \"%s\" has fewer than six hex digits: no new address\n", s.kova.mac.c_str());
    return kNoAddressPair;
  }
  if (d->subnet_changed) std::fprintf(cfg.out, "change subnet as matches external network\n");
  Ip4 ui{};
  if (!free_pair(cfg, d->ui, &ui)) {
    std::fprintf(cfg.out, "every address pair answered a ping: no new address\n");
    return kNoAddressPair;
  }
  if (!act) return kDone;
  std::string reply;
  reassign_rpi(cfg, ui, controller_of(ui), &reply);
  return reply.empty() ? kRequestFailed : kDone;
}

}  // namespace

Config system_config() {
  Config cfg;
  cfg.printer_host = ld::printer_host();
  cfg.web_port = ld::printer_web_port();
  cfg.slp_addr = ld::slp_addr();
  cfg.slp_port = ld::slp_port();
  split_host_port(ld::local_web(), &cfg.local_web_host, &cfg.local_web_port);
  cfg.run = run_on_path;
  // Run as root (or where no sudo is installed) the route command needs no help.
  cfg.use_sudo = ::geteuid() != 0 && !find_on_path("sudo").empty();
  cfg.addresses = interface_addresses;
  return cfg;
}

size_t ews_call(const Config& cfg, const std::string& host, int port, const std::string& path,
                std::string* reply) {
  reply->clear();
  std::string why;
  ld::http::Reply r;
  if (!ld::http::fetch(host, port, ld::http::build_request("GET", path),
                       ld::http::deadline_in(cfg.web_limit_ms), kStatusReplyMax, &r, &why)) {
    std::fprintf(cfg.err, "%s\n", why.c_str());
    return 0;
  }
  if (!r.complete && !r.problem.empty())
    std::fprintf(cfg.err, "%s\n", ld::http::reply_message(r.problem).c_str());
  *reply = std::move(r.raw);
  return reply->size();
}

int ping(const Config& cfg, const Ip4& addr) {
  std::string output;
  // -W 1: an address that does not answer costs a second, not the default ten.
  cfg.run({"ping", "-c", "1", "-i", "0.1", "-W", "1", dotted(addr)}, &output);
  size_t pos = 0;
  for (int lines = 0; lines < 10 && pos < output.size(); ++lines) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    std::string_view line = std::string_view(output).substr(pos, std::min<size_t>(end - pos, 200));
    if (line.find("icmp") != std::string_view::npos && line.find("icmp_seq=1") != std::string_view::npos)
      return line.find("time=") != std::string_view::npos ? 1 : 0;
    pos = end + 1;
  }
  return 0;
}

int check_printer(const Config& cfg, const Ip4& controller, ControllerStatus* st, bool want_external) {
  std::string reply;
  if (ews_call(cfg, dotted(controller), cfg.web_port, "/status/ui", &reply) == 0) {
    std::fprintf(cfg.out, "Error. No response from printer\n");
    return 0;
  }
  std::string log;
  int r = read_status_page(reply, want_external, st, &log);
  std::fputs(log.c_str(), cfg.out);
  if (!r) std::fprintf(cfg.out, "Error. Bad response from printer\n");
  return r;
}

int netfind(const Config& cfg, bool act) {
  State s;
  std::fprintf(cfg.out, "Local Info...\n");
  get_local_info(cfg, &s);
  if (is_zero(s.printer_ip)) {
    std::fprintf(cfg.out, "No local info so aborting as cannot correct!\n");
    return kNoLocalInfo;
  }
  find_controller(cfg, &s);
  if (is_zero(s.kova.ui)) {
    std::fprintf(cfg.out, "Cannot find printer so aborting\n");
    return kNoController;
  }
  if (s.kova_printer_ip != s.printer_ip || s.kova.ui != s.local_ip) {
    std::fprintf(cfg.out, "Printer UI address mismatch so trigger resync on UI %x<>%x %x<>%x\n",
                 as_number(s.kova_printer_ip), as_number(s.printer_ip), as_number(s.kova.ui),
                 as_number(s.local_ip));
    if (!act) {
      std::fprintf(cfg.out, "no action flagged\n");
      return kDone;
    }
    std::string reply;
    resync_rpi(cfg, s, &reply);
    return reply.empty() ? kRequestFailed : kDone;
  }
  std::fprintf(cfg.out, "IP addresses match\n");
  if (s.kova.external[0] == 0 || s.kova.external[0] == 169 || s.local_ip != kDefaultUi) return kDone;
  return move_to_fresh_pair(cfg, s, act);
}

}  // namespace discovery

namespace discovery {

namespace {

// Waits for the next datagram; false when the wait ended without one.
bool receive_reply(const Config& cfg, int fd, std::string* data, Ip4* source) {
  if (ld::wait_readable(fd, cfg.slp_wait_ms) != 1) return false;
  char buf[kSlpReplyMax];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return false;
  data->assign(buf, static_cast<size_t>(n));
  *source = from_in_addr(from.sin_addr);
  return true;
}

}  // namespace

int check_slp(const Config& cfg, Ip4* found) {
  std::string why;
  ld::UniqueFd fd = ld::udp_socket(&why);
  if (!fd.valid()) {
    std::fprintf(cfg.err, "socket: %s\n", why.c_str());
    return 0;
  }
  int ttl = 255;
  if (::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    std::fprintf(cfg.err, "setsockopt IP_MULTICAST_TTL failed\n");
    return 0;
  }
  // The controller sits on the private link: the request leaves by that interface whatever the
  // routes say (a board may have no default or multicast route at all).
  ip_mreqn via{};
  via.imr_ifindex = static_cast<int>(::if_nametoindex(cfg.iface.c_str()));
  if (via.imr_ifindex == 0)
    std::fprintf(cfg.err, "no interface %s: the SLP request goes where the routes say\n", cfg.iface.c_str());
  else if (::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0)
    std::fprintf(cfg.err, "setsockopt IP_MULTICAST_IF %s: %s\n", cfg.iface.c_str(), std::strerror(errno));
  const auto req = set_slp_req();
  if (!ld::udp_send_to(fd.get(), cfg.slp_addr, cfg.slp_port,
                       std::string_view(reinterpret_cast<const char*>(req.data()), req.size()),
                       &why)) {
    std::fprintf(cfg.err, "sendto: %s\n", why.c_str());
    return 0;
  }
  // A stream of foreign replies (or controllers already served) cannot hold the search for ever.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(cfg.slp_total_ms);
  std::string data;
  Ip4 source{};
  while (std::chrono::steady_clock::now() < end && receive_reply(cfg, fd.get(), &data, &source)) {
    if (!slp_reply_from_controller(source, data)) continue;
    std::fprintf(cfg.out, "KOVA printer_ip %s\n", dotted(source).c_str());
    ControllerStatus st;
    check_printer(cfg, source, &st, false);
    if (st.ui_alive == 1) continue;  // another UI already serves this controller
    *found = source;
    return source[0];
  }
  return -1;
}

}  // namespace discovery
