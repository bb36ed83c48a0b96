#include "eventlog/eventlogd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/fsops.h"
#include "testkit/eventlog_fixture.h"
#include "testkit/scenario.h"

namespace eventlog {
namespace {

// The server fed through socket pairs: each client is the far end of one pair.
class ServerTest : public EventLogTest {
 protected:
  ServerTest() {
    cfg_.log_dir = root_("/print/log");
    cfg_.clock = &clock_;
    cfg_.idle_timeout_s = 30;
    cfg_.out = out_;
    cfg_.err = err_;
  }
  void start() { server_ = std::make_unique<Server>(-1, cfg_); }
  // A new client; returns its end.
  ld::UniqueFd client() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    server_->add_connection(ld::UniqueFd(sv[0]));
    return ld::UniqueFd(sv[1]);
  }
  static void send(const ld::UniqueFd& c, const std::string& data) {
    ASSERT_TRUE(ld::write_all(c.get(), data.data(), data.size()));
  }
  // Whether the server has closed its end of the client's connection (never blocks).
  static bool closed_by_server(const ld::UniqueFd& c) {
    char x;
    return ::recv(c.get(), &x, 1, MSG_DONTWAIT) == 0;
  }
  // Runs rounds until nothing is left to read.
  void settle() {
    for (int i = 0; i < 50; ++i) server_->step(0);
  }
  // The messages of every day file of the tag, time stamps and CR LF removed.
  std::string logged(const std::string& tag) {
    std::string all;
    for (const std::string& name : testkit::list_dir(cfg_.log_dir)) {
      if (name.rfind(tag + "_", 0) != 0) continue;
      std::string s = testkit::slurp(cfg_.log_dir + "/" + name);
      for (size_t pos = 0; pos < s.size();) {
        size_t end = s.find("\r\n", pos);
        if (end == std::string::npos || end < pos + 9) return "malformed: " + s;
        all += s.substr(pos + 9, end - pos - 9) + "\n";
        pos = end + 2;
      }
    }
    return all;
  }

  Config cfg_;
  std::unique_ptr<Server> server_;
};

TEST_F(ServerTest, LogsEveryLineOfAConnection) {
  start();
  ld::UniqueFd c = client();
  send(c, "ui,one\nui,two\nsys,to its own file\nui,spl");
  settle();
  send(c, "it line\nui,no line feed at the end");
  settle();
  EXPECT_EQ(logged("ui"), "one\ntwo\nsplit line\n");
  c.reset();  // the client closes: its unterminated last line counts too
  settle();
  EXPECT_EQ(logged("ui"), "one\ntwo\nsplit line\nno line feed at the end\n");
  EXPECT_EQ(logged("sys"), "to its own file\n");
  EXPECT_EQ(server_->connections(), 0u);
}

TEST_F(ServerTest, RefusedLinesAreReportedAndNotWritten) {
  start();
  ld::UniqueFd c = client();
  send(c, "no comma\n,empty tag\n../../etc/evil,x\n.hidden,x\nok,yes\n");
  c.reset();
  settle();
  EXPECT_EQ(printed("out"),
            "no tags so ignore [no comma]\n"
            "inavlid tag so ignore []\n"
            "inavlid tag so ignore [../../etc/evil]\n"
            "inavlid tag so ignore [.hidden]\n");
  EXPECT_EQ(testkit::list_dir(cfg_.log_dir).size(), 1u);
  EXPECT_EQ(logged("ok"), "yes\n");
}

TEST_F(ServerTest, AStalledClientHoldsUpNoOne) {
  start();
  ld::UniqueFd stalled = client();
  send(stalled, "ui,half a li");
  std::string expected;
  for (int k = 0; k < 3; ++k) {
    ld::UniqueFd c = client();
    for (int i = 0; i < 100; ++i) {
      std::string line = "client " + std::to_string(k) + " line " + std::to_string(i);
      send(c, "ui," + line + "\n");
      expected += line + "\n";
    }
    c.reset();
    settle();
  }
  EXPECT_EQ(logged("ui"), expected);
  EXPECT_EQ(server_->connections(), 1u);
  send(stalled, "ne\n");
  settle();
  EXPECT_EQ(logged("ui"), expected + "half a line\n");
}

TEST_F(ServerTest, IdleClientsAreLetGoWithTheirLastLine) {
  start();
  ld::UniqueFd idle = client();
  send(idle, "ui,stuck");
  settle();
  clock_.advance(29);
  settle();
  EXPECT_EQ(server_->connections(), 1u);
  clock_.advance(1);
  settle();
  EXPECT_EQ(server_->connections(), 0u);
  EXPECT_EQ(logged("ui"), "stuck\n");
  char b;
  EXPECT_EQ(::read(idle.get(), &b, 1), 0);  // the server closed its end
  EXPECT_NE(printed("err").find("idle for 30 s"), std::string::npos);
}

TEST_F(ServerTest, BinaryAndOverlongInputIsBounded) {
  start();
  ld::UniqueFd c = client();
  send(c, "ui,");
  for (unsigned piece = 0; piece < 10; ++piece) {  // one line far beyond the bound
    std::string junk;
    for (unsigned i = 0; i < 30000; ++i) {
      char b = static_cast<char>((piece * 30000 + i) * 7919u % 256);
      junk.push_back(b == '\n' || b == '\r' ? 'n' : b);
    }
    send(c, junk);
    settle();
  }
  send(c, "\nui,after\n");
  c.reset();
  settle();
  std::string log = logged("ui");
  ASSERT_EQ(log.size(), kMaxLine - 3 + 1 + 6);  // the cut line, then "after"
  EXPECT_EQ(log.substr(log.size() - 6), "after\n");
  EXPECT_NE(printed("err").find("longer than"), std::string::npos);
}

}  // namespace
// Who counts as a client on this machine: loopback in both families (also IPv4 mapped into
// IPv6), and the board's own addresses; any other host is foreign.
TEST(LocalClient, LoopbackAndOwnAddressesOnly) {
  auto v4 = [](const char* text) {
    sockaddr_storage s{};
    auto* in = reinterpret_cast<sockaddr_in*>(&s);
    in->sin_family = AF_INET;
    EXPECT_EQ(::inet_pton(AF_INET, text, &in->sin_addr), 1);
    return s;
  };
  auto v6 = [](const char* text) {
    sockaddr_storage s{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&s);
    in6->sin6_family = AF_INET6;
    EXPECT_EQ(::inet_pton(AF_INET6, text, &in6->sin6_addr), 1);
    return s;
  };
  in_addr own{};
  ASSERT_EQ(::inet_pton(AF_INET, "172.31.31.254", &own), 1);
  const std::vector<std::string> mine = {std::string(reinterpret_cast<const char*>(&own), 4)};
  struct Case {
    sockaddr_storage peer;
    bool local;
  } cases[] = {
      {v4("127.0.0.1"), true},      {v4("127.3.2.1"), true},
      {v6("::1"), true},            {v6("::ffff:127.0.0.1"), true},
      {v4("172.31.31.254"), true},  {v6("::ffff:172.31.31.254"), true},
      {v4("172.31.31.253"), false}, {v4("10.0.0.5"), false},
      {v6("fe80::1"), false},       {v6("::ffff:10.0.0.5"), false},
  };
  for (const Case& c : cases) {
    char text[INET6_ADDRSTRLEN] = "";
    const auto* sa = reinterpret_cast<const sockaddr*>(&c.peer);
    const void* bytes = sa->sa_family == AF_INET
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    ::inet_ntop(sa->sa_family, bytes, text, sizeof text);
    EXPECT_EQ(is_local_client(sa, mine), c.local) << text;
  }
}

}  // namespace eventlog
