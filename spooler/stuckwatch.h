// The stuck-job watchdog's decision: a head job that the printer, online and not paused, has
// taken nothing of for a while is stuck. A plain function over what the send loop saw and the
// time, so that every case is a table row; the loop does the logging and the notice file.
#pragma once
#include <cstdint>

namespace ld {

// What the send loop knows at one moment.
struct StuckSample {
  int64_t now_ms = 0;        // a clock that only goes forward
  bool printer_online = false;
  bool paused = false;
  bool sending = false;      // a job is at the head and being sent
  int64_t bytes_sent = 0;    // of the head job so far
};

// What the watchdog remembers between samples.
struct StuckState {
  bool watching = false;     // a send was under way at the last sample
  int64_t bytes_sent = 0;    // at the last progress
  int64_t since_ms = 0;      // time of the last progress
  bool stuck = false;        // the notice is up
};

enum class StuckChange { kNone, kBecameStuck, kMovedAgain };

inline constexpr int64_t kStuckAfterMs = 60 * 1000;

// Moves the state on by one sample. A job counts as stuck only while the printer says it is
// online and the queue is not paused (an offline or paused printer explains itself); the notice
// goes as soon as the job moves again, or when nothing is being sent any more.
StuckChange stuck_step(StuckState* state, const StuckSample& s, int64_t limit_ms = kStuckAfterMs);

}  // namespace ld
