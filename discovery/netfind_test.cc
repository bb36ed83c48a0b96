// The run's decisions against a controller web server on loopback, with the interface
// addresses and the commands (ip, route, ping) played by the test: nothing here leaves
// loopback or touches an interface. (The real programs meet in tests/netfind_test.cc.)
#include "discovery/netfind.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "common/handles.h"
#include "common/net.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace discovery {
namespace {

// Answers every GET on a loopback port: "/status/ui" with the given page, anything else with
// "{}". Keeps the request lines.
class Controller {
 public:
  explicit Controller(std::string page) : page_(std::move(page)) {
    std::string err;
    listener_ = ld::tcp_listen(0, 16, true, &err);
    port_ = ld::local_port(listener_.get());
    thread_ = std::thread([this] { serve(); });
  }
  ~Controller() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  std::string requests() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      if (ld::wait_readable(listener_.get(), 20) != 1) continue;
      ld::UniqueFd c(ld::tcp_accept(listener_.get()));
      std::string in;
      char buf[1024];
      while (in.find("\r\n\r\n") == std::string::npos && ld::wait_readable(c.get(), 2000) == 1) {
        ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
      }
      std::string line = in.substr(0, in.find("\r\n"));
      {
        std::lock_guard<std::mutex> l(mu_);
        requests_ += line + "\n";
      }
      std::string body = line.rfind("GET /status/ui ", 0) == 0 ? page_ : "{}";
      std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
      ::send(c.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }
  std::string page_;
  ld::UniqueFd listener_;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::string requests_;
};

std::string status_page(const std::string& printer_ip, const std::string& ui_ip, const std::string& kova_ip,
                        const std::string& mac = "0050C20A0B0C") {
  return "{\"printer_ip\": \"" + printer_ip + "\", \"ui_ip\": \"" + ui_ip + "\", \"kova_ip\": \"" + kova_ip +
         "\", \"kova_mac\": \"" + mac + "\", \"ui_alive\": 0}";
}

struct Fixture {
  Controller sim;
  testkit::CapturedFile out, err;
  std::vector<std::string> commands;     // every command run, words joined by blanks
  std::vector<std::string> answering;    // addresses that answer a ping
  std::vector<IfAddress> eth0;
  Config cfg;

  explicit Fixture(const std::string& page) : sim(page) {
    eth0 = {{kDefaultUi, kLinkNetmask}};
    cfg.printer_host = "127.0.0.1";
    cfg.web_port = sim.port();
    cfg.local_web_host = "127.0.0.1";
    cfg.local_web_port = sim.port();  // the resynchronisation page lands in its request log
    cfg.slp_addr = "127.0.0.1";
    cfg.slp_port = testkit::free_port();
    cfg.slp_wait_ms = 200;
    cfg.default_controller = {127, 0, 0, 1};
    cfg.out = out.get();
    cfg.err = err.get();
    cfg.addresses = [this](const std::string& iface, std::vector<IfAddress>* a, std::string*) {
      if (iface == "eth0") *a = eth0;
      return true;
    };
    cfg.run = [this](const std::vector<std::string>& argv, std::string* output) {
      std::string line;
      for (const std::string& w : argv) line += (line.empty() ? "" : " ") + w;
      commands.push_back(line);
      if (argv[0] == "ping" && output) {
        bool up = std::find(answering.begin(), answering.end(), argv.back()) != answering.end();
        *output = "PING " + argv.back() + "\n" +
                  (up ? "64 bytes from " + argv.back() + ": icmp_seq=1 ttl=64 time=0.05 ms\n" : "") +
                  "--- statistics ---\n";
      }
      return 0;
    };
  }
  std::string requests() { return sim.requests(); }
};

// A controller whose view agrees with the appliance's (alias 127.0.0.1, external 127.0.0.7).
const std::string kAgreeing = status_page("127.0.0.7", "172.31.31.33", "127.0.0.1");

TEST(NetfindRun, FixesOnlyAWrongNetmaskOnTheLinkNetwork) {
  struct {
    IfAddress eth0;
    bool fixed;
  } cases[] = {
      {{{172, 31, 31, 33}, {255, 255, 255, 0}}, true},
      {{{172, 31, 31, 33}, {255, 240, 0, 0}}, false},
      {{{10, 0, 0, 5}, {255, 255, 255, 0}}, false},
  };
  for (const auto& c : cases) {
    Fixture f(kAgreeing);
    f.eth0 = {c.eth0};
    f.cfg.use_sudo = true;
    netfind(f.cfg, false);
    std::vector<std::string> setup(f.commands.begin(), f.commands.begin() + (c.fixed ? 3 : 0));
    if (c.fixed) {
      EXPECT_NE(f.out.text().find("need to change netamask ffffff00\n"), std::string::npos);
      EXPECT_EQ(setup, (std::vector<std::string>{"ip addr add 172.31.31.33/12 dev eth0",
                                                 "ip addr del 172.31.31.33/24 dev eth0",
                                                 "sudo route add default gw 172.31.31.1"}));
    }
    for (size_t i = setup.size(); i < f.commands.size(); ++i)
      EXPECT_EQ(f.commands[i].rfind("ping", 0), 0u) << f.commands[i];
  }
}

// Every address keeps its place: all are added with the link netmask before any old form goes,
// the old forms in reverse (a primary removed first would take its secondaries along).
TEST(NetfindRun, FixesEveryAddressOfTheInterfaceAndKeepsThemAll) {
  Fixture f(kAgreeing);
  f.eth0 = {{{172, 31, 31, 33}, {255, 255, 255, 0}},
            {{172, 20, 5, 6}, {255, 255, 0, 0}},
            {{10, 0, 0, 5}, {255, 255, 255, 0}},
            {{172, 31, 31, 40}, {255, 255, 255, 0}}};
  netfind(f.cfg, false);
  ASSERT_GE(f.commands.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(f.commands.begin(), f.commands.begin() + 7),
            (std::vector<std::string>{"ip addr add 172.31.31.33/12 dev eth0", "ip addr add 172.20.5.6/12 dev eth0",
                                      "ip addr add 172.31.31.40/12 dev eth0", "ip addr del 172.31.31.40/24 dev eth0",
                                      "ip addr del 172.20.5.6/16 dev eth0", "ip addr del 172.31.31.33/24 dev eth0",
                                      "route add default gw 172.31.31.1"}));
}

TEST(NetfindRun, MismatchOnlyReportsWithoutAnArgumentAndResyncsWithOne) {
  for (bool act : {false, true}) {
    Fixture f(status_page("10.0.0.7", "172.31.31.40", "172.31.31.253"));
    EXPECT_EQ(netfind(f.cfg, act), kDone);
    const std::string out = f.out.text();
    EXPECT_NE(out.find("Printer UI address mismatch so trigger resync on UI ac1f1ffd<>7f000001 ac1f1f28<>ac1f1f21\n"),
              std::string::npos) << out;
    const std::string resync = "/cgi-bin/ip.cgi?rpi_ip=172.31.31.40&printer_ip=172.31.31.253";
    EXPECT_EQ(out.find("no action flagged\n") != std::string::npos, !act) << out;
    EXPECT_EQ(f.requests().find(resync) != std::string::npos, act) << f.requests();
  }
}

TEST(NetfindRun, MovesAControllerOnDefaultsToTheFirstPairNobodyAnswers) {
  Fixture f(kAgreeing);
  f.answering = {"172.28.11.12"};
  EXPECT_EQ(netfind(f.cfg, true), kDone);
  const std::string out = f.out.text();
  EXPECT_NE(out.find("IP addresses match\n"
                     "on network new ui=172.28.11.11 kova=172.28.11.12\n"
                     "ping 172.28.11.11=0\nping 172.28.11.12=1\n"
                     "on network new ui=172.28.11.13 kova=172.28.11.14\n"
                     "ping 172.28.11.13=0\nping 172.28.11.14=0\n"
                     "trigger reassignment /config/network_config?private_ip=172.28.11.14&ui_ip=172.28.11.13\n"),
            std::string::npos) << out;
  EXPECT_NE(f.requests().find("GET /config/network_config?private_ip=172.28.11.14&ui_ip=172.28.11.13 "),
            std::string::npos) << f.requests();
}

TEST(NetfindRun, RefusesAMacTextWithoutSixHexDigits) {
  Fixture f(status_page("127.0.0.7", "172.31.31.33", "127.0.0.1", "0B:0C"));
  EXPECT_EQ(netfind(f.cfg, true), kNoAddressPair);
  EXPECT_NE(f.out.text().find("kova_mac \"0B:0C\" has fewer than six hex digits: no new address\n"),
            std::string::npos) << f.out.text();
  EXPECT_TRUE(f.commands.empty());
  EXPECT_EQ(f.requests().find("network_config"), std::string::npos);
}

TEST(NetfindRun, EndsWhenNoControllerAnswersAnywhere) {
  Fixture f(kAgreeing);
  f.cfg.web_port = testkit::free_port();
  EXPECT_EQ(netfind(f.cfg, true), kNoController);
  const std::string out = f.out.text();
  EXPECT_NE(out.find("Checking slp...\nCheck printer..\nError. No printer ip. use default\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Cannot find printer so aborting\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace discovery
