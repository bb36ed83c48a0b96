#include "rfid/ews_client.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <thread>

#include "common/fsops.h"
#include "common/net.h"
#include "testkit/scripted_server.h"

namespace rfid {
namespace {

const uint8_t kEpc[12] = {0x30, 0x08, 0x33, 0xB2, 0xDD, 0xD9, 0x01, 0x40, 0x00, 0x05, 0xAB, 0xCD};
const char kChunkedOk[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n";

TEST(EwsPaths, ExactRequestPaths) {
  EXPECT_EQ(tag_event_path(kEpc, 0, 5, 1500, true),
            "/job/rfid_ntag?st=0&nr=5&dt=1500&epc=300833B2DDD901400005ABCD");
  EXPECT_EQ(tag_event_path(kEpc, 1, 0, 0, false),
            "/job/rfid_exittag?st=1&nr=0&dt=0&epc=300833B2DDD901400005ABCD");
  EXPECT_EQ(write_result_path(0, 0, 12, kEpc),
            "/job/rfid_wtag_result?state=0&err=0&index=12&epc_len=12&epc=300833B2DDD901400005ABCD");
}

TEST(EwsClient, SendsTheRequestLineAndKeepsTheConnection) {
  // The last chunk written as a single "0" ends the reply: the connection stays for the next
  // request instead of waiting out the time-outs.
  testkit::ScriptedServer server({{0, kChunkedOk}}, 30000);
  ld::FakeClock clock(5000);
  EwsClient ews("127.0.0.1", server.port(), clock);
  std::string err;
  ASSERT_TRUE(ews.ews_send_tag(kEpc, 0, 5, 1500, true, &err)) << err;
  EXPECT_TRUE(ews.connected());
  EXPECT_EQ(ews.last_printer_activity(), 5000);
  EXPECT_EQ(server.request(),
            "GET /job/rfid_ntag?st=0&nr=5&dt=1500&epc=300833B2DDD901400005ABCD HTTP/1.0\r\n\r\n");
}

TEST(EwsClient, AReplyEndedByTheServerClosingCountsAndClosesOurSide) {
  testkit::ScriptedServer server({{0, "HTTP/1.0 200 OK\r\n\r\nstatus page"}}, 0);
  ld::FakeClock clock;
  EwsClient ews("127.0.0.1", server.port(), clock);
  std::string err, url;
  EXPECT_TRUE(ews.write_result_notify_printer(0, 0, 12, kEpc, &url, &err)) << err;
  EXPECT_FALSE(ews.connected());
  EXPECT_EQ(url, "url:/job/rfid_wtag_result?state=0&err=0&index=12&epc_len=12&epc=300833B2DDD901400005ABCD\n");
}

// Reads one request up to its empty line from a served connection.
std::string read_request(int fd) {
  std::string req;
  char c;
  while (req.find("\r\n\r\n") == std::string::npos && ld::wait_readable(fd, 5000) > 0 &&
         read(fd, &c, 1) == 1) {
    req += c;
  }
  return req;
}

// How a printer drops the kept connection after answering once.
enum class Drop {
  Close,            // closes it cleanly before the next request
  ResetEarly,       // resets it (closing with the request still unread) before the next request
  ResetOnRequest,   // closes it just as the next request arrives, which resets it unread
};

// A printer that answers once, drops the kept connection, then serves one more connection.
void drop_then_serve(int listener, Drop drop, std::string* second) {
  {
    ld::UniqueFd c(ld::tcp_accept(listener));
    if (drop == Drop::ResetEarly) ld::wait_readable(c.get(), 5000);
    else read_request(c.get());
    ld::write_all(c.get(), kChunkedOk, sizeof kChunkedOk - 1);
    if (drop == Drop::ResetOnRequest) ld::wait_readable(c.get(), 5000);
  }
  if (ld::wait_readable(listener, 10000) <= 0) return;
  ld::UniqueFd c(ld::tcp_accept(listener));
  *second = read_request(c.get());
  ld::write_all(c.get(), kChunkedOk, sizeof kChunkedOk - 1);
}

TEST(EwsClient, ADroppedKeptConnectionIsReplacedOnce) {
  // The next event must reach the printer on a new connection rather than be lost as an empty
  // "reply", a reset read, or, after a reset, end the process with SIGPIPE.
  for (Drop drop : {Drop::Close, Drop::ResetEarly, Drop::ResetOnRequest}) {
    const int d = static_cast<int>(drop);
    std::string err;
    ld::UniqueFd listener = ld::tcp_listen(0, 4, true, &err);
    ASSERT_TRUE(listener.valid()) << err;
    std::string second;
    std::thread printer(drop_then_serve, listener.get(), drop, &second);
    ld::FakeClock clock;
    EwsClient ews("127.0.0.1", ld::local_port(listener.get()), clock, 5000, 1000);
    EXPECT_TRUE(ews.test_printer_connection(&err)) << err;
    if (drop != Drop::ResetOnRequest) usleep(200000);  // let the close or reset arrive first
    EXPECT_TRUE(ews.ews_send_tag(kEpc, 1, 0, 0, true, &err)) << d << " " << err;
    printer.join();
    EXPECT_EQ(second, "GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=300833B2DDD901400005ABCD HTTP/1.0\r\n\r\n")
        << d;
  }
}

TEST(EwsClient, UnreachablePrinterFails) {
  int port;
  {
    testkit::ScriptedServer gone({}, 0);
    port = gone.port();
    gone.request();
  }
  ld::FakeClock clock;
  EwsClient ews("127.0.0.1", port, clock);
  std::string err;
  EXPECT_FALSE(ews.test_printer_connection(&err));
  EXPECT_NE(err.find("ERROR connecting"), std::string::npos) << err;
  EXPECT_EQ(ews.last_printer_activity(), 0);
}

// The loop's requests go one after another, each within its limits on the loop's clock: a web
// server that takes a request and never answers holds it until the 6 s reply limit, and only
// then does the next go out (on a new connection, the first is not sent again); nothing in
// between waits.
TEST(EwsLink, ARequestNeverAnsweredEndsAtItsLimitAndTheNextGoesOutInOrder) {
  std::string err;
  ld::UniqueFd listener = ld::tcp_listen(0, 10, true, &err);
  ASSERT_TRUE(listener.valid()) << err;
  ld::FakeClock clock;
  EwsLink link("127.0.0.1", ld::local_port(listener.get()), clock);
  std::vector<std::string> ended;
  auto note = [&ended](std::string name) {
    return [&ended, name](bool ok, const std::string& why) { ended.push_back(name + (ok ? " ok" : " failed: " + why)); };
  };
  ASSERT_TRUE(link.enqueue("/first", note("first")));
  ASSERT_TRUE(link.enqueue("/second", note("second")));
  for (int i = 0; i < 500 && link.events() != POLLIN; ++i) {  // connected and sent: waiting for the reply
    usleep(1000);
    link.step();
  }
  ASSERT_EQ(link.events(), POLLIN);
  ASSERT_EQ(ld::wait_readable(listener.get(), 5000), 1);
  ld::UniqueFd first(ld::tcp_accept(listener.get()));
  EXPECT_EQ(read_request(first.get()), "GET /first HTTP/1.0\r\n\r\n");
  // Unanswered, short of its limit: the first stays in hand and the second waits behind it.
  clock.advance_ms(5999);
  for (int i = 0; i < 5; ++i) link.step();
  EXPECT_TRUE(ended.empty());
  EXPECT_EQ(link.queued(), 2u);
  EXPECT_EQ(link.due_in_ms(), 1);
  clock.advance_ms(1);
  link.step();
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0], "first failed: ERROR reading response from socket: no complete reply within 6000 ms");
  ASSERT_EQ(ld::wait_readable(listener.get(), 5000), 1);
  ld::UniqueFd second(ld::tcp_accept(listener.get()));
  for (int i = 0; i < 500 && link.events() != POLLIN; ++i) {
    usleep(1000);
    link.step();
  }
  EXPECT_EQ(read_request(second.get()), "GET /second HTTP/1.0\r\n\r\n");
  ASSERT_EQ(write(second.get(), kChunkedOk, sizeof kChunkedOk - 1), ssize_t(sizeof kChunkedOk - 1));
  for (int i = 0; i < 500 && ended.size() < 2; ++i) {
    if (link.fd() >= 0) ld::wait_readable(link.fd(), 10);
    link.step();
  }
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(ended[1], "second ok");
  EXPECT_EQ(link.queued(), 0u);
  // The first connection got nothing more: its request was not sent again.
  char c;
  EXPECT_EQ(ld::wait_readable(first.get(), 0), 1);
  EXPECT_EQ(read(first.get(), &c, 1), 0);
}

}  // namespace
}  // namespace rfid
