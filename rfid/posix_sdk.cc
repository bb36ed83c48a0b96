#include "rfid/posix_sdk.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace rfid {
namespace {

bool readable_now(int fd, bool* failed) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  timeval zero{0, 0};
  const int r = select(fd + 1, &set, nullptr, nullptr, &zero);
  *failed = r < 0;
  return r > 0;
}

}  // namespace

speed_t baud_constant(int baud) {
  static constexpr struct {
    int baud;
    speed_t speed;
  } kRates[] = {{50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},
                {200, B200},   {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
                {2400, B2400}, {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
                {57600, B57600}, {115200, B115200}};
  for (const auto& r : kRates) {
    if (r.baud == baud) return r.speed;
  }
  return 0;
}

bool serial_settings(int baud, char parity, int data_bits, int stop_bits, int extra_cflags,
                     termios* tio, std::string* err) {
  const char p = static_cast<char>(std::toupper(static_cast<unsigned char>(parity)));
  const speed_t speed = baud_constant(baud);
  if (data_bits < 5 || data_bits > 8 || (stop_bits != 1 && stop_bits != 2) ||
      (p != 'N' && p != 'O' && p != 'E') || speed == 0) {
    if (err) *err = "invalid port parameters";
    return false;
  }
  std::memset(tio, 0, sizeof *tio);
  tio->c_iflag = IGNPAR;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  // CREAD: without it a UART drops every byte it receives, and a pseudo-terminal refuses the
  // settings once its port has been closed and opened again (a repeated discovery does that).
  tio->c_cflag = CLOCAL | CREAD | kSizes[data_bits - 5] | static_cast<tcflag_t>(extra_cflags);
  if (stop_bits == 2) tio->c_cflag |= CSTOPB;
  if (p == 'E') tio->c_cflag |= PARENB;
  if (p == 'O') tio->c_cflag |= PARENB | PARODD;
  tio->c_lflag = IEXTEN;
  if (cfsetispeed(tio, speed) != 0 || cfsetospeed(tio, speed) != 0) {
    if (err) *err = "cannot set port speed";
    return false;
  }
  return true;
}

int posix_com_open(const char* path, int baud, char parity, int data_bits, int stop_bits,
                   int extra_cflags, std::string* progress, std::string* err) {
  termios tio;
  if (!path || !serial_settings(baud, parity, data_bits, stop_bits, extra_cflags, &tio, err)) {
    return -1;
  }
  const auto say = [progress](const std::string& line) {
    if (progress) *progress += line;
    else std::fputs(line.c_str(), stdout);
  };
  say(std::string("openning port ") + path + "\n");
  // O_NOCTTY: a serial adapter must never become the daemon's controlling terminal.
  ld::UniqueFd fd(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  say("openned port " + std::to_string(fd.get()) + "\n");
  if (!fd.valid()) {
    if (err) *err = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return -1;
  }
  if (tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
    if (err) *err = std::string("cannot configure ") + path + ": " + std::strerror(errno);
    return -1;  // the descriptor closes with `fd`
  }
  return fd.release();
}

int posix_com_close(int fd) { return fd == -1 ? 0 : close(fd); }

int posix_com_dataready(int fd) {
  if (fd < 0) return 0;
  bool failed = false;
  const bool ready = readable_now(fd, &failed);
  if (failed) std::fputs("\nERROR:  dataready():  select() returned -1\n", stderr);
  return ready ? 1 : 0;
}

int posix_com_read(int fd, uint8_t* byte) {
  if (fd < 0) return 0;
  return read(fd, byte, 1) == 1 ? 1 : 0;
}

int posix_com_write(int fd, uint8_t byte) {
  if (fd < 0) return 0;
  return ::write(fd, &byte, 1) == 1 ? 1 : 0;
}

int posix_com_write_string(int fd, const char* text) {
  if (fd < 0 || !text) return 0;
  int n = 0;
  for (; text[n] != '\0'; ++n) posix_com_write(fd, static_cast<uint8_t>(text[n]));
  return n;
}

std::string ResponseTimer::show_response_time() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "response took about %.5f seconds\n", seconds_since_sent());
  return buf;
}

int posix_com_write_data(int fd, std::span<const uint8_t> bytes, ResponseTimer* timer) {
  if (timer) timer->mark_sent();
  for (uint8_t b : bytes) posix_com_write(fd, b);
  return 1;
}

Keyboard::Keyboard(std::string path) : path_(path.empty() ? posix_console_name() : std::move(path)) {}

bool Keyboard::kbhit(std::string* err_out) {
  if (unusable_) return false;
  if (!fd_.valid()) {
    fd_.reset(open(path_.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd_.valid()) return false;  // tried again at the next call
    termios tio;
    if (tcgetattr(fd_.get(), &tio) != 0) {
      // Not a terminal: the daemon runs on without key commands rather than ending.
      if (err_out) *err_out += "\nERROR:  unable to get tty attributes for " + path_ + "\n";
      fd_.reset();
      unusable_ = true;
      return false;
    }
    tio.c_iflag = 0;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS8 | CREAD;
    tio.c_lflag = IEXTEN;
    tio.c_cc[VERASE] = 127;
    if (tcsetattr(fd_.get(), TCSANOW, &tio) != 0 && err_out) {
      *err_out += "\nERROR:  unable to set tty attributes for " + path_ + "\n";
    }
  }
  return waiting();
}

bool Keyboard::waiting() {
  bool failed = false;
  const bool ready = readable_now(fd_.get(), &failed);
  if (failed) {
    fd_.reset();
    unusable_ = true;
  }
  return ready;
}

bool Keyboard::read_byte(uint8_t* b) { return read(fd_.get(), b, 1) == 1; }

bool Keyboard::getkey(char* key) {
  if (!fd_.valid()) return false;
  uint8_t b = 0;
  if (!read_byte(&b)) return false;
  if (b != 27 || !waiting()) {
    *key = static_cast<char>(b == 127 ? 8 : b);
    return false;
  }
  if (!read_byte(&b)) {
    *key = 27;
    return false;
  }
  if (b != '[' || !waiting()) {
    *key = static_cast<char>(b);
    return false;
  }
  std::string digits;
  // Bounded: a sequence without its '~' must not grow the text for ever.
  while (digits.size() < 16 && waiting() && read_byte(&b) && b != '~') digits += static_cast<char>(b);
  *key = static_cast<char>(std::atoi(digits.c_str()));
  return true;
}

std::unique_ptr<termios> posix_get_termsettings(const char* path) {
  if (!path) return nullptr;
  ld::UniqueFd fd(open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  auto tio = std::make_unique<termios>();
  if (tcgetattr(fd.get(), tio.get()) != 0) return nullptr;
  return tio;
}

int posix_set_termsettings(const char* path, const termios& saved) {
  if (!path) return 0;
  ld::UniqueFd fd(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return 0;
  return tcsetattr(fd.get(), TCSANOW, &saved) == 0 ? 1 : 0;
}

std::string posix_console_name() {
  char buf[L_ctermid];
  return ctermid(buf);
}

void Sleep(long ms) {
  if (ms <= 0) return;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint64_t log_stamp(TimeVal start, TimeVal now) {
  const int64_t us = (static_cast<int64_t>(now.sec) - start.sec) * 1000000 +
                     (static_cast<int64_t>(now.usec) - start.usec);
  return us < 0 ? 0 : static_cast<uint64_t>(us);
}

bool RfidLog::open(const std::string& path, long limit) {
  set_file(nullptr);
  owned_.reset(std::fopen(path.c_str(), "w+e"));
  if (!owned_) return false;
  file_ = owned_.get();
  path_ = path;
  limit_ = limit;
  size_ = 0;
  return true;
}

void RfidLog::rotate_if_full() {
  if (!owned_ || path_.empty() || size_ < limit_) return;
  for (int i = kLogKeptFiles; i > 1; --i) {
    std::rename((path_ + "." + std::to_string(i - 1)).c_str(), (path_ + "." + std::to_string(i)).c_str());
  }
  owned_.reset();
  std::rename(path_.c_str(), (path_ + ".1").c_str());
  owned_.reset(std::fopen(path_.c_str(), "w+e"));
  file_ = owned_.get();  // a failed reopen leaves the log on the terminal only
  size_ = 0;
}

void RfidLog::write(TimeVal now, const std::string& text) {
  const unsigned long long stamp = log_stamp(start_, now);
  if (file_) {
    const int n = std::fprintf(file_, "%12llu %s", stamp, text.c_str());
    std::fflush(file_);
    if (n > 0) size_ += n;
    rotate_if_full();
  } else {
    std::fprintf(out_, "%8llu%s", stamp, text.c_str());
  }
  std::fputs(text.c_str(), out_);
}

void RfidLog::write_unstamped(const std::string& text) {
  if (!file_) return;
  std::fputs(text.c_str(), file_);
  std::fflush(file_);
  size_ += static_cast<long>(text.size());
  rotate_if_full();
}

TimeVal time_now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return {static_cast<int32_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};
}

DaemonClock& system_daemon_clock() {
  static SystemDaemonClock clock;
  return clock;
}

}  // namespace rfid
