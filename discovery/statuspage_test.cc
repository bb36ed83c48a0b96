#include "discovery/statuspage.h"

#include <gtest/gtest.h>

namespace discovery {
namespace {

const char kPage[] =
    "{\"printer_ip\": \"10.0.0.7\", \"ui_ip\": \"172.31.31.33\", \"kova_ip\": \"172.31.31.253\", "
    "\"kova_mac\": \"0050C20A0B0C\", \"ui_alive\": 0}";

TEST(StatusPage, ReadsEveryKeyOfAControllerPage) {
  ControllerStatus st;
  std::string log;
  EXPECT_EQ(read_status_page(kPage, true, &st, &log), 1);
  EXPECT_EQ(log,
            "KOVA extern_ip: 10.0.0.7\nKOVA ui_ip: 172.31.31.33\nKOVA kova_ip: 172.31.31.253\n"
            "KOVA kova_mac: 0050C20A0B0C\nKOVA ui_alive: 0\n");
  EXPECT_EQ(dotted(st.controller), "172.31.31.253");
  EXPECT_EQ(st.mac, "0050C20A0B0C");
}

TEST(StatusPage, ReadsAChunkedReplyWithItsHeaders) {
  std::string body = kPage;
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "0010\r\n" + body.substr(0, 16) + "\r\n" + "00" +
                      [&] { char b[8]; std::snprintf(b, sizeof b, "%02zx", body.size() - 16); return std::string(b); }() +
                      "\r\n" + body.substr(16) + "\r\n0000\r\n\r\n";
  ControllerStatus st;
  std::string log;
  EXPECT_EQ(read_status_page(reply, true, &st, &log), 1);
  EXPECT_EQ(dotted(st.external), "10.0.0.7");  // "printer_ip" was split over two chunks
  EXPECT_EQ(st.ui_alive, 0);
}

TEST(StatusPage, AcceptsOnlyLinkOrExternalNetworkAddresses) {
  struct {
    const char* page;
    bool want_external;
    const char* ui;    // "" when refused
    const char* line;  // the ui_ip line
  } cases[] = {
      {"{\"ui_ip\": \"10.1.2.3\"}", false, "", "KOVA ui_ip: invalid\n"},
      {"{\"printer_ip\": \"10.1.2.200\", \"ui_ip\": \"10.1.2.3\"}", true, "10.1.2.3", "KOVA ui_ip: 10.1.2.3\n"},
      {"{\"printer_ip\": \"10.1.2.200\", \"ui_ip\": \"10.1.2.3\"}", false, "", "KOVA ui_ip: invalid\n"},
      {"{\"ui_ip\": \"172.31.31.300\"}", false, "", "KOVA ui_ip: invalid\n"},
      {"{\"ui_ip\": \"172.31.31\"}", false, "", "KOVA ui_ip: invalid\n"},
      {"{\"ui_ip\": \"172.31.31.33; reboot\"}", false, "172.31.31.33", "KOVA ui_ip: 172.31.31.33\n"},
      {"{\"ui_ip\":\"172.31.31.33\"}", false, "", ""},  // no blank before the quote: not found
  };
  for (const auto& c : cases) {
    ControllerStatus st;
    std::string log;
    int r = read_status_page(c.page, c.want_external, &st, &log);
    EXPECT_EQ(r, *c.ui ? 1 : 0) << c.page;
    EXPECT_EQ(is_zero(st.ui) ? "" : dotted(st.ui), c.ui) << c.page;
    EXPECT_NE(log.find(c.line), std::string::npos) << c.page << "\n" << log;
  }
}

TEST(StatusPage, MissingKeysLeaveValuesAndLongMacsAreCut) {
  ControllerStatus st;
  st.ui = {172, 20, 0, 1};
  st.mac = "old";
  st.ui_alive = 7;
  std::string log;
  EXPECT_EQ(read_status_page("{\"kova_mac\": \"0123456789ABCDEF0123456789\",}", false, &st, &log), 1);
  EXPECT_EQ(st.mac, "0123456789ABCDEF012");
  EXPECT_EQ(st.ui_alive, 7);
  EXPECT_EQ(dotted(st.ui), "172.20.0.1");
  EXPECT_EQ(read_status_page("{\"ui_alive\": 1}", false, &st, &log), 1);
  EXPECT_EQ(st.ui_alive, 1);
  ControllerStatus empty;
  EXPECT_EQ(read_status_page("", true, &empty, &log), 0);
}

}  // namespace
}  // namespace discovery
