#include "testkit/printersim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/fsops.h"
#include "testkit/scenario.h"

namespace printersim {
namespace {

TEST(PrintersimControl, SettingsApplyAndBadLinesAreReportedAndSkipped) {
  State st;
  std::string errors;
  apply_control(&st,
                "# a comment\n"
                "\n"
                "SystemState=Offline\r\n"
                "  Cutter = 0\n"
                "Media=Roll \n"
                "RTC=25/11/26 14:03:59\n"
                "web=silent\n"
                "web=sleepy\n"
                "chunked=/status/ui, /system/status\n"
                "chunk_digits=9\n"
                "say=100:@PJL USTATUS JOB\\r\\nCAN\n"
                "say=50:early\\x21\n"
                "say=oops\n"
                "drop_after=4096\n"
                "read_chunk=0\n"
                "bogus=1\n"
                "no equals sign\n",
                &errors);
  EXPECT_EQ(st.SystemState, "Offline");
  EXPECT_EQ(st.Cutter, "0");
  EXPECT_EQ(st.Media, "Roll ");  // a trailing blank is part of the value
  EXPECT_EQ(st.RTC, "25/11/26 14:03:59");
  EXPECT_EQ(st.web, "silent");
  EXPECT_EQ(st.chunked, "/status/ui, /system/status");
  EXPECT_EQ(st.chunk_digits, 4);
  ASSERT_EQ(st.say.size(), 2u);
  EXPECT_EQ(st.say[0].after, 100u);
  EXPECT_EQ(st.say[0].text, "@PJL USTATUS JOB\r\nCAN");
  EXPECT_EQ(st.say[1].text, "early!");
  EXPECT_EQ(st.drop_after, 4096);
  EXPECT_EQ(st.read_chunk, 65536u);
  EXPECT_EQ(errors,
            "line 8: web: expected answer, silent or close: sleepy\n"
            "line 10: chunk_digits: expected 1 to 8: 9\n"
            "line 13: say: expected BYTES:TEXT: oops\n"
            "line 15: read_chunk: expected 1 to 1048576: 0\n"
            "line 16: unknown key bogus\n"
            "line 17: expected KEY=VALUE\n");

  std::string more;
  apply_control(&st, "say=\nkeep_open=1\n", &more);
  EXPECT_TRUE(st.say.empty()) << "an empty say= clears the list";
  EXPECT_TRUE(st.keep_open);
  EXPECT_EQ(more, "");
}

TEST(PrintersimControl, Unescape) {
  const std::pair<const char*, std::string> cases[] = {
      {"plain", "plain"},
      {"a\\r\\nb", "a\r\nb"},
      {"\\e%-12345X", "\x1b%-12345X"},
      {"\\f\\t\\\\", "\f\t\\"},
      {"\\x41\\x7e", "A~"},
      {"\\x4", "\\x4"},     // too short: kept
      {"\\xzz", "\\xzz"},   // not hex: kept
      {"\\q", "\\q"},       // unknown: kept
      {"end\\", "end\\"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(unescape(in), want) << in;
}

// What the sender puts ahead of a job, and a job after it.
const std::string kHeader =
    "\x1b%-12345X@PJL JOB WNAME = \"61625f302e70726e\"\r\n"
    "@PJL INFO STATUS\r\n@PJL USTATUS JOB = ON\r\n@PJL USTATUS PAGE = ON\r\n"
    "@PJL USTATUS DEVICE = ON\r\n@PJL USTATUS TIMED = 30\r\n";
constexpr char kJobBytes[] = "JZJZ\0\0\0\x10\0\0\0\0\0\0\0\0@PJL is data here\n";
const std::string kJob(kJobBytes, sizeof kJobBytes - 1);

TEST(PrintersimRaw, HeaderAndJobAreSplitWhateverThePieces) {
  const std::string all = kHeader + kJob;
  for (size_t piece = 1; piece <= all.size(); ++piece) {
    PjlSplitter s;
    std::string header, body;
    for (size_t at = 0; at < all.size(); at += piece) s.feed(std::string_view(all).substr(at, piece), &header, &body);
    s.finish(&body);
    ASSERT_EQ(header, kHeader) << "pieces of " << piece;
    ASSERT_EQ(body, kJob) << "pieces of " << piece;
    ASSERT_EQ(s.job_name(), "ab_0.prn");
  }
}

TEST(PrintersimRaw, SplitterEdges) {
  struct Case {
    const char* what;
    std::string in;
    std::string header, body;
  };
  const Case cases[] = {
      {"bare job, no header", kJob, "", kJob},
      {"empty connection", "", "", ""},
      {"cut inside the first prefix", "@PJ", "", "@PJ"},
      {"cut inside a header line", "@PJL INFO", "@PJL INFO", ""},
      {"blank line ends the header", "@PJL A\r\n\r\n@PJL B\r\n", "@PJL A\r\n", "\r\n@PJL B\r\n"},
      {"lower case is job data", "@pjl x\n", "", "@pjl x\n"},
      {"escape without exit command", "\x1b%-123X", "", "\x1b%-123X"},
  };
  for (const Case& c : cases) {
    PjlSplitter s;
    std::string header, body;
    s.feed(c.in, &header, &body);
    s.finish(&body);
    EXPECT_EQ(header, c.header) << c.what;
    EXPECT_EQ(body, c.body) << c.what;
  }

  // A header that never ends is cut at the limit; everything after is job bytes.
  PjlSplitter s;
  std::string header, body;
  std::string line = "@PJL COMMENT " + std::string(100, 'x') + "\r\n";
  std::string endless;
  while (endless.size() < PjlSplitter::kHeaderMax + 1000) endless += line;
  s.feed(endless, &header, &body);
  EXPECT_EQ(header.size(), PjlSplitter::kHeaderMax);
  EXPECT_EQ(header + body, endless);
}

TEST(PrintersimRaw, JobNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"\x1b%-12345X@PJL JOB WNAME = \"6a6f62\"\r\n", "job"},
      {"@PJL JOB NAME = \"Label run\"\r\n", "Label run"},  // not hexadecimal: as written
      {"@PJL JOB NAME = \"abc\"\r\n", "abc"},              // odd length: as written
      {"@PJL JOB WNAME = \"6a6f\r\n", ""},                 // no closing quote
      {"@PJL INFO NAME = \"6a6f\"\r\n", ""},               // not a JOB command
  };
  for (const auto& [line, name] : cases) EXPECT_EQ(pjl_job_name(line), name) << line;
}

TEST(PrintersimRaw, ScheduleStopsReadsAtEachTextAndAtTheDropPoint) {
  State st;
  st.read_chunk = 1000;
  st.say = {{2500, "B"}, {0, "hello"}, {2500, "C"}, {400, "A"}};
  st.drop_after = 3000;
  RawSchedule s(st);
  EXPECT_EQ(s.at_start(), std::vector<std::string>{"hello"});
  EXPECT_EQ(s.next_read_size(), 400u);
  EXPECT_EQ(s.on_read(400), std::vector<std::string>{"A"});
  EXPECT_EQ(s.next_read_size(), 1000u);
  EXPECT_TRUE(s.on_read(1000).empty());
  EXPECT_EQ(s.next_read_size(), 1000u);
  EXPECT_TRUE(s.on_read(700).empty());  // a short read: the next one stops at the text
  EXPECT_EQ(s.next_read_size(), 400u);
  EXPECT_EQ(s.on_read(400), (std::vector<std::string>{"B", "C"}));
  EXPECT_FALSE(s.drop_due());
  EXPECT_EQ(s.next_read_size(), 500u);
  EXPECT_TRUE(s.on_read(500).empty());
  EXPECT_TRUE(s.drop_due());
  EXPECT_EQ(s.next_read_size(), 0u);

  State plain;
  RawSchedule p(plain);
  EXPECT_TRUE(p.at_start().empty());
  EXPECT_EQ(p.next_read_size(), 65536u);
  EXPECT_TRUE(p.on_read(1u << 30).empty());
  EXPECT_FALSE(p.drop_due());

  State drop0;
  drop0.drop_after = 0;
  EXPECT_TRUE(RawSchedule(drop0).drop_due());
}

TEST(PrintersimWeb, ParseRequest) {
  struct Case {
    std::string in;
    int result;
    std::string line, method, path, query;
    size_t consumed;
  };
  const std::string rfid = "GET /job/rfid_ntag?st=0&nr=5&dt=1500&epc=0011 HTTP/1.0\r\n\r\n";
  const Case cases[] = {
      {"GET /status/system HTTP/1.0\r\n\r\n", 1, "GET /status/system HTTP/1.0", "GET", "/status/system", "", 31},
      {rfid + "GET /", 1, rfid.substr(0, rfid.size() - 4), "GET", "/job/rfid_ntag", "st=0&nr=5&dt=1500&epc=0011",
       rfid.size()},
      {"GET /a HTTP/1.0\r\nHost: x\r\n\r\nrest", 1, "GET /a HTTP/1.0", "GET", "/a", "", 28},
      {"GET /a\n\n", 1, "GET /a", "GET", "/a", "", 8},
      {"POST / HTTP/1.0\r\n", 0, "", "", "", "", 0},
      {"", 0, "", "", "", "", 0},
      {std::string(kRequestMax + 1, 'a'), -1, "", "", "", "", 0},
  };
  for (const Case& c : cases) {
    Request r;
    size_t used = 0;
    ASSERT_EQ(parse_request(c.in, &r, &used), c.result) << c.in.substr(0, 60);
    if (c.result != 1) continue;
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.query, c.query);
    EXPECT_EQ(used, c.consumed);
  }
}

TEST(PrintersimWeb, QueryValues) {
  std::string v;
  const std::string q = "private_ip=172.28.11.12&ui_ip=172.28.11.11&x=a%2Fb+c&empty=";
  ASSERT_TRUE(query_value(q, "private_ip", &v));
  EXPECT_EQ(v, "172.28.11.12");
  ASSERT_TRUE(query_value(q, "ui_ip", &v));
  EXPECT_EQ(v, "172.28.11.11");
  ASSERT_TRUE(query_value(q, "x", &v));
  EXPECT_EQ(v, "a/b c");
  ASSERT_TRUE(query_value(q, "empty", &v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(query_value(q, "ip", &v));
  EXPECT_FALSE(query_value("", "ui_ip", &v));
}

TEST(PrintersimWeb, ReplyFraming) {
  Page p{200, "application/json", "{\"a\": 1}"};
  EXPECT_EQ(http_reply(p, false, 0, 4),
            "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: 8\r\n\r\n{\"a\": 1}");
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(http_reply(p, true, 0, 4), head + "0008\r\n{\"a\": 1}\r\n0000\r\n\r\n");
  EXPECT_EQ(http_reply(p, true, 3, 4), head + "0003\r\n{\"a\r\n0003\r\n\": \r\n0002\r\n1}\r\n0000\r\n\r\n");
  EXPECT_EQ(http_reply(p, true, 0, 1), head + "8\r\n{\"a\": 1}\r\n0\r\n\r\n");
  Page big{200, "text/plain", std::string(300, 'z')};
  EXPECT_NE(http_reply(big, true, 0, 2).find("\r\n12c\r\nzz"), std::string::npos) << "digits are a minimum";
  Page empty{404, "text/plain", ""};
  EXPECT_EQ(http_reply(empty, true, 0, 4),
            "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n0000\r\n\r\n");
}

TEST(PrintersimWeb, IsChunked) {
  EXPECT_TRUE(is_chunked("*", "/status/system"));
  EXPECT_FALSE(is_chunked("", "/status/system"));
  EXPECT_TRUE(is_chunked("/status/ui, /status/system", "/status/system"));
  EXPECT_FALSE(is_chunked("/status/ui, /status/system", "/status"));
  EXPECT_FALSE(is_chunked("/status/ui,", ""));
}

TEST(PrintersimWeb, BuiltinPages) {
  State st;
  st.SystemState = "Out of \"media\"";
  st.RTC = "25/11/26 14:03:59";
  Request r;
  r.path = "/status/system";
  EXPECT_EQ(builtin_page(r, st, "now").body,
            "{\"system\": {\"SystemState\": \"Out of \\\"media\\\"\", \"Media\": \"Continuous\", \"Cutter\": 1, "
            "\"FirmwareVersion\": \"QX9_2.1\", \"RTC\": \"25/11/26 14:03:59\"}}");
  st.RTC.clear();
  EXPECT_NE(builtin_page(r, st, "08/12/26 10:00:00").body.find("\"RTC\": \"08/12/26 10:00:00\""), std::string::npos);
  // Only what JSON reads as an integer is written bare.
  for (const auto& [cutter, written] : std::vector<std::pair<std::string, std::string>>{
           {"0", "0"}, {"-3", "-3"}, {"12", "12"}, {"yes", "\"yes\""}, {"007", "\"007\""}, {"+1", "\"+1\""},
           {"", "\"\""}, {"-", "\"-\""}, {"0x1", "\"0x1\""}, {"1.5", "\"1.5\""}}) {
    st.Cutter = cutter;
    std::string body = builtin_page(r, st, "").body;
    EXPECT_NE(body.find("\"Cutter\": " + written + ","), std::string::npos) << body;
  }

  r.path = "/status/ui";
  EXPECT_EQ(builtin_page(r, st, "").body,
            "{\"printer_ip\": \"10.0.0.7\", \"ui_ip\": \"172.31.31.33\", \"kova_ip\": \"172.31.31.253\", "
            "\"kova_mac\": \"0050C20A0B0C\", \"ui_alive\": 0}");

  for (const char* path : {"/job/rfid_ntag", "/job/rfid_exittag", "/job/rfid_wtag_result", "/config/network_config",
                           "/system/status"}) {
    r.path = path;
    Page p = builtin_page(r, st, "");
    EXPECT_EQ(p.status, 200) << path;
    EXPECT_EQ(p.type, "application/json") << path;
  }
  r.path = "/nothing";
  EXPECT_EQ(builtin_page(r, st, "").status, 404);
}

TEST(PrintersimWeb, FilePagesStayInTheirFolder) {
  testkit::TempRoot root;
  std::string dir = root("/pages");
  ld::make_dirs(dir + "/status");
  testkit::spit(dir + "/status/system", "{\"system\": {}}");
  testkit::spit(dir + "/index.html", "<p>hi</p>");
  testkit::spit(root("/secret"), "no");
  Page p;
  ASSERT_TRUE(file_page(dir, "/status/system", &p));
  EXPECT_EQ(p.body, "{\"system\": {}}");
  EXPECT_EQ(p.type, "application/json");
  ASSERT_TRUE(file_page(dir, "/index.html", &p));
  EXPECT_EQ(p.type, "text/html");
  for (const char* path : {"/../secret", "/status/../../secret", "/status", "/missing", "", "status/system", "/./index.html"})
    EXPECT_FALSE(file_page(dir, path, &p)) << path;
  EXPECT_FALSE(file_page("", "/status/system", &p));
}

TEST(PrintersimWeb, PrintableLogLines) {
  EXPECT_EQ(printable("GET /a?b=c HTTP/1.0"), "GET /a?b=c HTTP/1.0");
  EXPECT_EQ(printable(std::string("a\r\nb\0\x7f", 6)), "a\\x0d\\x0ab\\x00\\x7f");
}

}  // namespace
}  // namespace printersim
