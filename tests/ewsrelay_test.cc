// The printer web relay on the road a page takes: the real ewsrelay against the printer
// stand-in, from the command line, with a CGI query string, and as a CGI program under lighttpd.
// Reply shapes the stand-in never sends (gaps inside a reply, a "zz" size line, no Content
// header) are in the unit tests.

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "relay/reply.h"
#include "testkit/scenario.h"
#include "testkit/scripted_server.h"
#include "testkit/sim_printer.h"
#include "testkit/webserver.h"
#include "webkit/json.h"

namespace {

using testkit::slurp;
using testkit::spit;

using ewsrelay::kReplyMax;

struct Result {
  int status;
  std::string out, err;
};

// Runs ewsrelay against the web server on `port`; QUERY_STRING is set only when `query` is.
Result relay(int port, const std::vector<std::string>& args, const char* query = nullptr) {
  std::vector<std::string> argv{testkit::bin("ewsrelay")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> env{{"LABELDOCK_PRINTER_HOST", "127.0.0.1"},
                                         {"LABELDOCK_PRINTER_WEB_PORT", std::to_string(port)}};
  if (query) env["QUERY_STRING"] = query;
  Result r;
  r.status = testkit::run(argv, &r.out, &r.err, env);
  return r;
}

class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("QUERY_STRING");
    ASSERT_TRUE(sim_.ok()) << sim_.error();
    ld::make_dirs(pages_ + "/status");
    control("");
  }

  // Replaces the stand-in's control file in one step; a fixed clock keeps its pages the same.
  void control(const std::string& text) {
    ASSERT_TRUE(sim_.control("RTC=08/12/26 05:00:00\npages=" + pages_ + "\n" + text));
  }
  // The body of a page as the stand-in serves it without chunks (asked directly, and left out
  // of the request log).
  std::string page(const std::string& path, const std::string& settings = "") {
    control(settings + "chunked=\n");
    testkit::HttpResponse r = testkit::http_get(web_, path);
    EXPECT_EQ(r.status, 200) << r.status_line << r.error;
    spit(dir_ + "/requests.log", "");
    return r.body;
  }
  std::string requests() { return slurp(dir_ + "/requests.log"); }
  Result run(const std::vector<std::string>& args, const char* query = nullptr) { return relay(web_, args, query); }

  testkit::TempRoot root_;
  const std::string pages_ = root_("/pages");
  testkit::SimPrinter sim_{root_("/printer")};
  const std::string dir_ = sim_.dir();
  const int web_ = sim_.web_port();
};

std::string plain_head(const std::string& type, const std::string& body) {
  return "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
}

TEST_F(Relay, PathFromTheQueryInBothEncodingsPlainAndChunked) {
  const std::string ui = page("/status/ui");
  ASSERT_NE(ui.find("\"kova_mac\""), std::string::npos) << ui;
  for (const char* query : {"path=%2Fstatus%2Fui", "path=%2fstatus%2fui"}) {
    control("chunked=*\n");
    Result r = run({}, query);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Content-Type: application/json\r\n\n" + ui + "END\r\n\n") << query;
    EXPECT_EQ(r.err, "");
    control("chunked=\n");
    r = run({}, query);
    EXPECT_EQ(r.out, plain_head("application/json", ui) + ui + "END\r\n\n") << query;
    EXPECT_EQ(r.err, "");
  }
  std::string expected;
  for (int i = 0; i < 4; ++i) expected += "GET /status/ui HTTP/1.0\n";
  EXPECT_EQ(requests(), expected);
}

TEST_F(Relay, DefaultPathIsTheStatusPage) {
  const std::string status = page("/status/system");
  control("");
  for (const char* query : {static_cast<const char*>(nullptr), "x=1"}) {
    Result r = run({}, query);
    EXPECT_EQ(r.out, "Content-Type: application/json\r\n\n" + status + "END\r\n\n");
  }
  EXPECT_EQ(requests(), "GET /status/system HTTP/1.0\nGET /status/system HTTP/1.0\n");
}

TEST_F(Relay, CommandLineWithOutputFileKeepsTheStatusDocument) {
  const std::string file = root_("/var/www/html/cgi-bin/system.json");
  // Each run replaces the document with the printer's current state, chunked or plain.
  for (const auto& [chunked, state] : {std::pair<std::string, std::string>{"*", "Paused"}, {"", "Online"}}) {
    const std::string doc = page("/status/system", "SystemState=" + state + "\n");
    ASSERT_NE(doc.find("\"" + state + "\""), std::string::npos) << doc;
    control("SystemState=" + state + "\nchunked=" + chunked + "\n");
    Result r = run({"/status/system", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, (chunked == "*" ? "Content-Type: application/json\r\n\n"
                                     : plain_head("application/json", doc)) +
                         "END\r\n\n");
    EXPECT_EQ(r.err, "2 args calling /status/system\nflushing output file " + file + "\n");
    EXPECT_EQ(slurp(file), doc) << "the file holds the document only";
    // ... which the appliance's programs read with their JSON access.
    JsonNode* saved = get_json(file);
    ASSERT_NE(saved, nullptr);
    EXPECT_STREQ(getJSONObjectVal("system.SystemState", saved), state.c_str());
    free_json(saved);
  }
  // A printer that stops answering leaves the last whole document in place.
  const std::string online = slurp(file);
  control("web=silent\n");
  Result r = run({"/status/system", file});
  EXPECT_NE(r.err.find("no complete reply within"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ERROR incomplete reply, " + file + " left as it was\n"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(file), online);
  EXPECT_EQ(testkit::list_dir(root_("/var/www/html/cgi-bin")), std::vector<std::string>{"system.json"});
}

TEST_F(Relay, ChunksAndSlowReplies) {
  spit(pages_ + "/status/eight", "helloabc");
  control("chunk_size=5\nchunk_digits=1\n");
  Result r = run({"/status/eight"});
  EXPECT_EQ(r.out, "Content-Type: application/json\r\n\nhelloabcEND\r\n\n");
  EXPECT_EQ(r.err, "1 args calling /status/eight\n");

  // A reply that only starts after a long pause, in chunks of one byte.
  control("chunk_size=1\nweb_delay_ms=400\n");
  r = run({"/status/eight"});
  EXPECT_EQ(r.out, "Content-Type: application/json\r\n\nhelloabcEND\r\n\n");
}

TEST_F(Relay, OversizedReplyIsCutAndNeverSaved) {
  const std::string file = root_("/var/www/html/cgi-bin/big.json");
  spit(file, "previous");
  spit(pages_ + "/big", std::string(kReplyMax + 1000, 'x'));
  control("chunked=\n");
  Result r = run({"/big"});
  // Everything from "Content" on, as far as the reply was taken, then the end line.
  EXPECT_EQ(r.out.size(), kReplyMax - std::strlen("HTTP/1.0 200 OK\r\n") + std::strlen("END\r\n\n"));
  EXPECT_EQ(r.out.substr(r.out.size() - 9), "xxxEND\r\n\n");
  EXPECT_NE(r.err.find("reply longer than 1048574 bytes"), std::string::npos) << r.err;
  r = run({"/big", file});
  EXPECT_EQ(slurp(file), "previous");
}

TEST_F(Relay, HostilePathsNeverReachThePrinter) {
  for (const char* query : {"path=%2Fstatus%2Fsystem%0D%0AX-Evil:%201", "path=/x%0aGET%20/y", "path=/a%00b",
                            "path=/%09"}) {
    Result r = run({}, query);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR refusing path: control character", 0), 0u) << r.err;
  }
  std::string long_query = "path=/" + std::string(99, 'a');
  Result r = run({}, long_query.c_str());
  EXPECT_EQ(r.err, "ERROR refusing request: value of path longer than 99 characters\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(requests(), "");
}

TEST_F(Relay, AsACgiProgramUnderLighttpd) {
  const std::string ui = page("/status/ui");
  control("chunked=*\n");
  testkit::WebServer web(root_, {"ewsrelay"},
                         {{"LABELDOCK_PRINTER_HOST", "127.0.0.1"}, {"LABELDOCK_PRINTER_WEB_PORT", std::to_string(web_)}});
  ASSERT_TRUE(web.ok()) << web.error();

  testkit::HttpResponse r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay?path=%2Fstatus%2Fui");
  EXPECT_EQ(r.status, 200) << r.error << web.error_log();
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.body, ui + "END\r\n\n");
  // A plain reply keeps its Content-Length, so the web server passes on the page alone.
  control("chunked=\n");
  r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay?path=%2Fstatus%2Fui");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Length"), std::to_string(ui.size()));
  EXPECT_EQ(r.body, ui);

  // Without a path the status page; with a forged one nothing reaches the printer.
  r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.rfind("{\"system\"", 0), 0u) << r.body;
  r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay?path=%2Fx%0D%0AHost:%20evil");
  EXPECT_NE(r.status, 200);
  r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay?path=%2F" + std::string(99, 'a'));
  EXPECT_NE(r.status, 200) << r.body;
  // Its standard error reaches the server's log on its own time.
  EXPECT_TRUE(testkit::wait_until([&] { return web.cgi_log().find("ERROR refusing request") != std::string::npos; }))
      << web.cgi_log();
  EXPECT_EQ(requests(), "GET /status/ui HTTP/1.0\nGET /status/ui HTTP/1.0\nGET /status/system HTTP/1.0\n");
}

TEST_F(Relay, APrinterPageCannotSpeakForTheAppliance) {
  // Something on the printer link answers with cookies, a redirect and a status of its own,
  // and announces more than it sends: the browser gets the page, its type and its true length,
  // and with a reply that has no Content header at all, neither its status line nor a header.
  const std::string body = "<p>printer page</p>";
  const std::string foreign = "Set-Cookie: session=stolen; Path=/\r\nLocation: http://elsewhere/\r\n";
  struct Case {
    const char* what;
    std::string reply, type, length;
  } cases[] = {
      {"typed page", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n" + foreign +
                         "Status: 302 Found\r\nContent-Length: 100\r\n\r\n" + body,
       "text/html", std::to_string(body.size())},
      {"no Content header", "HTTP/1.0 302 Found\r\n" + foreign + "\r\n" + body, "", ""},
  };
  for (const auto& c : cases) {
    testkit::ScriptedServer printer({{0, c.reply}});
    testkit::WebServer web(root_, {"ewsrelay"},
                           {{"LABELDOCK_PRINTER_HOST", "127.0.0.1"},
                            {"LABELDOCK_PRINTER_WEB_PORT", std::to_string(printer.port())}});
    ASSERT_TRUE(web.ok()) << web.error();
    testkit::HttpResponse r = testkit::http_get(web.port(), "/cgi-bin/ewsrelay?path=%2Findex.html");
    EXPECT_EQ(r.status, 200) << c.what << r.status_line << r.error << web.error_log();
    EXPECT_FALSE(r.has_header("Set-Cookie")) << c.what;
    EXPECT_FALSE(r.has_header("Location")) << c.what;
    EXPECT_EQ(r.header("Content-Type"), c.type) << c.what;
    if (!c.length.empty()) {
      EXPECT_EQ(r.header("Content-Length"), c.length) << c.what;
    }
    EXPECT_EQ(r.body.substr(0, body.size()), body) << c.what;
    EXPECT_EQ(printer.request(), "GET /index.html HTTP/1.0\r\n\r\n") << c.what;
  }
}

}  // namespace
