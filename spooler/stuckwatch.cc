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

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "common/fsops.h"
#include "common/paths.h"
#include "common/ui_log.h"
#include "spooler/printer_send.h"
#include "spooler/printq.h"
#include "webkit/json.h"

namespace ld {
namespace {

std::string record_text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// Names and paths are stored one a line: a line end in a name would forge the next field.
std::string one_line(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

// The printer gate's answer without its messages: the watchdog asks once a second while a send
// waits, and the gate's lines would fill the sender's log.
bool printer_online_quietly(const spooler::Config& cfg) {
  const std::string& path = cfg.status_doc;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  const long long age =
      static_cast<long long>(cfg.clock->now()) - static_cast<long long>(st.st_mtime);
  if (age >= kStatusMaxAgeSeconds || age <= -kStatusMaxAgeSeconds) return false;
  JsonTree doc = JsonTree::load(path, nullptr);
  JsonNode* state = doc ? getJSONObject("system.SystemState", doc.top()) : nullptr;
  return state != nullptr && state->type != JSON_OBJECT && state->type != JSON_ARRAY && state->value == "Online";
}

}  // namespace

int64_t stuck_after_ms() {
  const char* text = std::getenv("LABELDOCK_STUCK_AFTER");
  if (text == nullptr || *text == '\0' || std::strlen(text) > 5) return kStuckAfterMs;
  for (const char* c = text; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return kStuckAfterMs;
  const int v = std::atoi(text);
  return v >= 1 && v <= 86400 ? static_cast<int64_t>(v) * 1000 : kStuckAfterMs;
}

std::string stuck_notice_path() { return rooted("/tmp/printq_stuck"); }

std::string format_stuck_notice(const StuckNotice& n) {
  return "since=" + std::to_string(n.since) + "\njob=" + one_line(n.job) + "\npath=" + one_line(n.path) + "\n";
}

std::optional<StuckNotice> parse_stuck_notice(std::string_view text) {
  StuckNotice n;
  bool have_since = false;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "job") n.job = value;
    else if (key == "path") n.path = value;
    else if (key == "since" && !value.empty() && value.size() < 19 &&
             value.find_first_not_of("0123456789") == std::string_view::npos) {
      n.since = std::strtoll(std::string(value).c_str(), nullptr, 10);
      have_since = true;
    }
  }
  if (!have_since || n.path.empty()) return std::nullopt;
  return n;
}

std::optional<StuckNotice> current_stuck_notice(const std::vector<spooler::queue_record>& queue) {
  std::string text;
  if (queue.empty() || queue[0].printing == 0 || !read_file(stuck_notice_path(), &text) || text.size() > 4096)
    return std::nullopt;
  std::optional<StuckNotice> n = parse_stuck_notice(text);
  if (!n || n->path != record_text(queue[0].path, sizeof queue[0].path)) return std::nullopt;
  return n;
}

std::string stuck_notice_words(const StuckNotice& n, int64_t now, std::string_view lead) {
  const int64_t s = now > n.since ? now - n.since : 0;
  std::string d = s >= 120 ? std::to_string(s / 60) + " min" : std::to_string(s) + " s";
  return std::string(lead) + ": " + n.job + " (" + d + ")";
}

StuckWatchdog::StuckWatchdog(Clock& clock, Probes probes, int64_t limit_ms)
    : clock_(clock), probes_(std::move(probes)), limit_ms_(limit_ms) {}

void StuckWatchdog::begin(const spooler::queue_record& head) {
  std::string key = record_text(head.path, sizeof head.path) + "#" + std::to_string(head.copies_sent);
  if (key != key_) {
    idle();
    // A notice left by a sender that died is no longer true: this one sends now (it holds the
    // job file's lock), and only it may put one up again.
    remove_file(stuck_notice_path());
    key_ = key;
    job_ = record_text(head.displayname, sizeof head.displayname);
    path_ = record_text(head.path, sizeof head.path);
    best_ = 0;
  }
  last_sample_ms_ = -1;
  sample(true, best_);
}

void StuckWatchdog::progress(int64_t taken) {
  if (key_.empty()) return;
  const int64_t now = clock_.monotonic_ms();
  if (taken <= best_ && last_sample_ms_ >= 0 && now - last_sample_ms_ < 1000) return;
  if (taken > best_) best_ = taken;
  sample(true, best_);
}

void StuckWatchdog::idle() {
  sample(false, 0);
  key_.clear();
}

void StuckWatchdog::sample(bool sending, int64_t taken) {
  StuckSample s;
  s.now_ms = clock_.monotonic_ms();
  last_sample_ms_ = s.now_ms;
  s.sending = sending;
  s.bytes_sent = taken;
  // The probes cost a file read each; while the job moves the answer does not matter.
  const bool moving = !state_.watching || taken != state_.bytes_sent;
  s.printer_online = sending && !moving && probes_.printer_online && probes_.printer_online();
  s.paused = sending && !moving && probes_.paused && probes_.paused();
  switch (stuck_step(&state_, s, limit_ms_)) {
    case StuckChange::kNone:
      return;
    case StuckChange::kBecameStuck: {
      const int64_t idle_s = (s.now_ms - state_.since_ms) / 1000;
      StuckNotice n{job_, path_, static_cast<int64_t>(clock_.now()) - idle_s};
      std::string err;
      if (!write_file_atomic(stuck_notice_path(), format_stuck_notice(n), &err))
        std::fprintf(probes_.err, "stuck job notice: %s\n", err.c_str());
      if (probes_.log)
        probes_.log("print job " + job_ + " is not moving: the printer says Online but has taken no data for " +
                    std::to_string(limit_ms_ / 1000) + " s");
      return;
    }
    case StuckChange::kMovedAgain:
      remove_file(stuck_notice_path());
      if (probes_.log)
        probes_.log("print job " + job_ + (!sending ? " is no longer being sent"
                                           : moving ? " is moving again"
                                                    : " waits for the printer or the paused queue"));
      return;
  }
}

StuckWatchdog::Probes real_stuck_probes(const spooler::Config& cfg) {
  StuckWatchdog::Probes p;
  p.printer_online = [&cfg] { return printer_online_quietly(cfg); };
  p.paused = [&cfg] { return spooler::check_pause(cfg) != 1; };
  p.log = [&cfg](std::string_view text) { ld::log_event(cfg.log, text); };
  p.err = cfg.err;
  return p;
}

}  // namespace ld
