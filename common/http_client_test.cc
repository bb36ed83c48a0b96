#include "common/http_client.h"

#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "testkit/scenario.h"
#include "testkit/scripted_server.h"

namespace {

namespace http = ld::http;
using http::ReplyWatch;
using testkit::ScriptedServer;

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunkedHead = kOk + "Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(BuildRequest, MethodAndPath) {
  EXPECT_EQ(http::build_request("GET", "/status/system"), "GET /status/system HTTP/1.0\r\n\r\n");
  EXPECT_EQ(http::build_request("", "/x"), "POST /x HTTP/1.0\r\n\r\n");
  EXPECT_EQ(http::build_request("GET", ""), "GET / HTTP/1.0\r\n\r\n");
}

TEST(PathAcceptable, RefusesControlCharacters) {
  for (std::string p : {"/status/system", "/a b", "/config/network_config?private_ip=1.2.3.4",
                               "/caf\xC3\xA9", ""}) {
    std::string err;
    EXPECT_TRUE(http::path_acceptable(p, &err)) << p;
  }
  struct Case {
    std::string path, err;
  } refused[] = {
      {"/x\r\nHost: evil", "control character 0x0d in path at offset 2"},
      {"/x\nGET /y", "control character 0x0a in path at offset 2"},
      {std::string("/\0", 2), "control character 0x00 in path at offset 1"},
      {"/\t", "control character 0x09 in path at offset 1"},
      {"/\x7f", "control character 0x7f in path at offset 1"},
  };
  for (const auto& c : refused) {
    std::string err;
    EXPECT_FALSE(http::path_acceptable(c.path, &err));
    EXPECT_EQ(err, c.err);
  }
}

// Feeds a reply one byte more at a time and returns the length at which the watch stopped
// waiting (npos: never) and the state it ended in.
std::pair<size_t, ReplyWatch::State> watch_bytewise(const std::string& reply, bool* at_close) {
  ReplyWatch w;
  for (size_t n = 0; n <= reply.size(); ++n) {
    ReplyWatch::State s = w.update(std::string_view(reply).substr(0, n));
    if (s != ReplyWatch::kWaiting) return {n, s};
  }
  *at_close = w.complete_at_close();
  return {std::string::npos, ReplyWatch::kWaiting};
}

TEST(ReplyWatch, KnowsWhenTheReplyIsComplete) {
  struct Case {
    const char* what;
    std::string reply;
    size_t done_at;  // npos: complete only when the server closes (or never, see at_close)
    ReplyWatch::State state;
    bool at_close;
  } cases[] = {
      {"content length", kOk + "Content-Type: a\r\nContent-Length: 5\r\n\r\nhello", kOk.size() + 43,
       ReplyWatch::kComplete, false},
      {"content length in lower case", kOk + "content-length:   3\r\n\r\nabcdef", kOk.size() + 26,
       ReplyWatch::kComplete, false},
      {"empty body", kOk + "Content-Length: 0\r\n\r\n", kOk.size() + 21, ReplyWatch::kComplete, false},
      // The "0\r\n\r\n" inside the first chunk's data is data, not the last chunk.
      {"chunked", kChunkedHead + "5\r\n0\r\n\r\n\r\n3\r\nabc\r\n0\r\n\r\n", kChunkedHead.size() + 20,
       ReplyWatch::kComplete, false},
      {"chunked size line zz", kChunkedHead + "zz\r\n", kChunkedHead.size() + 1, ReplyWatch::kComplete, false},
      {"chunked with an extension", kChunkedHead + "5;x\r\nhello", kChunkedHead.size() + 3,
       ReplyWatch::kBroken, false},
      {"chunked without the last chunk", kChunkedHead + "5\r\nhello\r\n", std::string::npos,
       ReplyWatch::kWaiting, false},
      {"no framing", kOk + "Content-Type: a\r\n\r\nhello", std::string::npos, ReplyWatch::kWaiting, true},
      {"no end of the header block", kOk + "Content-Length: 1\r\n", std::string::npos, ReplyWatch::kWaiting,
       true},
  };
  for (const auto& c : cases) {
    bool at_close = false;
    auto [n, state] = watch_bytewise(c.reply, &at_close);
    EXPECT_EQ(n, c.done_at) << c.what;
    EXPECT_EQ(state, c.state) << c.what;
    if (n == std::string::npos) {
      EXPECT_EQ(at_close, c.at_close) << c.what;
    }
  }
}

TEST(ReadChunkHead, NeverReachesPastTheText) {
  // Every prefix of a chunked body: the head read stays inside what is there.
  const std::string body = "\r\n\r\n 1f\r\n" + std::string(31, 'x') + "\r\n0\r\n\r\n";
  for (size_t n = 0; n <= body.size(); ++n) {
    std::string_view s(body.data(), n);
    http::ChunkHead h = http::read_chunk_head(s, 0);
    EXPECT_LE(h.digits_end, n);
    if (h.kind == http::ChunkHead::kData) {
      EXPECT_EQ(h.size, 31u);
      EXPECT_EQ(h.data, 9u);
    }
  }
}

TEST(ParseHead, ReadsHeaderLinesOnly) {
  const std::string reply = kOk + "content-LENGTH:  12 \r\nX-Note: Content-Length: 5\r\n"
                                  "Transfer-Encoding: Chunked\r\n\r\nServer: body";
  http::Head h = http::parse_head(reply);
  EXPECT_EQ(h.lines, kOk.size());
  EXPECT_EQ(h.body(), reply.size() - 12);
  EXPECT_TRUE(h.chunked);
  EXPECT_EQ(h.content_length, 12u);
  EXPECT_EQ(http::header_value(reply, h, "x-note"), "Content-Length: 5");
  EXPECT_EQ(http::header_value(reply, h, "Server"), std::nullopt);  // in the body
  EXPECT_EQ(http::header_value(reply, h, "HTTP/1.1 200 OK"), std::nullopt);

  // While the block is arriving, a line counts only once its line end is there.
  const std::string partial = kOk + "Content-Length: 5\r\nContent-Type: te";
  h = http::parse_head(partial);
  EXPECT_FALSE(h.complete());
  EXPECT_EQ(h.content_length, 5u);
  EXPECT_EQ(http::header_value(partial, h, "Content-Type"), std::nullopt);
  EXPECT_EQ(http::parse_head("HTTP/1.0 204 No Content\r\n\r\n").content_length, std::nullopt);
  EXPECT_EQ(http::parse_head(kOk + "Content-Length: x\r\n\r\n").content_length, std::nullopt);
}

TEST(DecodeChunked, KeepsWhatCameAndSaysWhyItStopped) {
  struct Case {
    std::string body;
    http::Dechunked::Status status;
    std::string data;
  } cases[] = {
      {"\r\n\r\n5\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n", http::Dechunked::kWhole, "helloabc"},
      {"\r\n\r\n5\r\nhel", http::Dechunked::kCut, "hel"},
      {"\r\n\r\n5;x\r\nhello\r\n0\r\n\r\n", http::Dechunked::kBadSize, ""},
      {"\r\n\r\n2\r\nhiXX3\r\nabc\r\n0\r\n\r\n", http::Dechunked::kBadEnd, "hi"},
  };
  for (const auto& c : cases) {
    http::Dechunked d = http::decode_chunked(c.body, 0);
    EXPECT_EQ(d.status, c.status) << c.body;
    EXPECT_EQ(d.body, c.data) << c.body;
  }
}

// One request through the client against a server that plays a scripted reply.
http::Reply exchange(const std::vector<ScriptedServer::Piece>& pieces, int hold_ms, int limit_ms, size_t max,
                     bool* still_connected) {
  ScriptedServer s(pieces, hold_ms);
  http::Client c;
  http::Deadline d = http::deadline_in(limit_ms);
  std::string err;
  http::Reply r;
  EXPECT_TRUE(c.connect("127.0.0.1", s.port(), d, &err)) << err;
  EXPECT_TRUE(c.send(http::build_request("GET", "/status/ui"), d, &err)) << err;
  c.read_reply(d, max, &r);
  *still_connected = c.connected();
  EXPECT_EQ(s.request(), "GET /status/ui HTTP/1.0\r\n\r\n");
  return r;
}

TEST(Client, ReadsOneReplyWithinItsBounds) {
  const std::string page = kOk + "Content-Length: 5\r\n\r\nhello";
  struct Case {
    const char* what;
    std::vector<ScriptedServer::Piece> pieces;
    int hold_ms;
    size_t max;
    std::string raw, problem;
    bool connected;
  } cases[] = {
      // The server keeps the connection: the announced length ends the reading, the
      // connection stays for the next request.
      {"across gaps", {{0, page.substr(0, 10)}, {100, page.substr(10)}}, 10000, http::kReplyMax, page, "", true},
      {"closed by the server", {{0, kOk + "\r\nhello"}}, 0, http::kReplyMax, kOk + "\r\nhello", "", false},
      {"exactly the bound, then closed", {{0, kOk + "\r\nhello"}}, 0, kOk.size() + 7, kOk + "\r\nhello", "", false},
      {"beyond the bound", {{0, page}}, 10000, 20, page.substr(0, 20), "reply longer than 20 bytes", false},
      {"stalls", {{0, page.substr(0, 30)}}, 10000, http::kReplyMax, page.substr(0, 30),
       "no complete reply within 300 ms", false},
      {"closes early", {{0, page.substr(0, 40)}}, 0, http::kReplyMax, page.substr(0, 40),
       "connection closed before the end of the reply", false},
  };
  for (const auto& c : cases) {
    bool connected = false;
    http::Reply r = exchange(c.pieces, c.hold_ms, 300, c.max, &connected);
    EXPECT_EQ(r.raw, c.raw) << c.what;
    EXPECT_EQ(r.problem, c.problem) << c.what;
    EXPECT_EQ(r.complete, c.problem.empty()) << c.what;
    EXPECT_EQ(connected, c.connected) << c.what;
  }
}

TEST(Client, UnknownHostIsToldApartFromAnUnreachableOne) {
  http::Client c;
  std::string err;
  bool unresolved = false;
  EXPECT_FALSE(c.connect("no-such-host.invalid", 80, http::deadline_in(2000), &err, &unresolved));
  EXPECT_TRUE(unresolved) << err;
  EXPECT_FALSE(c.connect("127.0.0.1", testkit::free_port(), http::deadline_in(2000), &err, &unresolved));
  EXPECT_FALSE(unresolved) << err;
}

// Every caller prints these words as they are: the relay on its error stream, discovery, the
// tag daemon's printer link.
TEST(Fetch, SaysWhichStepFailedInTheAppliancesWords) {
  http::Reply r;
  r.raw = "stale";
  std::string err;
  EXPECT_FALSE(http::fetch("no-such-host.invalid", 80, "GET / HTTP/1.0\r\n\r\n",
                           http::deadline_in(2000), 100, &r, &err));
  EXPECT_EQ(err.rfind("ERROR, no such host: cannot resolve no-such-host.invalid", 0), 0u) << err;
  EXPECT_EQ(r.raw, "");
  EXPECT_FALSE(http::fetch("127.0.0.1", testkit::free_port(), "GET / HTTP/1.0\r\n\r\n",
                           http::deadline_in(2000), 100, &r, &err));
  EXPECT_EQ(err.rfind("ERROR connecting: ", 0), 0u) << err;
  EXPECT_EQ(http::step_message(http::Step::kNotSent, "Broken pipe"),
            "ERROR writing message to socket: Broken pipe");
  EXPECT_EQ(http::step_message(http::Step::kSent, "x"), "");
  EXPECT_EQ(http::reply_message("closed without a reply"),
            "ERROR reading response from socket: closed without a reply");
}

TEST(Fetch, BringsTheReplyOrWhyItStoppedEarly) {
  const std::string page = kOk + "Content-Length: 5\r\n\r\nhello";
  for (bool whole : {true, false}) {
    ScriptedServer s({{0, whole ? page : page.substr(0, 30)}}, whole ? 0 : 10000);
    http::Reply r;
    std::string err;
    EXPECT_TRUE(http::fetch("127.0.0.1", s.port(), http::build_request("GET", "/x"),
                            http::deadline_in(300), 100, &r, &err));
    EXPECT_EQ(s.request(), "GET /x HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.complete, whole);
    EXPECT_EQ(r.raw, whole ? page : page.substr(0, 30));
    EXPECT_EQ(r.problem, whole ? "" : "no complete reply within 300 ms");
  }
}

}  // namespace
