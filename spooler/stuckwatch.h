// The stuck-job watchdog's decision: a head job that the printer, online and not paused, has
// taken nothing of for a while is stuck. A plain function over what the send loop saw and the
// time, so that every case is a table row; the loop does the logging and the notice file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "spooler/queue_config.h"

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

// kStuckAfterMs, unless LABELDOCK_STUCK_AFTER holds a whole number of seconds from 1 to 86400.
int64_t stuck_after_ms();

// While a job is stuck the send loop keeps a notice file ("/tmp/printq_stuck"), which the queue
// and status pages show: the job's display name and queue path, and since when (seconds since
// the epoch) the printer took nothing of it.
struct StuckNotice {
  std::string job;
  std::string path;
  int64_t since = 0;
};
std::string stuck_notice_path();
std::string format_stuck_notice(const StuckNotice& n);
std::optional<StuckNotice> parse_stuck_notice(std::string_view text);

}  // namespace ld

namespace spooler {
struct queue_record;
}  // namespace spooler
namespace ld {

// The notice, if there is one and it still speaks of the job being sent at the head of `queue`:
// a notice left behind by a sender that died, or about a job since deleted, is not shown.
std::optional<StuckNotice> current_stuck_notice(const std::vector<spooler::queue_record>& queue);

// The words of the notice on a page (not escaped): `lead` is the localised lead text.
std::string stuck_notice_words(const StuckNotice& n, int64_t now, std::string_view lead);
inline constexpr const char* kStuckLead = "Not moving: the printer says Online but takes no data";

// The watchdog of the send loop, across the sends of the queue's head jobs. A send reports the
// bytes the printer has taken so far, as often as it likes; the watchdog samples about once a
// second, asking the printer gate and the pause flag only while nothing moves. On a change it
// writes one event-log line and puts up or takes down the notice file.
class StuckWatchdog {
 public:
  struct Probes {
    std::function<bool()> printer_online;  // the status document fresh and "Online"
    std::function<bool()> paused;
    std::function<void(std::string_view)> log;  // an event-log line
    FILE* err = stderr;                         // a notice that cannot be written
  };
  StuckWatchdog(Clock& clock, Probes probes, int64_t limit_ms = stuck_after_ms());
  // A send of the head job begins. A send again of the same copy of the same job (after a send
  // was given up) goes on with the same watch: only bytes beyond what an earlier try got
  // through count as progress.
  void begin(const spooler::queue_record& head);
  void progress(int64_t taken);
  // Nothing is sent any more (the queue is empty or waits): any notice goes.
  void idle();

 private:
  void sample(bool sending, int64_t taken);
  Clock& clock_;
  Probes probes_;
  int64_t limit_ms_;
  StuckState state_;
  std::string key_, job_, path_;
  int64_t best_ = 0;
  int64_t last_sample_ms_ = -1;
};

// The probes of the real send loop: the printer gate without its messages, the pause flag and
// the log client, on the files that cfg names (which must outlive the probes).
StuckWatchdog::Probes real_stuck_probes(const spooler::Config& cfg);

}  // namespace ld
