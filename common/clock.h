// Time as the programs see it, behind a small interface so tests can run the retry loops and
// pauses of the appliance in no time, and set the date.
#pragma once
#include <ctime>

namespace ld {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual time_t now() = 0;
  virtual void sleep_ms(long ms) = 0;
};

// The real clock: time(2), nanosleep(2).
Clock& system_clock();

// A clock that only moves when told to (or when slept on).
class FakeClock : public Clock {
 public:
  explicit FakeClock(time_t start = 1700000000) : now_(start) {}
  time_t now() override { return now_; }
  void sleep_ms(long ms) override {
    slept_ms_ += ms;
    now_ += ms / 1000;
  }
  void advance(time_t seconds) { now_ += seconds; }
  void set(time_t t) { now_ = t; }
  long slept_ms() const { return slept_ms_; }

 private:
  time_t now_;
  long slept_ms_ = 0;
};

}  // namespace ld
