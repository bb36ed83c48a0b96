#include "testkit/log_client.h"

#include "testkit/scenario.h"

#include <gtest/gtest.h>

#include <string>

namespace testkit {
namespace {

std::string tag_all(const std::string& tag, const std::string& input, size_t split) {
  LineTagger t(tag);
  std::string out;
  t.feed(std::string_view(input).substr(0, split), &out);
  t.feed(std::string_view(input).substr(split), &out);
  t.finish(&out);
  return out;
}

TEST(LineTagger, TagsEveryLineHoweverTheInputIsCut) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", ""},
      {"one\n", "ui,one\n"},
      {"one\ntwo\n", "ui,one\nui,two\n"},
      {"last without newline", "ui,last without newline\n"},
      {"dos\r\nline\r\n", "ui,dos\nui,line\n"},
      {"a\rb\n", "ui,a b\n"},
      {"\n\n", "ui,\nui,\n"},
      {"trailing cr\r", "ui,trailing cr\n"},
      {"bin\x01\xff\n", "ui,bin\x01\xff\n"},
  };
  for (const Case& c : cases)
    for (size_t split = 0; split <= c.input.size(); ++split)
      EXPECT_EQ(tag_all("ui", c.input, split), c.expected) << c.input << " split at " << split;
}

TEST(LineTagger, UsesTheGivenTag) { EXPECT_EQ(tag_all("sys", "a\nb", 1), "sys,a\nsys,b\n"); }

TEST(LogClient, ReportsAServerThatCannotBeReached) {
  LogClientOptions opt;
  opt.port = free_port();
  std::string err;
  EXPECT_EQ(run_log_client(0, opt, &err), 1);
  EXPECT_NE(err.find("cannot connect"), std::string::npos) << err;
}

}  // namespace
}  // namespace testkit
