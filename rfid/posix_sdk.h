// The thin POSIX layer under the RFID encoder: serial ports (termios, zero-time-out polls,
// byte-wise frame writes and the response timer), the key input of the controlling terminal with
// its escape sequences, saving and restoring terminal settings, and the stamped daemon log.
// A port is a descriptor; -1 means not open and every call then does nothing.
#pragma once
#include <termios.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/handles.h"
#include "rfid/tags.h"

namespace rfid {

// The baud rate's speed constant, or 0 when the rate is not one the ports support.
speed_t baud_constant(int baud);
// The settings a serial port gets: raw, no echo, reads return at once with what is there.
// False (and *err) for parameters outside 5..8 data bits, 1..2 stop bits, N/O/E parity (either
// case), or an unsupported rate.
bool serial_settings(int baud, char parity, int data_bits, int stop_bits, int extra_cflags,
                     termios* tio, std::string* err);

// Opens and configures a serial port; -1 when a parameter is invalid, the open fails or a
// settings step fails (the descriptor is then closed). The "openning port" / "openned port"
// lines go to `progress` when the caller collects what the daemon prints, else to stdout.
int posix_com_open(const char* path, int baud, char parity, int data_bits, int stop_bits,
                   int extra_cflags, std::string* progress, std::string* err);
int posix_com_close(int fd);

// An open serial port held by its module record: closed when it is replaced, or when the record
// goes with a new discovery or at exit. It reads as its descriptor (-1 when none), so the port
// calls take it as they take the descriptor.
class SerialFd {
 public:
  SerialFd() = default;
  explicit SerialFd(int fd) : fd_(fd) {}
  operator int() const { return fd_.get(); }
  int get() const { return fd_.get(); }
  // Takes `fd` (-1: none), closing the port held until now.
  void reset(int fd = -1) { fd_.reset(fd); }

 private:
  ld::UniqueFd fd_;
};
int posix_com_dataready(int fd);
int posix_com_read(int fd, uint8_t* byte);
int posix_com_write(int fd, uint8_t byte);
int posix_com_write_string(int fd, const char* text);

// When the last frame was handed to a port, so the time to its reply can be shown.
class ResponseTimer {
 public:
  explicit ResponseTimer(ld::Clock& clock) : clock_(clock) {}
  void mark_sent() { sent_ms_ = clock_.monotonic_ms(); }
  double seconds_since_sent() const { return static_cast<double>(clock_.monotonic_ms() - sent_ms_) / 1000.0; }
  std::string show_response_time() const;

 private:
  ld::Clock& clock_;
  int64_t sent_ms_ = 0;
};

// Writes a frame one byte per write call, as the modules expect; the timer (may be null) notes
// the send time. Single-byte failures are not reported: the reply time-out catches them.
int posix_com_write_data(int fd, std::span<const uint8_t> bytes, ResponseTimer* timer);

// Key input from a terminal (normally the controlling one). The terminal is opened and switched
// to single keys on first use; when it cannot be opened no key is ever reported.
class Keyboard {
 public:
  explicit Keyboard(std::string path = {});  // empty: the controlling terminal
  // True when a key waits. Set-up problems go to `err_out` (may be null) once.
  bool kbhit(std::string* err_out = nullptr);
  // Reads one key. ESC [ digits ~ stores the number and returns true; any other key is stored
  // as itself (DEL as backspace 8) and returns false.
  bool getkey(char* key);
  // The terminal's descriptor once opened (-1 before), for a poll that waits on keys too.
  int fd() const { return fd_.get(); }

 private:
  bool waiting();
  bool read_byte(uint8_t* b);

  std::string path_;
  ld::UniqueFd fd_;
  bool unusable_ = false;
};

std::unique_ptr<termios> posix_get_termsettings(const char* path);
int posix_set_termsettings(const char* path, const termios& saved);
std::string posix_console_name();
void Sleep(long ms);

// Microseconds from the daemon's start, 64 bits wide so the stamp does not wrap after 72
// minutes (a 32-bit count did); 0 when the clock went back before the start.
uint64_t log_stamp(TimeVal start, TimeVal now);

// The log file lives on the board's SD card and continuous reads log all day (about 65 MB a
// day): past this size it is rotated (rfid.log -> rfid.log.1 -> rfid.log.2), so at most three
// files, about 3 MiB, are ever kept.
constexpr long kLogRotateBytes = 1L << 20;
constexpr int kLogKeptFiles = 2;

// The daemon log: each record stamped into the log file when one is open, else onto `out`,
// and the text once more unstamped onto `out`.
class RfidLog {
 public:
  RfidLog(TimeVal start, FILE* out) : start_(start), out_(out) {}
  // A stream the caller owns (never rotated).
  void set_file(FILE* file) {
    owned_.reset();
    path_.clear();
    file_ = file;
  }
  // Opens (emptying) the log file at `path`, owned and rotated at `limit` bytes.
  bool open(const std::string& path, long limit = kLogRotateBytes);
  void close() { set_file(nullptr); }
  FILE* file() const { return file_; }
  void write(TimeVal now, const std::string& text);
  // Text that goes into the log file as it is (a tag listing); nothing without a file.
  void write_unstamped(const std::string& text);
  // Rotates the owned file once it has reached its limit; called after every write to it.
  void rotate_if_full();

 private:
  TimeVal start_;
  FILE* out_;
  FILE* file_ = nullptr;
  ld::UniqueFile owned_;
  std::string path_;
  long limit_ = kLogRotateBytes;
  long size_ = 0;  // of the owned file, counted as written (no seek per record)
};
TimeVal time_now();

// The daemon's one clock: the date, the monotonic milliseconds and the pauses of ld::Clock, and
// the time of day to the microsecond that stamps the log, the tags and the label positions.
class DaemonClock : public ld::Clock {
 public:
  virtual TimeVal time_of_day() = 0;
};

// The real clock. With pause_cap_ms at 0 or above its pauses last at most that long: tests that
// start the daemon cut its fixed pauses short while the time and every reply deadline stay real.
class SystemDaemonClock : public DaemonClock {
 public:
  explicit SystemDaemonClock(long pause_cap_ms = -1) : cap_ms_(pause_cap_ms) {}
  time_t now() override { return ld::system_clock().now(); }
  int64_t monotonic_ms() override { return ld::system_clock().monotonic_ms(); }
  void sleep_ms(long ms) override { ld::system_clock().sleep_ms(cap_ms_ >= 0 && ms > cap_ms_ ? cap_ms_ : ms); }
  TimeVal time_of_day() override { return time_now(); }

 private:
  const long cap_ms_;  // set once: the shared real clock holds no state that changes
};
DaemonClock& system_daemon_clock();

}  // namespace rfid
