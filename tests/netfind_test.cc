// Printer discovery on a private link that the test builds: a network namespace of its own
// holding a veth pair, "eth0" for the appliance and "ctl0" for the controller (printersim on
// port 80 and the SLP responder). netfind, ping, ip and route run inside it with their
// real sockets and commands, so nothing reaches or changes the machine's own network. Where
// namespaces cannot be made the tests say so and are skipped.

#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testkit/scenario.h"

namespace {

using testkit::slurp;

std::string ip_tool() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (::access(p, X_OK) == 0) return p;
  return "";
}

// A network namespace made for one test and deleted with it (its veth pair goes with it).
class Netns {
 public:
  explicit Netns(const std::string& tag)
      : ip_(ip_tool()), name_("ldnf-" + tag + "-" + std::to_string(::getpid())) {
    if (ip_.empty()) {
      why_ = "no ip command (iproute2)";
      return;
    }
    std::string err;
    made_ = testkit::run({ip_, "netns", "add", name_}, nullptr, &err) == 0;
    if (!made_) why_ = "cannot make a network namespace: " + err;
  }
  ~Netns() {
    if (made_) testkit::run({ip_, "netns", "del", name_});
  }
  Netns(const Netns&) = delete;
  Netns& operator=(const Netns&) = delete;

  bool made() const { return made_; }
  const std::string& why() const { return why_; }
  // argv run inside the namespace.
  std::vector<std::string> inside(const std::vector<std::string>& argv) const {
    std::vector<std::string> v{ip_, "netns", "exec", name_};
    v.insert(v.end(), argv.begin(), argv.end());
    return v;
  }
  bool ip(const std::vector<std::string>& args) const {
    std::vector<std::string> v{ip_};
    v.insert(v.end(), args.begin(), args.end());
    std::string err;
    bool ok = testkit::run(inside(v), nullptr, &err) == 0;
    EXPECT_TRUE(ok) << "ip " << args[0] << " " << args[1] << ": " << err;
    return ok;
  }
  std::string show(const std::vector<std::string>& args) const {
    std::vector<std::string> v{ip_};
    v.insert(v.end(), args.begin(), args.end());
    std::string out;
    testkit::run(inside(v), &out);
    return out;
  }

 private:
  std::string ip_, name_, why_;
  bool made_ = false;
};

// The link: eth0 at 172.31.31.33 with `eth0_prefix`, the controller at 172.31.31.253 on ctl0,
// printersim answering on port 80 of every address in the namespace.
struct Link {
  testkit::TempRoot root;
  Netns ns;
  std::unique_ptr<testkit::Process> sim, slp;

  Link(const std::string& tag, const std::string& eth0_prefix, const std::vector<std::string>& status,
       bool multicast_route = true)
      : ns(tag) {
    if (!ns.made()) return;
    ns.ip({"link", "set", "lo", "up"});
    ns.ip({"link", "add", "eth0", "type", "veth", "peer", "name", "ctl0"});
    ns.ip({"addr", "add", "172.31.31.33/" + eth0_prefix, "dev", "eth0"});
    // A host address: the link network's routes stay on eth0, as on the appliance.
    ns.ip({"addr", "add", "172.31.31.253/32", "dev", "ctl0"});
    ns.ip({"link", "set", "eth0", "up"});
    ns.ip({"link", "set", "ctl0", "up"});
    // Multicast leaves by eth0 (readdressing eth0 drops this route; the default route that the
    // netmask fix adds takes over).
    if (multicast_route) ns.ip({"route", "add", "224.0.0.0/4", "dev", "eth0"});
    std::vector<std::string> argv{testkit::bin("printersim"), "--dir", root("/printer"), "--any-address",
                                  "--web-port", "80"};
    for (const std::string& s : status) argv.insert(argv.end(), {"--set", s});
    sim = std::make_unique<testkit::Process>(ns.inside(argv));
    EXPECT_TRUE(testkit::wait_until([&] { return !slurp(root("/printer/ports")).empty(); }, 30000))
        << sim->err();
  }
  // The responder joins the group on eth0: both ends share the namespace, so it hears the copy
  // of the request that the kernel loops back on the interface the request left by (and only
  // on that one).
  void start_slp(const std::string& attrs) {
    slp = std::make_unique<testkit::Process>(ns.inside(
        {testkit::bin("slpsim"), "--from", "172.31.31.253", "--attrs", attrs, "--iface", "eth0", "--ready",
         root("/slp.ready")}));
    EXPECT_TRUE(testkit::wait_until([&] { return !slurp(root("/slp.ready")).empty(); }, 30000)) << slp->err();
  }
  int netfind(const std::string& alias, bool act, std::string* out) {
    std::vector<std::string> argv{testkit::bin("netfind")};
    if (act) argv.push_back("act");
    std::map<std::string, std::string> env{{"LABELDOCK_PRINTER_HOST", alias},
                                           {"LABELDOCK_PRINTER_WEB_PORT", "80"},
                                           {"LABELDOCK_LOCAL_WEB", "127.0.0.1:80"}};
    std::string err;
    int status = testkit::run(ns.inside(argv), out, &err, env);
    *out += err;
    return status;
  }
  std::string requests() const { return slurp(root("/printer/requests.log")); }
};

TEST(NetfindLink, FixesTheNetmaskFindsTheControllerBySlpAndAsksForAResync) {
  Link link("slp", "24", {"printer_ip=10.0.0.7", "ui_ip=172.31.31.33", "kova_ip=172.31.31.253"});
  if (!link.ns.made()) GTEST_SKIP() << link.ns.why();
  link.start_slp("(x-maker=Velkoran),(x-model=LX1)");
  std::string out;
  // The alias names an address nobody holds: the controller is found by SLP only.
  EXPECT_EQ(link.netfind("172.31.31.250", true, &out), 0) << out;
  EXPECT_NE(out.find("local ip: 172.31.31.33\nneed to change netamask ffffff00\n"), std::string::npos) << out;
  EXPECT_NE(link.ns.show({"-4", "-o", "addr", "show", "dev", "eth0"}).find("172.31.31.33/12"), std::string::npos);
  EXPECT_NE(link.ns.show({"route"}).find("default via 172.31.31.1 dev eth0"), std::string::npos);
  EXPECT_NE(out.find("Checking slp...\nKOVA printer_ip 172.31.31.253\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Printer UI address mismatch so trigger resync on UI ac1f1ffd<>ac1f1ffa ac1f1f21<>ac1f1f21\n"
                     "trigger resync /cgi-bin/ip.cgi?rpi_ip=172.31.31.33&printer_ip=172.31.31.253\n"),
            std::string::npos) << out;
  EXPECT_NE(link.requests().find("GET /cgi-bin/ip.cgi?rpi_ip=172.31.31.33&printer_ip=172.31.31.253 "),
            std::string::npos) << link.requests();
  EXPECT_NE(link.slp->out().find("request from 172.31.31.33, 56 bytes"), std::string::npos) << link.slp->out();
}

// Two addresses on eth0 in one subnet of the link network, both with a narrower mask: both
// stay, each with the link netmask (changing the first one's mask in place drops the second,
// which the kernel holds as its secondary).
TEST(NetfindLink, KeepsEveryAddressOfEth0WithTheLinkNetmask) {
  Link link("two", "24", {"printer_ip=10.0.0.7", "ui_ip=172.31.31.33", "kova_ip=172.31.31.253"});
  if (!link.ns.made()) GTEST_SKIP() << link.ns.why();
  link.ns.ip({"addr", "add", "172.31.31.40/24", "dev", "eth0"});
  std::string out;
  link.netfind("172.31.31.253", false, &out);
  const std::string addrs = link.ns.show({"-4", "-o", "addr", "show", "dev", "eth0"});
  EXPECT_NE(addrs.find("172.31.31.33/12"), std::string::npos) << addrs << out;
  EXPECT_NE(addrs.find("172.31.31.40/12"), std::string::npos) << addrs << out;
  EXPECT_EQ(addrs.find("/24"), std::string::npos) << addrs;
}

// No default route and no multicast route: the request still leaves by eth0 and the controller
// is found.
TEST(NetfindLink, SendsTheSlpRequestOutOfEth0WithoutAnyRoute) {
  Link link("noroute", "12", {"printer_ip=10.0.0.7", "ui_ip=172.31.31.33", "kova_ip=172.31.31.253"}, false);
  if (!link.ns.made()) GTEST_SKIP() << link.ns.why();
  link.start_slp("(x-maker=Velkoran)");
  ASSERT_EQ(link.ns.show({"route", "show", "default"}), "");
  std::string out;
  link.netfind("172.31.31.250", false, &out);
  EXPECT_EQ(out.find("unreachable"), std::string::npos) << out;
  EXPECT_NE(out.find("Checking slp...\nKOVA printer_ip 172.31.31.253\n"), std::string::npos) << out;
  EXPECT_NE(link.slp->out().find("request from 172.31.31.33, 56 bytes"), std::string::npos) << link.slp->out();
}

TEST(NetfindLink, SkipsAControllerThatAlreadyHasAUi) {
  Link link("alive", "12", {"printer_ip=10.0.0.7", "ui_ip=172.31.31.33", "kova_ip=172.31.31.253", "ui_alive=1"});
  if (!link.ns.made()) GTEST_SKIP() << link.ns.why();
  link.start_slp("(x-maker=Trundell)");
  std::string out;
  link.netfind("172.31.31.250", false, &out);
  EXPECT_NE(out.find("KOVA printer_ip 172.31.31.253\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error. No printer ip. use default\n"), std::string::npos) << out;
  EXPECT_EQ(link.requests().find("ip.cgi"), std::string::npos);
}

TEST(NetfindLink, MovesAControllerOnDefaultsPastAnAddressThatAnswersPing) {
  Link link("pair", "12", {"printer_ip=10.0.0.7", "ui_ip=172.31.31.33", "kova_ip=172.31.31.253",
                           "kova_mac=00:50:C2:0A:0B:0C"});
  if (!link.ns.made()) GTEST_SKIP() << link.ns.why();
  link.ns.ip({"addr", "add", "172.28.11.12/32", "dev", "ctl0"});  // someone already holds it
  std::string out;
  EXPECT_EQ(link.netfind("172.31.31.253", true, &out), 0) << out;
  EXPECT_EQ(out.find("netamask"), std::string::npos) << out;
  EXPECT_NE(out.find("IP addresses match\n"
                     "on network new ui=172.28.11.11 kova=172.28.11.12\n"
                     "ping 172.28.11.11=0\nping 172.28.11.12=1\n"
                     "on network new ui=172.28.11.13 kova=172.28.11.14\n"
                     "ping 172.28.11.13=0\nping 172.28.11.14=0\n"),
            std::string::npos) << out;
  EXPECT_NE(link.requests().find("GET /config/network_config?private_ip=172.28.11.14&ui_ip=172.28.11.13 "),
            std::string::npos) << link.requests();
}

}  // namespace
