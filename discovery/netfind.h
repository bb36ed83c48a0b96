// netfind: keeps the appliance and the printer's network controller reachable from each other
// on their private link. It fixes the appliance's netmask, finds the controller (printer host
// alias, SLP multicast, default address), and when the two views of the addresses differ asks
// for a resynchronisation, or moves a controller still on its defaults to a fresh pair.
// Everything outside (commands, interfaces, output) comes through the Config.
#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "discovery/address.h"
#include "discovery/statuspage.h"

namespace discovery {

// Exit statuses of one run.
enum Outcome {
  kDone = 0,              // nothing to do, only reported, or the request was answered
  kNoLocalInfo = 1,       // the printer host alias could not be resolved
  kNoController = 2,      // no controller told a UI address
  kRequestFailed = 3,     // the resynchronisation or reassignment request got no reply
  kNoAddressPair = 4,     // the MAC text gives no address, or every pair answered a ping
};

struct IfAddress {
  Ip4 addr{};
  Ip4 netmask{};
};

struct Config {
  std::string printer_host;        // the printer host alias
  int web_port = 80;               // the controller's (and printer's) web server
  std::string slp_addr = "239.255.255.253";
  int slp_port = 427;
  std::string local_web_host = "127.0.0.1";  // the appliance's own web server
  int local_web_port = 80;
  std::string iface = "eth0";
  Ip4 default_controller = kDefaultController;  // asked when neither alias nor SLP finds one
  int slp_wait_ms = 1000;          // the search ends at the first wait this long without a datagram
  int slp_total_ms = 10000;        // and in any case after this long
  int web_limit_ms = 4000;         // one web call, from connecting to the end of the reply
  // Runs a command given by name (found on PATH) with its arguments; its standard output into
  // *output when given. Returns the exit status, -1 when it could not be started.
  std::function<int(const std::vector<std::string>& argv, std::string* output)> run;
  // The IPv4 addresses of an interface; false with *err when they cannot be listed.
  std::function<bool(const std::string& iface, std::vector<IfAddress>*, std::string* err)> addresses;
  bool use_sudo = false;           // the route command through sudo (not needed as root)
  FILE* out = stdout;
  FILE* err = stderr;
};

// The appliance's settings: endpoints from the environment, commands on PATH, real interfaces.
Config system_config();

// One run; `act` when the tool was given an argument. Returns an Outcome.
int netfind(const Config& cfg, bool act);

// The pieces of the run, for tests.
// One HTTP/1.0 GET; the reply (at most kStatusReplyMax bytes, as far as it came) in *reply.
// Returns its size, 0 when nothing came.
size_t ews_call(const Config& cfg, const std::string& host, int port, const std::string& path,
                std::string* reply);
// 1 when the address answers one echo request.
int ping(const Config& cfg, const Ip4& addr);
// The SLP search: the first byte of the accepted controller's address (in *found), negative
// when the wait ended without one, 0 when the query could not be sent.
int check_slp(const Config& cfg, Ip4* found);
// Reads the controller's status page into *st; 1 when a UI address is known afterwards.
int check_printer(const Config& cfg, const Ip4& controller, ControllerStatus* st, bool want_external);

}  // namespace discovery
