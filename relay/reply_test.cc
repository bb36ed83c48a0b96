#include "relay/reply.h"

#include <string>

#include "gtest/gtest.h"

namespace {

using ewsrelay::ReplyWatch;

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunkedHead = kOk + "Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(BuildRequest, MethodAndPath) {
  EXPECT_EQ(ewsrelay::build_request("GET", "/status/system"), "GET /status/system HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ewsrelay::build_request("", "/x"), "POST /x HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ewsrelay::build_request("GET", ""), "GET / HTTP/1.0\r\n\r\n");
}

TEST(GetParam, DecodesTheFirstOccurrence) {
  struct Case {
    std::string query;
    std::optional<std::string> value;
  } cases[] = {
      {"path=%2Fstatus%2Fui", "/status/ui"},
      {"path=%2fstatus%2fui", "/status/ui"},
      {"a=1&path=x+y&b=2", "x y"},
      {"xpath=1&path=2", "1"},  // a plain substring search: the earliest match wins
      {"path=", ""},
      {"path=&a=1", ""},
      {"a=1", std::nullopt},
      {"", std::nullopt},
      {"path=%", "%"},  // an escape without two hex digits stays as it is
      {"path=%4", "%4"},
      {"path=%zz1", "%zz1"},
      {"path=%41%4", "A%4"},
      {"path=a%00b", std::string("a\0b", 3)},
      {"path=" + std::string(99, 'a'), std::string(99, 'a')},
      {"path=" + std::string(33, 'a') + std::string(66, 'b') + "&x=" + std::string(500, 'c'),
       std::string(33, 'a') + std::string(66, 'b')},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(ewsrelay::getParam(c.query, "path", &err), c.value) << c.query;
    EXPECT_EQ(err, "") << c.query;
  }
}

TEST(GetParam, RefusesValuesLongerThanTheBuffer) {
  std::string encoded;
  for (int i = 0; i < 100; ++i) encoded += "%2F";
  for (const std::string& q : {"path=" + std::string(100, 'a'), "path=" + encoded}) {
    std::string err;
    EXPECT_EQ(ewsrelay::getParam(q, "path", &err), std::nullopt);
    EXPECT_EQ(err, "value of path longer than 99 characters");
  }
}

TEST(PathAcceptable, RefusesControlCharacters) {
  for (std::string p : {"/status/system", "/a b", "/config/network_config?private_ip=1.2.3.4",
                               "/caf\xC3\xA9", ""}) {
    std::string err;
    EXPECT_TRUE(ewsrelay::path_acceptable(p, &err)) << p;
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
    EXPECT_FALSE(ewsrelay::path_acceptable(c.path, &err));
    EXPECT_EQ(err, c.err);
  }
}

TEST(RelayReply, TurnsRepliesIntoHeaderBodyAndEnd) {
  struct Case {
    const char* what;
    std::string reply, head, body, tail, errors;
    bool whole;
  } cases[] = {
      {"plain", kOk + "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}",
       "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n", "{}", "END\r\n\n", "", true},
      {"no Content header", kOk + "Server: x\r\n\r\nhello", kOk + "Server: x\r\n\r\n", "hello", "", "", true},
      {"Content only in the status line", "HTTP/1.0 204 No Content\r\n\r\n",
       "HTTP/1.0 204 No Content\r\n\r\n", "", "", "", true},
      {"Content only in the body", kOk + "Server: x\r\n\r\nContent-Type: y\r\n\r\nz", kOk + "Server: x\r\n\r\n",
       "Content-Type: y\r\n\r\nz", "", "", true},
      {"empty reply", "", "", "", "", "", false},
      {"no Content header, header block cut", kOk + "Server: x\r\n", "", kOk + "Server: x\r\n", "", "", false},
      {"chunked keyword only in the body", kOk + "Content-Type: a\r\n\r\nTransfer-Encoding: chunked",
       "Content-Type: a\r\n\r\n", "Transfer-Encoding: chunked", "END\r\n\n", "", true},
      {"plain without the end of the header block", kOk + "Content-Type: a\r\nServer: x",
       "Content-Type: a\r\nServer: x", "", "END\r\n\n", "", false},
      {"chunks of 5 and 3", kChunkedHead + "5\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n",
       "Content-Type: text/plain\r\n\n", "helloabc", "END\r\n\n", "", true},
      {"upper-case size and spaces", kChunkedHead + " A\r\n0123456789\r\n\r\n1\r\nx\r\n0\r\n\r\n",
       "Content-Type: text/plain\r\n\n", "0123456789x", "END\r\n\n", "", true},
      {"size line zz", kChunkedHead + "zz\r\nhello\r\n0\r\n\r\n", "Content-Type: text/plain\r\n\n", "",
       "END\r\n\n", "", true},
      {"8 or fewer bytes after a chunk end the body", kChunkedHead + "5\r\nhelloXX0\r\n",
       "Content-Type: text/plain\r\n\n", "hello", "END\r\n\n", "", true},
      {"size line with an extension", kChunkedHead + "5;ext\r\nhello\r\n0\r\n\r\n",
       "Content-Type: text/plain\r\n\n", "", "chunk encoding error!!!!", "", false},
      {"no line end after the data", kChunkedHead + "5\r\nhelloXX3\r\nabc\r\n0\r\n\r\n",
       "Content-Type: text/plain\r\n\n", "hello", "incorrect end of chunk!", "", false},
      {"chunk larger than the reply", kChunkedHead + "ff\r\nhello", "Content-Type: text/plain\r\n\n",
       "hello", "", "ERROR reply ends inside a chunk\n", false},
      {"huge size", kChunkedHead + "3\r\nabc\r\nffffffffffffffffffffffff\r\nxy",
       "Content-Type: text/plain\r\n\n", "abcxy", "", "ERROR reply ends inside a chunk\n", false},
      {"reply ends in a size line", kChunkedHead + "3\r\nabc\r\n1234567890", "Content-Type: text/plain\r\n\n",
       "abc", "", "ERROR reply ends inside a chunk\n", false},
      {"no line end 12 bytes after Content", kOk + "Transfer-Encoding: chunked\r\nContent-Type", "", "", "",
       "ERROR\n\n", false},
      {"no end of the header block", kOk + "Transfer-Encoding: chunked\r\nContent-Type: text/plain\r\n5\r\nhello",
       "Content-Type: text/plain\r\n\n", "", "",
       "Header block error [[Content-Type: text/plain\r\n5\r\nhello]] [[(null)]]\n", false},
  };
  for (const auto& c : cases) {
    ewsrelay::Relayed r = ewsrelay::relay_reply(c.reply);
    EXPECT_EQ(r.head, c.head) << c.what;
    EXPECT_EQ(r.body, c.body) << c.what;
    EXPECT_EQ(r.tail, c.tail) << c.what;
    EXPECT_EQ(r.errors, c.errors) << c.what;
    EXPECT_EQ(r.whole, c.whole) << c.what;
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
    ewsrelay::ChunkHead h = ewsrelay::read_chunk_head(s, 0);
    EXPECT_LE(h.digits_end, n);
    if (h.kind == ewsrelay::ChunkHead::kData) {
      EXPECT_EQ(h.size, 31u);
      EXPECT_EQ(h.data, 9u);
    }
  }
}

}  // namespace
