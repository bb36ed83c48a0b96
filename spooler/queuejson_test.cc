#include "spooler/queuejson.h"

#include <gtest/gtest.h>

namespace spooler::queuejson {
namespace {

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) {
    EXPECT_FALSE(l.empty());
    EXPECT_EQ(l.back(), '\n') << l;
    s += l;
  }
  return s;
}

queue_record job(const char* path, const char* name, int spooled, int printing) {
  queue_record r;
  set_record_text(r.path, path);
  set_record_text(r.displayname, name);
  r.spooled = spooled;
  r.printing = printing;
  return r;
}

TEST(QueueJson, StatusOrder) {
  struct Case {
    int spooled, printing;
    bool paused;
    const char* expected;
  } cases[] = {
      {0, 0, false, "Spooling"}, {0, 1, true, "Spooling"},  // a ".spl" copy, whatever the flag says
      {1, 1, true, "Paused"},    {1, 0, true, "Paused"},    // the pause test comes first
      {1, 1, false, "Printing"}, {1, 0, false, "Queued"},
      {1, 2, false, "Queued"},
  };
  for (const auto& c : cases) {
    queue_record e;
    e.spooled = c.spooled;
    e.printing = c.printing;
    EXPECT_STREQ(job_status(e, c.paused), c.expected) << c.spooled << c.printing << c.paused;
  }
}

TEST(QueueJson, EmptyQueue) { EXPECT_EQ(join(report_lines({}, false)), "{ \"jobs\": [\n  ]\n}\n"); }

TEST(QueueJson, DocumentLineByLine) {
  std::vector<queue_record> jobs = {job("/print/printq/a_0.prn", "a", 1, 1), job("/print/printq/b_1.prn", "b", 1, 0)};
  const char* expected =
      "{ \"jobs\": [\n"
      "    {\n"
      "     \"index\": 0,\n"
      "     \"file\": \"/print/printq/a_0.prn\",\n"
      "     \"displayname\": \"a\",\n"
      "     \"status\": \"%s\"\n"
      "    },\n"
      "    {\n"
      "     \"index\": 1,\n"
      "     \"file\": \"/print/printq/b_1.prn\",\n"
      "     \"displayname\": \"b\",\n"
      "     \"status\": \"%s\"\n"
      "    }\n"
      "  ]\n"
      "}\n";
  char want[1024];
  std::snprintf(want, sizeof want, expected, "Printing", "Queued");
  EXPECT_EQ(join(report_lines(jobs, false)), want);
  std::snprintf(want, sizeof want, expected, "Paused", "Paused");
  EXPECT_EQ(join(report_lines(jobs, true)), want);
}

TEST(QueueJson, NamesAreJsonStrings) {
  std::vector<queue_record> jobs = {job("/print/printq/say \"hi\"\\_0.spl", "say \"hi\"\\\n\xc3\xa4", 0, 0)};
  std::string doc = join(report_lines(jobs, false));
  EXPECT_NE(doc.find("     \"file\": \"/print/printq/say \\\"hi\\\"\\\\_0.spl\",\n"), std::string::npos) << doc;
  EXPECT_NE(doc.find("     \"displayname\": \"say \\\"hi\\\"\\\\\\n\\u00e4\",\n"), std::string::npos) << doc;
}

}  // namespace
}  // namespace spooler::queuejson
