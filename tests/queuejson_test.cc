// The queue report as a client of the appliance's web server sees it: queuejson run by real
// lighttpd over queue files written in the store's record layout, the reply parsed as JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "common/fsops.h"
#include "spooler/printq.h"
#include "testkit/scenario.h"
#include "testkit/webserver.h"

using spooler::encode_queue_record;
using spooler::kQueueRecordSize;
using spooler::queue_record;
using spooler::set_record_text;

namespace {

struct Job {
  std::string path;
  std::string displayname;
  int spooled;
  int printing;
};

// One queue record as the store writes it.
std::string record(const Job& j) {
  queue_record r;
  set_record_text(r.path, j.path);
  set_record_text(r.displayname, j.displayname);
  r.added_time = 1700000000;
  r.printing = j.printing;
  r.spooled = j.spooled;
  r.from = r.to = r.copies = 1;
  std::string bytes(kQueueRecordSize, '\0');
  encode_queue_record(r, reinterpret_cast<unsigned char*>(bytes.data()));
  return bytes;
}

// The jobs of a report as "index file displayname status" lines, read by a strict JSON parser
// (the document must also be plain ASCII); the texts as hexadecimal UTF-8. "" when invalid.
std::string parse_report(const std::string& body) {
  const char* script =
      "import json, sys\n"
      "d = json.loads(sys.stdin.buffer.read().decode('ascii'))\n"
      "assert list(d) == ['jobs']\n"
      "for j in d['jobs']:\n"
      "    assert list(j) == ['index', 'file', 'displayname', 'status']\n"
      "    print(j['index'], *[j[k].encode('utf-8').hex() for k in ('file', 'displayname', 'status')])\n";
  std::string out, err;
  int st = testkit::run({"/usr/bin/python3", "-c", script}, &out, &err, {}, body.empty() ? " " : body);
  EXPECT_EQ(st, 0) << err << body;
  return st == 0 ? out : "";
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

std::string expected_report(const std::vector<Job>& jobs, const std::vector<std::string>& statuses) {
  std::ostringstream o;
  for (size_t i = 0; i < jobs.size(); ++i)
    o << i << " " << hex(jobs[i].path) << " " << hex(jobs[i].displayname) << " " << hex(statuses[i]) << "\n";
  return o.str();
}

class QueueReport : public ::testing::Test {
 protected:
  void write_queue(const std::vector<Job>& jobs, bool paused) {
    std::string data;
    for (const auto& j : jobs) data += record(j);
    testkit::spit(root_("/print/printq/printq"), data);
    if (paused) testkit::spit(root_("/print/printq/pause"), "jobdesk 1:Thu Jan  1 00:00:00 2026\n\n");
    else ld::remove_file(root_("/print/printq/pause"));
  }
  // Asks the server and checks the response frame; returns the body.
  std::string fetch() {
    testkit::HttpResponse r = testkit::http_get(web_.port(), "/cgi-bin/queuejson");
    EXPECT_EQ(r.status, 200) << r.error << r.status_line << web_.cgi_log();
    EXPECT_EQ(r.header("Content-Type"), "application/json;charset=iso-8859-1");
    EXPECT_EQ(r.header("Content-length"), std::to_string(r.body.size()));
    return r.body;
  }
  std::string job(const std::string& name, const char* ext, int n) const {
    return root_("/print/printq/") + name + "_" + std::to_string(n) + ext;
  }

  testkit::TempRoot root_;
  testkit::WebServer web_{root_, {"queuejson"}};
};

TEST_F(QueueReport, MissingQueueFileIsAnEmptyList) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  EXPECT_EQ(fetch(), "{ \"jobs\": [\n  ]\n}\n");
  // The store's complaint goes to the server's log, not into the document.
  EXPECT_TRUE(testkit::wait_until([&] {
    return web_.cgi_log().find("cannot open print queue " + root_("/print/printq/printq")) != std::string::npos;
  })) << web_.cgi_log();
}

// A query without "=" may reach a CGI program as command-line arguments; the report is the same.
TEST_F(QueueReport, ArgumentsAreIgnored) {
  write_queue({{job("a", ".prn", 0), "a", 1, 0}}, false);
  std::string out;
  EXPECT_EQ(testkit::run({testkit::bin("queuejson"), "1712"}, &out), 0);
  EXPECT_NE(out.find("\"status\": \"Queued\"\n    }\n  ]\n}\n"), std::string::npos) << out;
}

TEST_F(QueueReport, StatusesThroughTheWebServer) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  std::vector<Job> jobs = {{job("Shipping label 42", ".prn", 0), "Shipping label 42", 1, 1},
                           {job("Pallet tags", ".prn", 1), "Pallet tags", 1, 0},
                           {job("Pallet tags", ".spl", 2), "Pallet tags", 0, 0}};
  struct Case {
    bool paused;
    std::vector<std::string> statuses;
  } cases[] = {
      {false, {"Printing", "Queued", "Spooling"}},
      {true, {"Paused", "Paused", "Spooling"}},
  };
  for (const auto& c : cases) {
    write_queue(jobs, c.paused);
    std::string body = fetch();
    EXPECT_EQ(parse_report(body), expected_report(jobs, c.statuses)) << body;
    // Exactly one comma between the job blocks, none after the last.
    EXPECT_NE(body.find("    },\n    {\n     \"index\": 1,"), std::string::npos) << body;
    EXPECT_NE(body.find("\"status\": \"Spooling\"\n    }\n  ]\n}\n"), std::string::npos) << body;
  }
}

TEST_F(QueueReport, AnyNameGivesValidJson) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  std::vector<Job> jobs = {
      {job("say \"hi\"", ".prn", 0), "say \"hi\"", 1, 0},
      {job("C:\\jobs\\", ".prn", 1), "C:\\jobs\\", 1, 0},
      {job("tab\tand\x01", ".prn", 2), "new\nline}, {\"x\": 1", 1, 0},
      {job("K\xc3\xa4se \xe2\x82\xac", ".prn", 3), "K\xc3\xa4se \xe2\x82\xac \xf0\x9f\x93\xa6", 0, 0},
  };
  write_queue(jobs, false);
  std::string body = fetch();
  EXPECT_EQ(parse_report(body), expected_report(jobs, {"Queued", "Queued", "Queued", "Spooling"})) << body;
}

TEST_F(QueueReport, RecordLayoutEdges) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  // A name that fills its field without a terminator, and a partial record at the end.
  Job full{job(std::string(190, 'p'), ".prn", 0), std::string(250, 'n'), 1, 0};
  std::string data = record(full);
  data[200 + 199] = 'n';
  data += std::string(851, 'x');
  testkit::spit(root_("/print/printq/printq"), data);
  std::string body = fetch();
  std::string jobs = parse_report(body);
  ASSERT_EQ(std::count(jobs.begin(), jobs.end(), '\n'), 1) << body;
  EXPECT_EQ(jobs.rfind("0 " + hex(full.path.substr(0, 199)) + " " + hex(std::string(199, 'n')), 0), 0u) << jobs;
}

}  // namespace
