#include "spooler/stuckwatch.h"

namespace ld {

StuckChange stuck_step(StuckState* st, const StuckSample& s, int64_t limit_ms) {
  const bool was_stuck = st->stuck;
  if (!s.sending) {
    *st = StuckState{};
    return was_stuck ? StuckChange::kMovedAgain : StuckChange::kNone;
  }
  if (!st->watching || s.bytes_sent != st->bytes_sent) {
    // A new send, or progress: the clock starts again.
    st->watching = true;
    st->bytes_sent = s.bytes_sent;
    st->since_ms = s.now_ms;
    st->stuck = false;
    return was_stuck ? StuckChange::kMovedAgain : StuckChange::kNone;
  }
  if (!s.printer_online || s.paused) {
    // The wait is explained; it does not count against the job.
    st->since_ms = s.now_ms;
    st->stuck = false;
    return was_stuck ? StuckChange::kMovedAgain : StuckChange::kNone;
  }
  if (!was_stuck && s.now_ms - st->since_ms >= limit_ms) {
    st->stuck = true;
    return StuckChange::kBecameStuck;
  }
  return StuckChange::kNone;
}

}  // namespace ld
