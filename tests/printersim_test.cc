// The printer stand-in as the scenario tests and the demo use it: the real program on loopback
// ports it picks itself, driven over real sockets and its control file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/fsops.h"
#include "common/net.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"
#include "webkit/json.h"

namespace {

using testkit::slurp;

class Printersim : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.ok()) << sim_.error(); }

  void control(const std::string& text) { ASSERT_TRUE(sim_.control(text)); }

  ld::UniqueFd connect(int port) {
    std::string err;
    ld::UniqueFd fd = ld::tcp_connect("127.0.0.1", port, 5000, &err);
    EXPECT_TRUE(fd.valid()) << err;
    return fd;
  }

  // Reads until `done` holds for what arrived, the peer closes, or 10 s pass without a byte.
  static std::string read_until(int fd, const std::function<bool(const std::string&)>& done) {
    std::string got;
    char b[4096];
    while (!done(got) && ld::wait_readable(fd, 10000) == 1) {
      ssize_t n = ::recv(fd, b, sizeof b, 0);
      if (n <= 0) break;
      got.append(b, static_cast<size_t>(n));
    }
    return got;
  }
  static std::string read_all(int fd) {
    return read_until(fd, [](const std::string&) { return false; });
  }

  std::string get(const std::string& target) {
    ld::UniqueFd fd = connect(web_);
    std::string req = "GET " + target + " HTTP/1.0\r\n\r\n";
    ld::write_all(fd.get(), req.data(), req.size());
    return read_all(fd.get());
  }

  bool raw_log_has(const std::string& line) { return sim_.raw_log_has(line, 10000); }

  testkit::TempRoot root_;
  testkit::SimPrinter sim_{root_("/printer")};
  const std::string dir_ = sim_.dir();
  const int raw_ = sim_.raw_port(), web_ = sim_.web_port();
};

TEST_F(Printersim, RecordsHeaderAndJobOfEachConnectionApart) {
  const std::string header =
      "\x1b%-12345X@PJL JOB WNAME = \"61625f302e70726e\"\r\n@PJL INFO STATUS\r\n@PJL USTATUS JOB = ON\r\n"
      "@PJL USTATUS PAGE = ON\r\n@PJL USTATUS DEVICE = ON\r\n@PJL USTATUS TIMED = 30\r\n";
  testkit::JobSpec gen;
  gen.pages = 3;
  gen.payload = 300000;
  const std::string job = testkit::make_job(gen);
  {
    ld::UniqueFd fd = connect(raw_);
    // In the pieces the sender uses: the header's parts one by one, then the job.
    for (size_t at = 0; at < header.size(); at += 7) {
      std::string piece = header.substr(at, 7);
      ASSERT_TRUE(ld::write_all(fd.get(), piece.data(), piece.size()));
    }
    ASSERT_TRUE(ld::write_all(fd.get(), job.data(), job.size()));
  }
  ASSERT_TRUE(raw_log_has("job 1 end pjl " + std::to_string(header.size()) + " data " + std::to_string(job.size())));
  EXPECT_EQ(slurp(dir_ + "/jobs/0001.pjl"), header);
  EXPECT_EQ(slurp(dir_ + "/jobs/0001.prn"), job);

  // The bare send: nothing ahead of the job; and a connection that brings nothing.
  { ld::UniqueFd fd = connect(raw_); ASSERT_TRUE(ld::write_all(fd.get(), job.data(), job.size())); }
  ASSERT_TRUE(raw_log_has("job 2 end pjl 0 data " + std::to_string(job.size())));
  { ld::UniqueFd fd = connect(raw_); }
  ASSERT_TRUE(raw_log_has("job 3 end pjl 0 data 0"));
  EXPECT_EQ(slurp(dir_ + "/jobs/0002.prn"), job);
  EXPECT_TRUE(ld::file_exists(dir_ + "/jobs/0003.prn"));
  EXPECT_EQ(slurp(dir_ + "/raw.log"),
            "job 1 open\njob 1 name ab_0.prn\njob 1 end pjl " + std::to_string(header.size()) + " data " +
                std::to_string(job.size()) + "\njob 2 open\njob 2 end pjl 0 data " + std::to_string(job.size()) +
                "\njob 3 open\njob 3 end pjl 0 data 0\n");
}

TEST_F(Printersim, AnswersOnScheduleAndDropsTheConnection) {
  // A cancel report in two writes, the second after more of the job came in; then the printer
  // gives up after 5000 bytes.
  control("say=0:@PJL USTATUS DEVICE\\r\\nCODE=10001\\r\\n\\f\n"
          "say=1000:@PJL USTATUS JOB\\r\\nCAN\n"
          "say=3000:CEL\\r\\n\\f\n"
          "drop_after=5000\n");
  ld::UniqueFd fd = connect(raw_);
  const std::string hello = "@PJL USTATUS DEVICE\r\nCODE=10001\r\n\f";
  EXPECT_EQ(read_until(fd.get(), [&](const std::string& s) { return s.size() >= hello.size(); }), hello);
  const std::string chunk(1000, 'x');
  ASSERT_TRUE(ld::write_all(fd.get(), chunk.data(), chunk.size()));
  EXPECT_EQ(read_until(fd.get(), [](const std::string& s) { return s.size() >= 21; }), "@PJL USTATUS JOB\r\nCAN");
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(ld::write_all(fd.get(), chunk.data(), chunk.size()));
  EXPECT_EQ(read_until(fd.get(), [](const std::string& s) { return s.size() >= 6; }), "CEL\r\n\f");
  // Whatever the sender pushes after the drop point is refused: a write fails or the peer is gone.
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) failed = !ld::write_all(fd.get(), chunk.data(), chunk.size());
  EXPECT_TRUE(failed || read_all(fd.get()).empty());
  ASSERT_TRUE(raw_log_has("job 1 drop at 5000 pjl 0 data 5000"));
  EXPECT_EQ(slurp(dir_ + "/jobs/0001.prn"), std::string(5000, 'x'));
  EXPECT_NE(slurp(dir_ + "/raw.log").find("job 1 say 21 bytes at 1000\njob 1 say 6 bytes at 3000\n"), std::string::npos);
}

TEST_F(Printersim, StallsAndResumesReadingAndRefusesWhenTold) {
  control("raw=stall\n");
  ld::UniqueFd fd = connect(raw_);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  // While it does not read, the socket buffers fill and the sender has to wait.
  std::string block(65536, 'y');
  size_t sent = 0;
  bool blocked = false;
  while (!blocked && sent < (256u << 20)) {
    ssize_t n = ::send(fd.get(), block.data(), block.size(), MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
    else blocked = n < 0 && errno == EAGAIN;
  }
  ASSERT_TRUE(blocked);
  control("raw=read\nread_chunk=1000\n");
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  fd.reset();
  ASSERT_TRUE(raw_log_has("job 1 end pjl 0 data " + std::to_string(sent)));
  EXPECT_EQ(ld::file_size(dir_ + "/jobs/0001.prn"), static_cast<int64_t>(sent));

  // Small reads with pauses still take the whole job, and the texts land where they should.
  control("read_chunk=333\nread_delay_ms=1\nsay=1000:A\n");
  fd = connect(raw_);
  std::string job(5000, 'z');
  ASSERT_TRUE(ld::write_all(fd.get(), job.data(), job.size()));
  ::shutdown(fd.get(), SHUT_WR);
  EXPECT_EQ(read_all(fd.get()), "A");
  ASSERT_TRUE(raw_log_has("job 2 end pjl 0 data 5000"));
  EXPECT_TRUE(raw_log_has("job 2 say 1 bytes at 1000"));

  control("raw=close\n");
  fd = connect(raw_);
  EXPECT_EQ(read_all(fd.get()), "");
  EXPECT_TRUE(raw_log_has("job 3 refuse"));
}

TEST_F(Printersim, ServesStatusPagesPlainOrChunkedFromItsControlFile) {
  std::string r = get("/status/system");
  EXPECT_EQ(r.find("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"), 0u) << r;
  EXPECT_NE(r.find("\"SystemState\": \"Online\""), std::string::npos) << r;
  EXPECT_EQ(r.substr(r.size() - 11), "}\r\n0000\r\n\r\n") << "the end that the appliance looks for";

  control("SystemState=Paused\nRTC=25/11/26 14:03:59\nchunked=/status/ui\nui_alive=1\n");
  r = get("/status/system");
  const std::string body =
      "{\"system\": {\"SystemState\": \"Paused\", \"Media\": \"Continuous\", \"Cutter\": 1, "
      "\"FirmwareVersion\": \"QX9_2.1\", \"RTC\": \"25/11/26 14:03:59\"}}";
  EXPECT_EQ(r, "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
  // The document reads as the appliance's programs read their copy of it.
  JsonNode* doc = parse_json(body);
  ASSERT_NE(doc, nullptr);
  EXPECT_STREQ(getJSONObjectVal("system.SystemState", doc), "Paused");
  EXPECT_EQ(getJSONObjectInt("system.Cutter", doc), 1);
  EXPECT_STREQ(getJSONObjectVal("system.FirmwareVersion", doc), "QX9_2.1");
  free_json(doc);
  r = get("/status/ui");
  EXPECT_NE(r.find("Transfer-Encoding: chunked"), std::string::npos) << r;
  EXPECT_NE(r.find("\"ui_alive\": 1}"), std::string::npos) << r;

  // The controller takes new addresses until the control file changes again.
  get("/config/network_config?private_ip=172.28.11.12&ui_ip=172.28.11.11");
  r = get("/status/ui");
  EXPECT_NE(r.find("\"ui_ip\": \"172.28.11.11\", \"kova_ip\": \"172.28.11.12\""), std::string::npos) << r;
  control("chunked=\n");
  r = get("/status/ui");
  EXPECT_NE(r.find("\"ui_ip\": \"172.31.31.33\", \"kova_ip\": \"172.31.31.253\""), std::string::npos) << r;

  EXPECT_EQ(get("/no/such/page").find("HTTP/1.0 404 Not Found\r\n"), 0u);
  ld::make_dirs(root_("/pages/status"));
  testkit::spit(root_("/pages/status/system"), "{not json");
  control("pages=" + root_("/pages") + "\nchunked=\n");
  EXPECT_EQ(get("/status/system").substr(get("/status/system").size() - 9), "{not json");

  EXPECT_EQ(slurp(dir_ + "/requests.log"),
            "GET /status/system HTTP/1.0\n"
            "GET /status/system HTTP/1.0\n"
            "GET /status/ui HTTP/1.0\n"
            "GET /config/network_config?private_ip=172.28.11.12&ui_ip=172.28.11.11 HTTP/1.0\n"
            "GET /status/ui HTTP/1.0\n"
            "GET /status/ui HTTP/1.0\n"
            "GET /no/such/page HTTP/1.0\n"
            "GET /status/system HTTP/1.0\n"
            "GET /status/system HTTP/1.0\n");
}

TEST_F(Printersim, KeepsTheConnectionOpenOrFallsSilentAsTold) {
  // The RFID encoder's way: one connection, a request after each chunked reply.
  control("keep_open=1\n");
  ld::UniqueFd fd = connect(web_);
  std::function<bool(const std::string&)> ends_chunked = [](const std::string& s) {
    return s.size() >= 8 && s.compare(s.size() - 8, 8, "0000\r\n\r\n") == 0;
  };
  for (const char* path : {"/job/rfid_ntag?st=1&nr=0&dt=0&epc=00112233445566778899AABB", "/system/status"}) {
    std::string req = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
    ASSERT_TRUE(ld::write_all(fd.get(), req.data(), req.size()));
    std::string r = read_until(fd.get(), ends_chunked);
    EXPECT_TRUE(ends_chunked(r)) << r;
  }
  fd.reset();

  control("web=silent\n");
  fd = connect(web_);
  std::string req = "GET /status/system HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(ld::write_all(fd.get(), req.data(), req.size()));
  ASSERT_TRUE(testkit::wait_until(
      [&] { return slurp(dir_ + "/requests.log").find("GET /status/system") != std::string::npos; }));
  EXPECT_EQ(ld::wait_readable(fd.get(), 300), 0) << "a silent printer keeps the line open without a word";
  fd.reset();

  control("web=close\n");
  EXPECT_EQ(get("/system/status"), "");

  // A request line that ends with the connection is still answered, once.
  control("keep_open=1\n");
  fd = connect(web_);
  ASSERT_TRUE(ld::write_all(fd.get(), "GET /system/status HTTP/1.0\r\n", 29));
  ::shutdown(fd.get(), SHUT_WR);
  std::string r = read_all(fd.get());
  EXPECT_EQ(r.find("HTTP/1.0 200 OK"), 0u) << r;
  EXPECT_EQ(r.find("HTTP/1.0", 1), std::string::npos) << r;
}

TEST(PrintersimProgram, HelpAndBadArguments) {
  std::string out, err;
  EXPECT_EQ(testkit::run({testkit::bin("printersim"), "--help"}, &out, &err), 0);
  EXPECT_NE(out.find("usage: printersim --dir DIR"), std::string::npos);
  EXPECT_EQ(testkit::run({testkit::bin("printersim"), "--dir", "/nonexistent", "--set", "web=maybe"}, &out, &err), 2);
  EXPECT_NE(err.find("web: expected answer, silent or close: maybe"), std::string::npos) << err;
  EXPECT_EQ(testkit::run({testkit::bin("printersim")}, &out, &err), 2);
}

TEST(PrintersimProgram, SetOptionsHoldUnderTheControlFile) {
  testkit::TempRoot root;
  int web = testkit::free_port();
  testkit::Process sim({testkit::bin("printersim"), "--dir", root("/p"), "--web-port", std::to_string(web), "--set",
                        "SystemState=Offline", "--set", "chunked="});
  ASSERT_TRUE(testkit::wait_until([&] { return ld::file_exists(root("/p/ports")); }));
  EXPECT_NE(slurp(root("/p/ports")).find("LABELDOCK_PRINTER_WEB_PORT=" + std::to_string(web) + "\n"), std::string::npos);
  auto get = [&] {
    std::string err;
    ld::UniqueFd fd = ld::tcp_connect("127.0.0.1", web, 5000, &err);
    ld::write_all(fd.get(), "GET /status/system HTTP/1.0\r\n\r\n", 31);
    std::string got;
    char b[4096];
    while (ld::wait_readable(fd.get(), 10000) == 1) {
      ssize_t n = ::recv(fd.get(), b, sizeof b, 0);
      if (n <= 0) break;
      got.append(b, static_cast<size_t>(n));
    }
    return got;
  };
  EXPECT_NE(get().find("\"SystemState\": \"Offline\""), std::string::npos);
  ld::write_file_atomic(root("/p/control"), "SystemState=Online\n");
  EXPECT_NE(get().find("\"SystemState\": \"Online\""), std::string::npos);
  ld::write_file_atomic(root("/p/control"), "Media=Fanfold\n");
  std::string r = get();
  EXPECT_NE(r.find("\"SystemState\": \"Offline\", \"Media\": \"Fanfold\""), std::string::npos) << r;
  EXPECT_NE(r.find("Content-Length"), std::string::npos) << r;
}

}  // namespace
