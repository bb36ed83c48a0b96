#include "rfid/posix_sdk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace rfid {
namespace {

// A pseudo-terminal pair: the test plays the far end on the master, the code under test opens
// the slave by its path. Both ends close with the fixture.
class Pty {
 public:
  Pty() {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master_.valid() && grantpt(master_.get()) == 0 && unlockpt(master_.get()) == 0) {
      path_ = ptsname(master_.get());
      // Holding the slave open keeps the master readable/writable between opens of the code.
      hold_.reset(open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
      termios raw;
      if (hold_.valid() && tcgetattr(hold_.get(), &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(hold_.get(), TCSANOW, &raw);
      }
    }
  }
  bool ok() const { return master_.valid() && hold_.valid(); }
  const std::string& path() const { return path_; }
  void send(std::string_view bytes) { ASSERT_EQ(write(master_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Reads `n` bytes from the master, waiting a generous while for them.
  std::string take(size_t n) {
    std::string got;
    for (int i = 0; i < 500 && got.size() < n; ++i) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(master_.get(), &set);
      timeval tv{0, 20000};
      if (select(master_.get() + 1, &set, nullptr, nullptr, &tv) > 0) {
        char buf[256];
        const ssize_t r = read(master_.get(), buf, std::min(sizeof buf, n - got.size()));
        if (r > 0) got.append(buf, static_cast<size_t>(r));
      }
    }
    return got;
  }

 private:
  ld::UniqueFd master_, hold_;
  std::string path_;
};

bool wait_ready(int fd) {
  for (int i = 0; i < 500; ++i) {
    if (posix_com_dataready(fd)) return true;
    Sleep(10);
  }
  return false;
}

TEST(SerialSettings, ValidationTable) {
  struct Case {
    int baud;
    char parity;
    int data, stop;
    bool ok;
  } cases[] = {
      {57600, 'N', 8, 1, true},  {57600, 'n', 8, 1, true},  {115200, 'e', 7, 2, true},
      {50, 'O', 5, 1, true},     {57600, 'N', 7, 3, false}, {230400, 'N', 8, 1, false},
      {57600, 'X', 8, 1, false}, {57600, 'N', 4, 1, false}, {57600, 'N', 9, 1, false},
      {0, 'N', 8, 1, false},
  };
  for (const auto& c : cases) {
    termios tio;
    EXPECT_EQ(serial_settings(c.baud, c.parity, c.data, c.stop, 0, &tio, nullptr), c.ok)
        << c.baud << c.parity << c.data << c.stop;
  }
  termios tio;
  ASSERT_TRUE(serial_settings(57600, 'o', 7, 2, 0, &tio, nullptr));
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS7));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_TRUE(tio.c_cflag & PARENB);
  EXPECT_TRUE(tio.c_cflag & PARODD);
  EXPECT_TRUE(tio.c_cflag & CLOCAL);
  EXPECT_TRUE(tio.c_cflag & CREAD);
  EXPECT_EQ(tio.c_lflag, tcflag_t(IEXTEN));
  EXPECT_EQ(tio.c_iflag, tcflag_t(IGNPAR));
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetospeed(&tio), speed_t(B57600));
}

TEST(SerialPort, OpensAPtyWritesFramesAndPolls) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  std::string progress, err;
  // Invalid parameters open nothing.
  EXPECT_EQ(posix_com_open(pty.path().c_str(), 57600, 'N', 7, 3, 0, &progress, &err), -1);
  EXPECT_TRUE(progress.empty());
  {
    testkit::Capture stdout_text(testkit::kStdout);
    EXPECT_EQ(posix_com_open("/nonexistent/tty", 57600, 'N', 8, 1, 0, nullptr, &err), -1);
    EXPECT_EQ(stdout_text.out(), "openning port /nonexistent/tty\nopenned port -1\n");
  }
  // A path that opens but is no terminal: the settings step fails and nothing stays open (the
  // next descriptor handed out is the one that open took).
  const int next_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(next_free);
  EXPECT_EQ(posix_com_open("/dev/null", 57600, 'N', 8, 1, 0, &progress, &err), -1);
  EXPECT_EQ(progress, "openning port /dev/null\nopenned port " + std::to_string(next_free) + "\n");
  const int after = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(after);
  EXPECT_EQ(after, next_free);
  progress.clear();

  const int fd = posix_com_open(pty.path().c_str(), 57600, 'n', 8, 1, 0, &progress, &err);
  ASSERT_GE(fd, 0) << err;
  EXPECT_EQ(progress, "openning port " + pty.path() + "\nopenned port " + std::to_string(fd) + "\n");
  termios now;
  ASSERT_EQ(tcgetattr(fd, &now), 0);
  EXPECT_EQ(cfgetispeed(&now), speed_t(B57600));
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO), tcflag_t(0));

  ld::FakeClock clock;
  ResponseTimer timer(clock);
  const uint8_t frame[] = {0x04, 0x00, 0x01, 0xDB, 0x4B};
  EXPECT_EQ(posix_com_write_data(fd, frame, &timer), 1);
  EXPECT_EQ(pty.take(5), std::string("\x04\x00\x01\xDB\x4B", 5));
  clock.advance_ms(1500);
  EXPECT_EQ(timer.show_response_time(), "response took about 1.50000 seconds\n");
  EXPECT_EQ(posix_com_write_string(fd, "abc"), 3);
  EXPECT_EQ(posix_com_write_string(fd, nullptr), 0);
  EXPECT_EQ(pty.take(3), "abc");

  EXPECT_EQ(posix_com_dataready(fd), 0);
  pty.send("\x05");
  ASSERT_TRUE(wait_ready(fd));
  uint8_t b = 0;
  EXPECT_EQ(posix_com_read(fd, &b), 1);
  EXPECT_EQ(b, 0x05);
  EXPECT_EQ(posix_com_read(fd, &b), 0);  // nothing there: returns at once
  EXPECT_EQ(posix_com_close(fd), 0);

  // Descriptor -1 does nothing.
  EXPECT_EQ(posix_com_close(-1), 0);
  EXPECT_EQ(posix_com_dataready(-1), 0);
  EXPECT_EQ(posix_com_write(-1, 1), 0);
  EXPECT_EQ(posix_com_write_string(-1, "x"), 0);
}

TEST(Keyboard, EscapeSequencesAndPlainKeys) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Keyboard kb(pty.path());
  std::string err;
  EXPECT_FALSE(kb.kbhit(&err));
  EXPECT_TRUE(err.empty()) << err;
  struct Case {
    std::string bytes;
    bool seq;
    char key;
  } cases[] = {
      {"\x1b[15~", true, 15},
      {"q", false, 'q'},
      {"\x7f", false, 8},
      {"\x1bx", false, 'x'},
  };
  for (const auto& c : cases) {
    pty.send(c.bytes);
    bool hit = false;
    for (int i = 0; i < 500 && !hit; ++i) {
      hit = kb.kbhit(&err);
      if (!hit) Sleep(10);
    }
    ASSERT_TRUE(hit);
    Sleep(50);  // let the whole sequence arrive: a real terminal delivers it at once
    char key = 0;
    EXPECT_EQ(kb.getkey(&key), c.seq);
    EXPECT_EQ(key, c.key);
  }
  // A lone ESC is the stop key.
  pty.send("\x1b");
  for (int i = 0; i < 500 && !kb.kbhit(&err); ++i) Sleep(10);
  char key = 0;
  EXPECT_FALSE(kb.getkey(&key));
  EXPECT_EQ(key, 27);

  // Not a terminal: no keys, reported once, never fatal.
  Keyboard none("/dev/null");
  EXPECT_FALSE(none.kbhit(&err));
  EXPECT_NE(err.find("unable to get tty attributes for /dev/null"), std::string::npos);
}

TEST(TermSettings, SaveAndRestore) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto saved = posix_get_termsettings(pty.path().c_str());
  ASSERT_TRUE(saved);
  EXPECT_EQ(posix_set_termsettings(pty.path().c_str(), *saved), 1);
  EXPECT_FALSE(posix_get_termsettings(nullptr));
  EXPECT_FALSE(posix_get_termsettings("/dev/null"));
}

TEST(RfidLog, StampsAndEchoes) {
  EXPECT_EQ(log_stamp({10, 500000}, {12, 250000}), 1750000u);
  // Past 72 minutes (2^32 us) the stamp goes on counting; a clock gone back gives 0.
  EXPECT_EQ(log_stamp({0, 0}, {5000, 0}), 5000000000u);
  EXPECT_EQ(log_stamp({10, 0}, {9, 0}), 0u);
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  ASSERT_TRUE(out);
  {
    RfidLog log({100, 0}, out);
    log.write({100, 42}, "no tags\n");
    char* fbuf = nullptr;
    size_t flen = 0;
    FILE* file = open_memstream(&fbuf, &flen);
    log.set_file(file);
    log.write({101, 0}, "x\n");
    fclose(file);
    EXPECT_EQ(std::string(fbuf, flen), "     1000000 x\n");
    free(fbuf);
  }
  fclose(out);
  EXPECT_EQ(std::string(buf, len), "      42no tags\nno tags\nx\n");
  free(buf);
}

// The log is rotated at its size limit: the current file and two earlier ones are kept.
TEST(RfidLog, RotatesAtItsLimitKeepingTwoEarlierFiles) {
  testkit::TempRoot root;
  const std::string path = root("/rfid.log");
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  {
    RfidLog log({0, 0}, out);
    ASSERT_TRUE(log.open(path, 100));
    for (int i = 0; i < 40; ++i) log.write({0, 0}, "record " + std::to_string(i) + "\n");
    // A tag listing written into the log counts toward its size like any record.
    log.write_unstamped(std::string(120, 'L') + "\n");
    log.close();
  }
  fclose(out);
  free(buf);
  EXPECT_EQ(testkit::slurp(path), "");
  EXPECT_NE(testkit::slurp(path + ".1").find(std::string(120, 'L')), std::string::npos);
  for (const std::string& f : {path, path + ".1", path + ".2"}) {
    EXPECT_LE(testkit::slurp(f).size(), 100u + 40) << f;
    if (f != path) {  // the current one may be new
      EXPECT_FALSE(testkit::slurp(f).empty()) << f;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".3"));
  EXPECT_NE(testkit::slurp(path + ".2").find("record"), std::string::npos);
}

}  // namespace
}  // namespace rfid

namespace rfid {
namespace {

TEST(SerialPort, APortClosedAndOpenedAgainTakesItsSettings) {
  ld::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid());
  ASSERT_EQ(grantpt(master.get()), 0);
  ASSERT_EQ(unlockpt(master.get()), 0);
  const std::string path = ptsname(master.get());
  for (int i = 0; i < 3; ++i) {
    std::string err;
    const int fd = posix_com_open(path.c_str(), 57600, 'N', 8, 1, 0, nullptr, &err);
    ASSERT_GE(fd, 0) << "open " << i << ": " << err;
    posix_com_close(fd);
  }
}

}  // namespace
}  // namespace rfid
