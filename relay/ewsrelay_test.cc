#include "relay/ewsrelay.h"

#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "relay/reply.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"
#include "testkit/scripted_server.h"

namespace {

using testkit::slurp;
using testkit::spit;
using testkit::ScriptedServer;

ewsrelay::Target target(const ScriptedServer& s, int limit_ms = 5000) { return {"127.0.0.1", s.port(), limit_ms}; }

const std::string kJsonHead = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n";
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kDoc = "{\"system\":{\"SystemState\":\"Online\"}}";

std::string with_length(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
}

// One chunk of a chunked body.
std::string chunk(const std::string& data) {
  char size[20];
  std::snprintf(size, sizeof size, "%zx", data.size());
  return size + ("\r\n" + data) + "\r\n";
}

struct Relay {
  int whole;
  std::string out, err;
};

Relay call(ScriptedServer& s, const std::string& path, const std::string* file = nullptr, int limit_ms = 5000) {
  testkit::CapturedFile out, err;
  int whole = ewsrelay::call(target(s, limit_ms), "GET", path, file, out.get(), err.get());
  return {whole, out.text(), err.text()};
}

TEST(Call, ReadsAcrossGapsUntilTheReplyIsComplete) {
  // Gaps far longer than a scheduler tick; the server keeps the connection open afterwards, so
  // only the announced length or the last chunk can end the reading.
  struct Case {
    const char* what;
    std::vector<ScriptedServer::Piece> pieces;
    std::string out;
  } cases[] = {
      {"plain",
       {{0, kJsonHead}, {120, with_length(kDoc) + kDoc.substr(0, 5)}, {120, kDoc.substr(5)}},
       "Content-Type: application/json\r\n" + with_length(kDoc) + kDoc + "END\r\n\n"},
      {"chunked, size lines split",
       {{0, kChunkedHead + "1"}, {120, "0\r\n0123456789abcdef\r"}, {120, "\n3\r\nxyz\r\n0"}, {120, "\r\n\r\n"}},
       "Content-Type: text/plain\r\n\n0123456789abcdefxyzEND\r\n\n"},
  };
  for (auto& c : cases) {
    ScriptedServer s(c.pieces, 10000);
    Relay r = call(s, "/status/system");
    EXPECT_EQ(r.whole, 1) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(s.request(), "GET /status/system HTTP/1.0\r\n\r\n") << c.what;
  }
}

TEST(Call, IncompleteRepliesAreRelayedAsFarAsTheyCameButNeverSaved) {
  testkit::TempRoot root;
  const std::string file = root("/var/www/html/cgi-bin/system.json");
  struct Case {
    const char* what;
    std::vector<ScriptedServer::Piece> pieces;
    int hold_ms;
    std::string out, err;
  } cases[] = {
      {"stalls before the announced length",
       {{0, kJsonHead + "Content-Length: 100\r\n\r\n{\"sys"}},
       10000,
       "Content-Type: application/json\r\nContent-Length: 5\r\n\r\n{\"sysEND\r\n\n",
       "ERROR 127.0.0.1:PORT: no complete reply within 300 ms\n"},
      {"closes before the announced length",
       {{0, kJsonHead + "Content-Length: 100\r\n\r\n{\"sys"}},
       0,
       "Content-Type: application/json\r\nContent-Length: 5\r\n\r\n{\"sysEND\r\n\n",
       "ERROR 127.0.0.1:PORT: connection closed before the end of the reply\n"},
      {"chunk larger than what came",
       {{0, kChunkedHead + "3\r\nabc\r\nff\r\nhello"}},
       0,
       "Content-Type: text/plain\r\n\nabchello",
       "ERROR 127.0.0.1:PORT: connection closed before the end of the reply\n"
       "ERROR reply ends inside a chunk\n"},
      {"closes without a word", {{0, ""}}, 0, "", ""},
      {"closes inside the header block", {{0, "HTTP/1.0 200 OK\r\nServer: sim\r\n"}}, 0,
       "HTTP/1.0 200 OK\r\nServer: sim\r\n", ""},
      {"broken chunk framing",
       {{0, kChunkedHead + "3;x=1\r\nabc\r\n0\r\n\r\n"}},
       10000,
       "Content-Type: text/plain\r\n\nchunk encoding error!!!!",
       ""},
  };
  for (const auto& c : cases) {
    for (const std::string* out_file : {static_cast<const std::string*>(nullptr), &file}) {
      spit(file, "previous");
      ScriptedServer s(c.pieces, c.hold_ms);
      Relay r = call(s, "/status/system", out_file, 300);
      std::string err = c.err;
      if (size_t p = err.find("PORT"); p != std::string::npos) err.replace(p, 4, std::to_string(s.port()));
      EXPECT_EQ(r.whole, 0) << c.what;
      if (out_file == nullptr) {
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, err) << c.what;
      } else {
        EXPECT_NE(r.err.find("ERROR incomplete reply, " + file + " left as it was\n"), std::string::npos)
            << c.what << r.err;
      }
      EXPECT_EQ(slurp(file), "previous") << c.what;
      EXPECT_EQ(testkit::list_dir(root("/var/www/html/cgi-bin")), std::vector<std::string>{"system.json"});
    }
  }
}

TEST(Call, RepliesBeyondTheBufferAreCut) {
  const std::string head = "HTTP/1.0 200 OK\r\nServer: sim\r\n\r\n";
  const std::string exact = head + std::string(ewsrelay::kReplyMax - head.size(), 'x');
  {
    ScriptedServer s({{0, exact}});
    Relay r = call(s, "/big");
    EXPECT_EQ(r.whole, 1);
    EXPECT_EQ(r.out.size(), ewsrelay::kReplyMax);
    EXPECT_EQ(r.err, "");
  }
  {
    ScriptedServer s({{0, exact + std::string(100000, 'y')}}, 10000);
    Relay r = call(s, "/big");
    EXPECT_EQ(r.whole, 0);
    EXPECT_EQ(r.out, exact);
    EXPECT_EQ(r.err, "ERROR 127.0.0.1:" + std::to_string(s.port()) + ": reply longer than 1048574 bytes\n");
  }
}

TEST(Call, OutputFileGetsTheBodyAndIsReplacedWhole) {
  testkit::TempRoot root;
  const std::string file = root("/var/www/html/cgi-bin/system.json");
  spit(file, "previous");
  struct Case {
    const char* what;
    std::string reply, out;
  } cases[] = {
      {"plain", kJsonHead + with_length(kDoc) + kDoc,
       "Content-Type: application/json\r\n" + with_length(kDoc) + "END\r\n\n"},
      {"chunked", kChunkedHead + chunk(kDoc.substr(0, 5)) + chunk(kDoc.substr(5)) + "0\r\n\r\n",
       "Content-Type: text/plain\r\n\nEND\r\n\n"},
      {"no Content header", "HTTP/1.0 200 OK\r\nServer: sim\r\n\r\n" + kDoc,
       "HTTP/1.0 200 OK\r\nServer: sim\r\n\r\n"},
  };
  for (const auto& c : cases) {
    spit(file, "previous");
    ScriptedServer s({{0, c.reply}});
    Relay r = call(s, "/status/system", &file);
    EXPECT_EQ(r.whole, 1) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, "flushing output file " + file + "\n") << c.what;
    EXPECT_EQ(slurp(file), kDoc) << c.what;
    EXPECT_EQ(testkit::list_dir(root("/var/www/html/cgi-bin")), std::vector<std::string>{"system.json"});
  }

  // An output file that cannot be written: the body goes to standard output instead.
  const std::string nowhere = root("/no/such/folder/system.json");
  ScriptedServer s({{0, kJsonHead + with_length(kDoc) + kDoc}});
  Relay r = call(s, "/status/system", &nowhere);
  EXPECT_EQ(r.out, "Content-Type: application/json\r\n" + with_length(kDoc) + kDoc + "END\r\n\n");
  EXPECT_EQ(r.err, "flushing output file " + nowhere + "\nError openning " + nowhere + "\n");
}

struct Invocation {
  const char* what;
  const char* query;  // QUERY_STRING, null when unset
  std::vector<std::string> args;
  std::string request;  // what the server is asked; empty: no connection at all
  std::string err;
};

TEST(Run, ChoosesThePathAndRefusesUnsafeOnes) {
  const std::string long_value = "path=%2F" + std::string(99, 'a');
  Invocation cases[] = {
      {"query, upper-case escapes", "path=%2Fstatus%2Fui", {}, "GET /status/ui HTTP/1.0\r\n\r\n", ""},
      {"query, lower-case escapes", "path=%2fstatus%2fui", {}, "GET /status/ui HTTP/1.0\r\n\r\n", ""},
      {"query beats arguments", "a=1&path=/x", {"/y"}, "GET /x HTTP/1.0\r\n\r\n", ""},
      {"query without path", "a=1", {}, "GET /status/system HTTP/1.0\r\n\r\n", ""},
      {"no query, no arguments", nullptr, {}, "GET /status/system HTTP/1.0\r\n\r\n", ""},
      {"query without path, an argument", "a=1", {"/status/ui"}, "GET /status/ui HTTP/1.0\r\n\r\n",
       "1 args calling /status/ui\n"},
      {"empty path", "path=", {}, "GET / HTTP/1.0\r\n\r\n", ""},
      {"CR LF in the query", "path=%2Fa%0D%0AHost:%20x", {}, "",
       "ERROR refusing path: control character 0x0d in path at offset 2\n"},
      {"NUL in the query", "path=/a%00", {}, "", "ERROR refusing path: control character 0x00 in path at offset 2\n"},
      {"LF in an argument", nullptr, {"/a\nb"}, "",
       "1 args calling /a\nb\nERROR refusing path: control character 0x0a in path at offset 2\n"},
      {"value too long", long_value.c_str(), {}, "",
       "ERROR refusing request: value of path longer than 99 characters\n"},
  };
  for (const auto& c : cases) {
    ScriptedServer s({{0, "HTTP/1.0 200 OK\r\n\r\nok"}});
    testkit::CapturedFile out, err;
    EXPECT_EQ(ewsrelay::run(c.query, c.args, target(s), out.get(), err.get()), 0) << c.what;
    EXPECT_EQ(err.text(), c.err) << c.what;
    // Run as a CGI program (QUERY_STRING set), the printer's own header block stays back.
    const std::string page = c.query ? "\r\nok" : "HTTP/1.0 200 OK\r\n\r\nok";
    EXPECT_EQ(out.text(), c.request.empty() ? "" : page) << c.what;
    EXPECT_EQ(s.request(), c.request) << c.what;
    EXPECT_EQ(s.connections(), c.request.empty() ? 0 : 1) << c.what;
  }
}

TEST(Run, CommandLineWithOutputFile) {
  testkit::TempRoot root;
  const std::string file = root("/var/www/html/cgi-bin/system.json");
  ScriptedServer s({{0, kJsonHead + with_length(kDoc) + kDoc}});
  testkit::CapturedFile out, err;
  EXPECT_EQ(ewsrelay::run(nullptr, {"/status/system", file}, target(s), out.get(), err.get()), 0);
  EXPECT_EQ(out.text(), "Content-Type: application/json\r\n" + with_length(kDoc) + "END\r\n\n");
  EXPECT_EQ(err.text(), "2 args calling /status/system\nflushing output file " + file + "\n");
  EXPECT_EQ(slurp(file), kDoc);
}

TEST(Run, UnreachablePrinterEndsWithAMessageAndStatusZero) {
  ewsrelay::Target t{"127.0.0.1", testkit::free_port(), 2000};
  testkit::CapturedFile out, err;
  EXPECT_EQ(ewsrelay::run(nullptr, {}, t, out.get(), err.get()), 0);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text().rfind("ERROR connecting: ", 0), 0u) << err.text();
}

}  // namespace
