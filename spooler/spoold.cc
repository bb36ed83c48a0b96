#include "spooler/spoold.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/ui_log.h"
#include "spooler/jobhistory.h"
#include "spooler/print_settings.h"

namespace spooler {

namespace {

void remove_quietly(const Config& cfg, const std::string& path) {
  std::string err;
  if (printq_owns_file(cfg, path) && !ld::remove_file(path, &err))
    std::fprintf(cfg.err, "spoold: %s\n", err.c_str());
}

// Runs a merge of the queue store while another program holds the queue lock, up to
// kSpoolLockTries times; any other result ends the tries.
template <typename Step>
int with_lock_retries(const Config& cfg, Step step) {
  int r = kMergeBusy;
  for (int i = 0; i < kSpoolLockTries && r == kMergeBusy; ++i) {
    if (i > 0) std::fprintf(cfg.err, "spoold: the print queue is busy, trying again\n");
    r = step();
  }
  return r;
}

// Takes a job that no pass could ever filter out of the queue, so that it does not hold up the
// jobs behind it for ever. The stored job in the library is not touched; its queued copy goes,
// unless a job queued again under the same name meanwhile uses it.
void drop_job(const Config& cfg, const queue_record& r, const char* why) {
  std::string err;
  int res = with_lock_retries(cfg, [&] {
    return printq_remove_record(
        cfg, r,
        [&](bool file_free) {
          if (file_free) remove_quietly(cfg, r.path);
        },
        &err);
  });
  if (res == kMergeBusy || res == kMergeFailed) {
    std::fprintf(cfg.err, "spoold: %s %s, and the queue cannot be changed now%s%s\n", r.path, why,
                 err.empty() ? "" : ": ", err.c_str());
    return;
  }
  if (res == kMergeGone) return;  // deleted meanwhile
  std::fprintf(cfg.err, "spoold: %s %s, removed from the print queue\n", r.path, why);
  ld::record_queue_job_end(r, ld::JobEnd::kFailed, cfg.clock->now(), cfg.err);
  ld::log_event(cfg.log, std::string("print job ") + r.displayname +
                             " removed from the print queue: it " + why);
}

// The filter's messages, kept aside until it is known whom they concern.
class Captured {
 public:
  Captured() : f_(::open_memstream(&buf_, &len_)) {}
  ~Captured() {
    if (f_ != nullptr) std::fclose(f_);
    std::free(buf_);
  }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;
  FILE* stream(FILE* fallback) { return f_ != nullptr ? f_ : fallback; }
  std::string text() {
    if (f_ == nullptr) return "";
    std::fflush(f_);
    return std::string(buf_, len_);
  }

 private:
  char* buf_ = nullptr;
  size_t len_ = 0;
  FILE* f_;
};

// Runs the filter. On failure: a job at fault (missing, not a job stream, cut inside a chunk)
// fails on every pass, so it goes instead of holding up the jobs behind it (false, *hopeless);
// a failure of the output (a full disk, a folder not writable), which the message says, may
// pass, and the job waits (false).
bool run_filter(const Config& cfg, const queue_record& r, const prnfilt_args& a, queue_record* done,
                bool* hopeless) {
  Captured msg;
  const prnfilt_result res = prnfilt_run(a, &done->send_copies, msg.stream(cfg.err));
  if (res.fault == prnfilt_fault::kNone) {
    std::fputs(msg.text().c_str(), cfg.err);
    return true;
  }
  if (res.fault == prnfilt_fault::kJob) {
    std::fputs(msg.text().c_str(), cfg.err);
    drop_job(cfg, r, "cannot be filtered");
    *hopeless = true;
    return false;
  }
  std::fprintf(cfg.err, "spoold: cannot write %s%s%s; %s waits for the next pass\n",
               a.output.c_str(), res.error != 0 ? ": " : "",
               res.error != 0 ? std::strerror(res.error) : "", a.input.c_str());
  return false;
}

// Puts the filtered file in place for the job, if it is still queued. The ".prn" is renamed
// into place under the queue lock, between finding the record and writing it back, so no
// program sees the new path without its file or the file without its record. The ".spl" copy
// goes only once the queue names the ".prn": a failed write leaves the job as it was, ready for
// the next pass. False when the pass should end here.
bool put_in_place(const Config& cfg, const queue_record& r, const queue_record& done,
                  const prnfilt_args& a, const std::string& prn) {
  enum { kNotRun, kMoveFailed, kMoved } stage = kNotRun;
  std::string err;
  int res = with_lock_retries(cfg, [&] {
    return printq_update_record(
        cfg, r, done,
        [&] {
          std::fprintf(cfg.out, "/bin/mv %s.tmp %s\n", ld::esc_sh(a.input).c_str(),
                       ld::esc_sh(prn).c_str());
          std::fflush(cfg.out);
          std::string why;
          // The filter does not sync its output: the queue written back next names the ".prn",
          // so its bytes must be on the card before that, or a cut leaves a record of an empty job.
          ld::UniqueFd out(::open(a.output.c_str(), O_RDONLY | O_CLOEXEC));
          if (!out.valid() || ::fsync(out.get()) != 0) {
            std::fprintf(cfg.err, "spoold: cannot sync %s: %s\n", a.output.c_str(),
                         std::strerror(errno));
            stage = kMoveFailed;
            return false;
          }
          if (!ld::move_file(a.output, prn, &why)) {
            std::fprintf(cfg.err, "spoold: %s\n", why.c_str());
            stage = kMoveFailed;
            return false;
          }
          stage = kMoved;
          return true;
        },
        &err);
  });
  if (res == kMergeDone) {
    std::fprintf(cfg.out, "/bin/rm %s\n", ld::esc_sh(a.input).c_str());
    std::fflush(cfg.out);
    remove_quietly(cfg, a.input);
    return true;
  }
  remove_quietly(cfg, stage == kMoved ? prn : a.output);
  if (res == kMergeGone) {
    // Deleted while it was filtered: nothing comes back. Its copy goes too, unless the job
    // browser has queued a job under the same name meanwhile, whose copy it now is.
    std::fprintf(cfg.err, "spoold: %s left the queue while it was filtered\n", a.input.c_str());
    printq_remove_unnamed(cfg, a.input);
    return true;
  }
  std::fprintf(cfg.err, "spoold: the queue does not take %s now%s%s; it waits for the next pass\n",
               prn.c_str(), err.empty() ? "" : ": ", err.c_str());
  return false;
}

// Filters one job and puts its ".prn" in place. False when the pass should end here.
bool spool_one(const Config& cfg, const queue_record& r) {
  std::fprintf(cfg.out, "%s needs spooling\n", r.displayname);
  const prnfilt_args a = spool_args(r);
  std::fprintf(cfg.out, "from=%d to=%d copy=%d col=%d disp=%d qual=%d tags=%d\n", a.from, a.to,
               a.copies, a.collate, a.disp, a.quality, r.ntags);
  for (int i = 0; i < r.ntags; ++i)
    std::fprintf(cfg.out, "%d: %x=%d\n", i, static_cast<unsigned>(r.tags[i].id), r.tags[i].value);
  std::fprintf(cfg.out, "%s -> %s\n", a.input.c_str(), a.output.c_str());
  std::fflush(cfg.out);

  const std::string prn = spooled_path(a.input);
  if (prn == a.input) {
    drop_job(cfg, r, "is not a queued copy (it would be filtered onto itself)");
    return true;
  }
  // A leftover of an interrupted pass must not pass for this pass's output.
  remove_quietly(cfg, a.output);
  queue_record done = r;
  bool hopeless = false;
  if (!run_filter(cfg, r, a, &done, &hopeless)) return hopeless;
  if (!ld::file_exists(a.output)) {
    drop_job(cfg, r, "has none of the selected pages");
    return true;
  }
  done.spooled = 1;
  done.copies_sent = 0;
  done.copies = a.copies;  // the sender sends a one-set file as often as the filter was told
  set_record_text(done.path, prn);
  return put_in_place(cfg, r, done, a, prn);
}

}  // namespace

std::string spooled_path(std::string_view spl_path) {
  std::string p(spl_path);
  if (p.size() >= 3) p.replace(p.size() - 3, 3, "prn");
  return p;
}

prnfilt_args spool_args(const queue_record& r) {
  const std::string input = r.path;
  return filter_args(settings_of(r), input, input + ".tmp");
}

int spoold_pass(const Config& given) {
  ld::UiLog events(given.err);
  Config cfg = given;
  if (!cfg.log) cfg.log = events.sink();
  std::vector<queue_record> q;
  bool read = false;
  for (int i = 0; i < kSpoolLockTries && !read; ++i) {
    QueueLock lock(cfg);
    if (lock.held()) {
      q = get_printq(cfg);
      read = true;
    } else if (!lock.busy()) {
      std::fprintf(cfg.err, "spoold: %s, nothing spooled in this pass\n", lock.error().c_str());
      return 1;
    } else {
      std::fprintf(cfg.err, "spoold: the print queue is busy, trying again\n");
    }
  }
  if (!read) {
    std::fprintf(cfg.err, "spoold: no queue lock, nothing spooled in this pass\n");
    return 1;
  }
  for (const queue_record& r : q)
    if (r.spooled == 0 && !spool_one(cfg, r)) break;
  std::fflush(cfg.out);
  return 1;
}

}  // namespace spooler
