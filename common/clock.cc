#include "common/clock.h"

#include <cerrno>
#include <time.h>

namespace ld {
namespace {

class SystemClock : public Clock {
 public:
  time_t now() override { return ::time(nullptr); }
  int64_t monotonic_ms() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
  void sleep_ms(long ms) override {
    struct timespec ts {static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace ld
