#include "relay/reply.h"

#include <string>

#include "gtest/gtest.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunkedHead = kOk + "Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";

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

TEST(RelayReply, PassesOnlyThePageHeadersWithTheLengthRelayed) {
  // Whatever else the printer's reply says must not reach the browser as the appliance's own
  // word: no cookies, redirects or status of the printer's choosing on the appliance's origin.
  const std::string foreign = "Set-Cookie: session=x; Path=/\r\nLocation: http://elsewhere/\r\nStatus: 302\r\n";
  struct Case {
    const char* what;
    std::string reply, head, body;
  } cases[] = {
      {"foreign headers after Content-Type",
       kOk + "Content-Type: text/html\r\n" + foreign + "Content-Length: 2\r\n\r\nhi",
       "Content-Type: text/html\r\nContent-Length: 2\r\n\r\n", "hi"},
      {"announced 100, sent 16", kOk + "Content-Length: 100\r\nContent-Type: text/plain\r\n\r\n0123456789abcdef",
       "Content-Type: text/plain\r\nContent-Length: 16\r\n\r\n", "0123456789abcdef"},
      {"encoding kept, names in any case", kOk + "Content-Type:  application/json \r\nCONTENT-ENCODING: gzip\r\n"
       "content-length: 3\r\n\r\nabc",
       "Content-Type: application/json\r\nContent-Length: 3\r\nContent-Encoding: gzip\r\n\r\n", "abc"},
      {"no length announced, none made up", kOk + "Content-Type: text/plain\r\n" + foreign + "\r\nabc",
       "Content-Type: text/plain\r\n\r\n", "abc"},
      {"a bare LF inside a value", kOk + "Content-Type: text/html\nSet-Cookie: a=b\r\nContent-Length: 1\r\n\r\nx",
       "Content-Length: 1\r\n\r\n", "x"},
      {"chunked", kOk + "Content-Type: text/plain\r\n" + foreign + "Transfer-Encoding: chunked\r\n\r\n"
       "2\r\nhi\r\n0\r\n\r\n", "Content-Type: text/plain\r\n\n", "hi"},
  };
  for (const auto& c : cases) {
    ewsrelay::Relayed r = ewsrelay::relay_reply(c.reply);
    EXPECT_EQ(r.head, c.head) << c.what;
    EXPECT_EQ(r.body, c.body) << c.what;
    EXPECT_TRUE(r.whole) << c.what;
  }
  // Without any Content header the command line shows the reply as it came; a CGI response
  // carries none of it, so a status line or cookies cannot pass as the appliance's.
  const std::string bare = "HTTP/1.0 302 Found\r\n" + foreign + "\r\nbody";
  EXPECT_EQ(ewsrelay::relay_reply(bare).head, "HTTP/1.0 302 Found\r\n" + foreign + "\r\n");
  ewsrelay::Relayed cgi = ewsrelay::relay_reply(bare, true);
  EXPECT_EQ(cgi.head, "\r\n");
  EXPECT_EQ(cgi.body, "body");
  EXPECT_TRUE(cgi.whole);
  cgi = ewsrelay::relay_reply("HTTP/1.0 302 Found\r\n" + foreign, true);
  EXPECT_EQ(cgi.head + cgi.body, "\r\n");
  EXPECT_FALSE(cgi.whole);
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
       "Content-Type: a\r\n\r\n", "", "END\r\n\n", "", false},
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

}  // namespace
