// Time as the programs see it, behind a small interface so tests can run the retry loops and
// pauses of the appliance in no time, and set the date.
#pragma once
#include <cstdint>
#include <ctime>

namespace ld {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual time_t now() = 0;
  virtual void sleep_ms(long ms) = 0;
  // Milliseconds on a clock that only goes forward, for measuring how long something took or
  // waited: a change of the date must not make a client look idle or fresh. A clock that knows
  // only whole seconds measures in them.
  virtual int64_t monotonic_ms() { return static_cast<int64_t>(now()) * 1000; }
};

// The real clock: time(2), CLOCK_MONOTONIC, nanosleep(2).
Clock& system_clock();

// A clock that only moves when told to (or when slept on).
class FakeClock : public Clock {
 public:
  explicit FakeClock(time_t start = 1700000000) : now_(start) {}
  time_t now() override { return now_; }
  void sleep_ms(long ms) override {
    slept_ms_ += ms;
    now_ += ms / 1000;
    mono_ms_ += ms;
  }
  int64_t monotonic_ms() override { return mono_ms_; }
  void advance(time_t seconds) {
    now_ += seconds;
    mono_ms_ += static_cast<int64_t>(seconds) * 1000;
  }
  // Moves by a part of a second; the date moves once the parts add up to a whole second.
  void advance_ms(int64_t ms) {
    mono_ms_ += ms;
    part_ms_ += ms;
    now_ += static_cast<time_t>(part_ms_ / 1000);
    part_ms_ %= 1000;
  }
  // Sets the date only: the monotonic clock goes on as it was.
  void set(time_t t) { now_ = t; }
  long slept_ms() const { return slept_ms_; }

 private:
  time_t now_;
  int64_t mono_ms_ = 0;
  int64_t part_ms_ = 0;
  long slept_ms_ = 0;
};

}  // namespace ld
