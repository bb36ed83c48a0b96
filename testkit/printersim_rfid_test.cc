#include "testkit/printersim_rfid.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/net.h"
#include "testkit/scenario.h"

namespace printersim {
namespace {

TEST(PrintersimRfid, ScriptLines) {
  struct {
    const char* line;
    ScriptLine::Kind kind;
    std::string text;
    int ms;
  } cases[] = {
      {"", ScriptLine::Nothing, "", 0},
      {"# a comment", ScriptLine::Nothing, "", 0},
      {"pause 250", ScriptLine::Pause, "", 250},
      {"drop", ScriptLine::Drop, "", 0},
      {"cmd=status\r", ScriptLine::Message, "cmd=status", 0},
      {"tag at 100", ScriptLine::Message, "tag at 100", 0},
      {"x\\x00y", ScriptLine::Message, std::string("x\0y", 3), 0},
  };
  for (const auto& c : cases) {
    const ScriptLine l = parse_script_line(c.line);
    EXPECT_EQ(l.kind, c.kind) << c.line;
    EXPECT_EQ(l.text, c.text) << c.line;
    EXPECT_EQ(l.ms, c.ms) << c.line;
  }
  EXPECT_TRUE(reply_complete(std::string("<OK>\0", 5)));
  EXPECT_TRUE(reply_complete("[]<OK>"));
  EXPECT_FALSE(reply_complete("[{0,\"00\",1},"));
}

// The script is played one message at a time, each after its reply, and the log tells all.
TEST(PrintersimRfid, PlaysTheScriptAgainstTheCommandPort) {
  testkit::TempRoot root;
  std::string err;
  ld::UniqueFd listener = ld::tcp_listen(0, 4, true, &err);
  ASSERT_TRUE(listener.valid()) << err;
  const std::string script = root("/script"), log = root("/rfid.log");
  testkit::spit(script, "# the printer\ncmd=status\n");
  RfidScript sim(ld::local_port(listener.get()), script, log);
  auto run_for = [&sim](int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      sim.step(0, sim.poll_fd() >= 0 && ld::wait_readable(sim.poll_fd(), 10) == 1);
    }
  };
  run_for(50);
  ld::UniqueFd appliance(ld::tcp_accept(listener.get()));
  ASSERT_TRUE(appliance.valid());
  char buf[256];
  ssize_t n = read(appliance.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "cmd=status");
  testkit::spit(script, "# the printer\ncmd=status\nQ\n");  // grows while it runs
  run_for(50);
  EXPECT_EQ(ld::wait_readable(appliance.get(), 0), 0);  // nothing before the reply
  ASSERT_EQ(write(appliance.get(), "mods=2<OK>", 10), 10);
  run_for(50);
  n = read(appliance.get(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "Q");
  ASSERT_EQ(write(appliance.get(), "<OK>\0", 5), 5);
  appliance.reset();
  run_for(100);
  EXPECT_EQ(testkit::slurp(log),
            "connect\nsend cmd=status\nreply mods=2<OK>\nsend Q\nreply <OK>\\x00\nclosed by appliance\n");
}

}  // namespace
}  // namespace printersim
