#include "spooler/spoold.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/ui_log.h"
#include "spooler/jobstream.h"

namespace {

// True when the copy is a job stream whose chunks are all whole. A filter failure on such a
// copy lies with the output side (a full disk, a folder not writable) and may pass; a job cut
// inside a chunk fails on every pass and is dropped instead of holding up the jobs behind it.
bool looks_like_job(const std::string& path) { return zjs::stream_is_whole(path); }

void remove_quietly(const std::string& path) {
  std::string err;
  if (printq_owns_file(path) && !ld::remove_file(path, &err)) std::fprintf(stderr, "spoold: %s\n", err.c_str());
}

// Runs a merge of the queue store until it gets the queue lock (its result is not -1) or the
// tries are used up. `stop` ends the tries early when the failure was not the lock.
template <typename Step>
int with_lock_retries(Step step, const bool& stop) {
  int r = -1;
  for (int i = 0; i < kSpoolLockTries && r == -1 && !stop; ++i) {
    if (i > 0) std::fprintf(stderr, "spoold: the print queue is busy, trying again\n");
    r = step();
  }
  return r;
}

// Takes a job that no pass could ever filter out of the queue, so that it does not hold up the
// jobs behind it for ever. The stored job in the library is not touched; its queued copy goes.
void drop_job(const queue_record& r, const char* why) {
  const bool never = false;
  int res = with_lock_retries([&] { return printq_remove_path(r.path); }, never);
  if (res == -1) {
    std::fprintf(stderr, "spoold: %s %s, and the queue cannot be changed now\n", r.path, why);
    return;
  }
  remove_quietly(r.path);
  if (res == 0) return;  // deleted meanwhile
  std::fprintf(stderr, "spoold: %s %s, removed from the print queue\n", r.path, why);
  ui_log(std::string("print job ") + r.displayname + " removed from the print queue: it " + why);
}

// Filters one job and puts its ".prn" in place. False when the pass should end here.
bool spool_one(const queue_record& r) {
  std::printf("%s needs spooling\n", r.displayname);
  const prnfilt_args a = spool_args(r);
  std::printf("from=%d to=%d copy=%d col=%d disp=%d qual=%d tags=%d\n", a.from, a.to, a.copies, a.collate, a.disp,
              a.quality, r.ntags);
  for (int i = 0; i < r.ntags; ++i)
    std::printf("%d: %x=%d\n", i, static_cast<unsigned>(r.tags[i].id), r.tags[i].value);
  std::printf("%s -> %s\n", a.input.c_str(), a.output.c_str());
  std::fflush(stdout);

  const std::string prn = spooled_path(a.input);
  if (prn == a.input) {
    drop_job(r, "is not a queued copy (it would be filtered onto itself)");
    return true;
  }
  // A leftover of an interrupted pass must not pass for this pass's output.
  remove_quietly(a.output);
  queue_record done = r;
  if (prnfilt(a, &done.send_copies) < 0) {
    if (!looks_like_job(a.input)) {
      drop_job(r, "cannot be filtered");
      return true;
    }
    std::fprintf(stderr, "spoold: %s was not filtered, it waits for the next pass\n", a.input.c_str());
    return false;
  }
  if (!ld::file_exists(a.output)) {
    drop_job(r, "has none of the selected pages");
    return true;
  }

  done.spooled = 1;
  done.copies_sent = 0;
  set_record_text(done.path, prn);
  // The rename happens under the queue lock, between finding the record and writing it back,
  // so no program sees the new path without its file or the file without its record. The
  // ".spl" copy goes only once the queue names the ".prn": a failed write leaves the job as it
  // was, ready for the next pass.
  enum { kNotRun, kMoveFailed, kMoved } stage = kNotRun;
  bool stop = false;
  int res = with_lock_retries(
      [&] {
        return printq_update_record(r.path, done, [&] {
          std::printf("/bin/mv %s.tmp %s\n", ld::esc_sh(a.input).c_str(), ld::esc_sh(prn).c_str());
          std::fflush(stdout);
          std::string err;
          stop = true;
          if (!ld::move_file(a.output, prn, &err)) {
            std::fprintf(stderr, "spoold: %s\n", err.c_str());
            stage = kMoveFailed;
            return false;
          }
          stage = kMoved;
          return true;
        });
      },
      stop);
  if (res == 1) {
    std::printf("/bin/rm %s\n", ld::esc_sh(a.input).c_str());
    std::fflush(stdout);
    remove_quietly(a.input);
    return true;
  }
  remove_quietly(stage == kMoved ? prn : a.output);
  if (res == 0) {
    // Deleted while it was filtered: its copy goes too, nothing comes back.
    std::fprintf(stderr, "spoold: %s left the queue while it was filtered\n", a.input.c_str());
    remove_quietly(a.input);
    return true;
  }
  std::fprintf(stderr, "spoold: the queue does not take %s now, it waits for the next pass\n", prn.c_str());
  return false;
}

}  // namespace

std::string spooled_path(std::string_view spl_path) {
  std::string p(spl_path);
  if (p.size() >= 3) p.replace(p.size() - 3, 3, "prn");
  return p;
}

prnfilt_args spool_args(const queue_record& r) {
  prnfilt_args a;
  a.input = r.path;
  a.output = a.input + ".tmp";
  a.copies = r.copies;
  a.collate = r.collate;
  a.from = r.from;
  a.to = r.to;
  a.quality = r.quality;
  a.disp = r.disp;
  for (int i = 0; i < r.ntags; ++i)
    a.overrides.push_back({static_cast<uint32_t>(r.tags[i].id), r.tags[i].value});
  return a;
}

int spoold_pass() {
  std::vector<queue_record> q;
  bool read = false;
  for (int i = 0; i < kSpoolLockTries && !read; ++i) {
    if (get_qlock() != 1) {
      std::fprintf(stderr, "spoold: the print queue is busy, trying again\n");
      continue;
    }
    q = get_printq();
    remove_qlock();
    read = true;
  }
  if (!read) {
    std::fprintf(stderr, "spoold: no queue lock, nothing spooled in this pass\n");
    return 1;
  }
  for (const queue_record& r : q)
    if (r.spooled == 0 && !spool_one(r)) break;
  std::fflush(stdout);
  return 1;
}
