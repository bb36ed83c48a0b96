#include "rfid/printer_link.h"

#include <gtest/gtest.h>
#include <climits>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/net.h"

namespace rfid {
namespace {

// A table of `n` tags; tag i has EPC bytes 0x30 ... i and i + 1 reads.
std::unique_ptr<TagTable> table_of(int n) {
  auto t = std::make_unique<TagTable>();
  TagContext ctx;
  for (int i = 0; i < n; ++i) {
    std::vector<uint8_t> item(17, 0);
    item[1] = 12;
    item[2] = 0x30;
    item[12] = static_cast<uint8_t>(i >> 8);
    item[13] = static_cast<uint8_t>(i);
    for (int r = 0; r <= i % 3; ++r) t->add_tag(item, 1, ctx);
  }
  return t;
}

// The kind and where the argument begins, read once: the power's number, the letters after
// "cmd=" and the position after "tag at " start where the handlers take them.
TEST(PrinterMessages, KindAndArgumentByTheirLeadingCharacters) {
  struct {
    const char* msg;
    MessageKind kind;
    const char* arg;
  } cases[] = {
      {"cmd=exit_read", MessageKind::ExitRead, ""},
      {"cmd=exit_rea", MessageKind::Command, "exit_rea"},  // one short of the 13 compared
      {"cmd=entry_read", MessageKind::EntryRead, ""},
      {"cmd=entry_rea", MessageKind::EntryRead, ""},
      {"cmd=read_modu", MessageKind::ReadModules, ""},
      {"cmd=exit_power=7", MessageKind::ExitPower, "7"},
      {"cmd=exit_power=", MessageKind::ExitPower, ""},
      {"cmd=entry_power=12", MessageKind::EntryPower, "12"},
      {"cmd=status", MessageKind::Status, ""},
      {"cmd=retry", MessageKind::Retry, ""},
      {"cmd=retryx", MessageKind::Retry, ""},
      {"cmd=retr", MessageKind::Command, "retr"},
      {"cmd=setsc", MessageKind::Setscan, ""},
      {"cmd=setscan", MessageKind::Setscan, ""},
      {"cmd=I", MessageKind::Command, "I"},
      {"cmd=", MessageKind::Command, ""},
      {"write=00&data=11", MessageKind::Write, ""},
      {"tag at 100", MessageKind::Tof, "100"},
      {"tag at ", MessageKind::Other, ""},
      {"Q", MessageKind::Other, ""},
      {"", MessageKind::Other, ""},
  };
  for (const auto& c : cases) {
    const PrinterMessage m = parse_message(c.msg);
    EXPECT_EQ(m.kind, c.kind) << c.msg;
    EXPECT_EQ(m.arg, c.arg) << c.msg;
  }
}

TEST(PrinterMessages, TableListsKeepTheirShapeAndFitTheBuffer) {
  bool cut = true;
  EXPECT_EQ(list_reply(nullptr, &cut), "[]<OK>");
  EXPECT_FALSE(cut);
  auto two = table_of(2);
  EXPECT_EQ(list_reply(two.get(), &cut),
            "[{0,\"300000000000000000000000\",1},{1,\"300000000000000000000001\",2},]<OK>");
  EXPECT_EQ(both_lists_reply(two.get(), 2, nullptr, 1, &cut),
            "Exit=[{0,\"300000000000000000000000\",1},{1,\"300000000000000000000001\",2},],Entry=[]<OK>");

  // Longer than the 2000-byte buffer: cut after a whole entry, still closed and acknowledged.
  auto many = table_of(120);
  for (const std::string& reply : {list_reply(many.get(), &cut),
                                   both_lists_reply(many.get(), 2, many.get(), 1, &cut)}) {
    EXPECT_TRUE(cut);
    EXPECT_LE(reply.size(), kListReplyBuffer - 1);
    EXPECT_GT(reply.size(), kListReplyBuffer - 60);
    EXPECT_TRUE(reply.ends_with("},]<OK>")) << reply.substr(reply.size() - 40);
  }
}

TEST(PrinterMessages, StatusLine) {
  EXPECT_EQ(status_line(2, true, 1, 7), "mods=2&conf=1&entry_pwr=01&exit_pwr=07");
  EXPECT_EQ(status_line(1, false, 0, 0), "mods=1&conf=0&entry_pwr=00&exit_pwr=00");
}

TEST(PrinterMessages, WriteMessages) {
  const std::string e24 = "300833B2DDD9014000000000", f24 = "300833B2DDD901400000000C";
  struct {
    std::string msg;
    bool ok;
    std::string old_hex, new_hex;
    int index;
  } cases[] = {
      {"write=" + e24 + "&data=" + f24 + "&index=12", true, e24, f24, 12},
      {"write=" + e24 + "&data=" + f24, true, e24, f24, 0},
      {"write=abc&data=12345", true, "abc", "12345", 0},  // odd lengths: hex2byte refuses them
      {"write=" + e24 + f24, false, "", "", 0},             // no &data=
      {"write=" + e24 + "&data=" + std::string(42, 'A') + "&index=1", false, "", "", 0},
      {"write=" + std::string(41, 'A') + "&data=00", false, "", "", 0},
      {"write=" + std::string(40, 'A') + "&data=" + std::string(40, 'b') + "&index=3", true,
       std::string(40, 'A'), std::string(40, 'b'), 3},
  };
  for (const auto& c : cases) {
    WriteMessage w;
    ASSERT_EQ(parse_write_message(c.msg, &w), c.ok) << c.msg;
    if (!c.ok) continue;
    EXPECT_EQ(w.old_hex, c.old_hex);
    EXPECT_EQ(w.new_hex, c.new_hex);
    EXPECT_EQ(w.index, c.index);
  }
}

}  // namespace
}  // namespace rfid

namespace rfid {
namespace {

TEST(PrinterMessages, NumbersAreReadWithoutOverflow) {
  struct {
    const char* text;
    int value;
  } cases[] = {{"130", 130}, {" -7x", -7}, {"", 0}, {"abc", 0}, {"99999999999999999999", INT_MAX},
               {"-99999999999999999999", INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(leading_int(c.text), c.value) << c.text;
  EXPECT_EQ(leading_int(parse_message("tag at 99999999999").arg), INT_MAX);
  WriteMessage w;
  ASSERT_TRUE(parse_write_message("write=00&data=11&index=99999999999", &w));
  EXPECT_EQ(w.index, INT_MAX);
}

// A port on a free loopback port with the printer (the test) connected to it.
struct PortWithPrinter {
  PrinterPort port;
  ld::UniqueFd printer;
  int number = 0;
  std::string out;
  explicit PortWithPrinter(int recv_buf = 0) {
    std::string err;
    ld::UniqueFd l = ld::tcp_listen(0, 10, true, &err);
    number = ld::local_port(l.get());
    port.adopt_listener(std::move(l));
    port.set_printer_host("127.0.0.1");
    printer = connect_client(recv_buf);
    for (int i = 0; i < 200 && port.connect_socket(&out, 0) < 0; ++i) usleep(1000);
  }
  ld::UniqueFd connect_client(int recv_buf) {
    ld::UniqueFd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (recv_buf > 0) setsockopt(c.get(), SOL_SOCKET, SO_RCVBUF, &recv_buf, sizeof recv_buf);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(number));
    EXPECT_EQ(connect(c.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return c;
  }
};

// A printer that stops reading never blocks a reply: they wait in the bounded buffer, and the
// connection is closed once nothing was taken for the stall time, or the buffer would overflow.
TEST(PrinterPortLink, APrinterThatStopsReadingIsDisconnectedNotWaitedFor) {
  for (const bool overflow : {false, true}) {
    SCOPED_TRACE(overflow ? "overflow" : "stall");
    PortWithPrinter p(2048);
    ASSERT_GE(p.port.conn_fd(), 0) << p.out;
    int small = 2048;
    setsockopt(p.port.conn_fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string reply(1900, 'x');
    int sent = 0;
    while (p.port.outgoing() == 0 && sent < 10000) {  // fills the socket, then the buffer
      p.port.send(reply, false);
      ++sent;
    }
    ASSERT_GT(p.port.outgoing(), 0u);
    if (overflow) {
      for (int i = 0; i < 40; ++i) p.port.send(reply, false);
      p.port.flush_out(1, &p.out);
      EXPECT_NE(p.out.find("printer does not read its replies: more than 65536 bytes waiting"), std::string::npos)
          << p.out;
    } else {
      p.port.flush_out(1000, &p.out);
      EXPECT_GE(p.port.conn_fd(), 0);
      p.port.flush_out(1000 + kStallMs, &p.out);
      EXPECT_NE(p.out.find("printer took no reply for 5 s; connection closed"), std::string::npos) << p.out;
    }
    EXPECT_LT(p.port.conn_fd(), 0);
  }
}

// A connection that has sent nothing for the idle time gives way to a newcomer; before that
// the newcomer waits.
TEST(PrinterPortLink, ASilentConnectionGivesWayToANewOne) {
  PortWithPrinter p;
  ASSERT_GE(p.port.conn_fd(), 0);
  const int first = p.port.conn_fd();
  ld::UniqueFd second = p.connect_client(0);
  usleep(20000);
  EXPECT_FALSE(p.port.idle_gives_way(kIdleYieldMs - 1, &p.out));
  EXPECT_EQ(p.port.conn_fd(), first);
  EXPECT_TRUE(p.port.idle_gives_way(kIdleYieldMs, &p.out));
  EXPECT_NE(p.out.find("silent for 10 s gives way to a new one"), std::string::npos) << p.out;
  p.port.send("<OK>", true);
  char buf[8];
  ASSERT_EQ(ld::wait_readable(second.get(), 2000), 1);
  EXPECT_EQ(read(second.get(), buf, sizeof buf), 5);
}

}  // namespace
}  // namespace rfid
