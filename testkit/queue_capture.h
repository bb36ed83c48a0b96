// A print queue config for tests: the appliance's queue files under the root prefix set when it
// is made, a clock of the test's choice, and the messages caught in two captured streams that
// the test reads back (take()) instead of taking over the descriptors 1 and 2.
#pragma once
#include "common/clock.h"
#include "spooler/queue_config.h"
#include "testkit/capture.h"

namespace testkit {

struct QueueCapture {
  explicit QueueCapture(ld::Clock* clock = &ld::system_clock()) {
    cfg.clock = clock;
    cfg.out = out.get();
    cfg.err = err.get();
  }
  QueueCapture(const QueueCapture&) = delete;
  QueueCapture& operator=(const QueueCapture&) = delete;

  CapturedFile out, err;
  spooler::Config cfg;
};

}  // namespace testkit
