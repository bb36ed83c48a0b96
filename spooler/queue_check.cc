#include "spooler/queue_check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/listing.h"
#include "spooler/queue_file.h"

namespace spooler {

namespace {

bool orphan_copy_age_reached(const Config& cfg, const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  return static_cast<long long>(cfg.clock->now()) - static_cast<long long>(st.st_mtime) >=
         kOrphanCopyAge;
}

void print_job_head(const Config& cfg, const queue_record& r) {
  std::fprintf(cfg.out, "file: %s <%s>", r.path, r.displayname);
  std::fprintf(cfg.out, "\t %d %s", r.printing, ctime_text(r.added_time).c_str());
}

}  // namespace

int dump_queue(const Config& cfg) {
  std::vector<queue_record> q = get_printq(cfg);
  std::fprintf(cfg.out, "dump_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    print_job_head(cfg, r);
    std::fprintf(cfg.out, "\t sp=%d q=%d f=%d t=%d cp=%d col=%d\n", r.spooled, r.quality, r.from,
                 r.to, r.copies, r.collate);
    std::fprintf(cfg.out, "\t t=%d: ", r.ntags);
    for (int i = 0; i < r.ntags; ++i)
      std::fprintf(cfg.out, " %x=%d ", static_cast<unsigned>(r.tags[i].id), r.tags[i].value);
    std::fprintf(cfg.out, "\n");
  }
  std::fflush(cfg.out);
  return 1;
}

int check_queue(const Config& cfg) {
  QueueLock lock(cfg);
  if (!lock.held()) std::fprintf(cfg.err, "check_queue ERROR no queue lock, no file is removed\n");
  std::vector<queue_record> q = get_printq(cfg);
  std::fprintf(cfg.out, "check_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    ld::UniqueFd fd(::open(r.path, O_RDONLY | O_CLOEXEC));
    std::fprintf(cfg.out, "%s", fd.valid() ? "OK\t" : "ERROR\t");
    print_job_head(cfg, r);
  }
  std::fprintf(cfg.out, "files:\n");
  std::vector<std::string> names;
  std::string dir = cfg.dir;
  ld::list_names(dir, &names, [](std::string_view n) {
    return n.find(".prn") != std::string_view::npos || n.find(".spl") != std::string_view::npos;
  });
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string full = dir + name;
    bool named = names_path(q, full);
    // A copy is only an orphan once it is old enough not to be one that is being queued (its
    // record follows the copy) or filtered (its output grows) right now.
    if (name.find(".prn") == std::string::npos && (named || !orphan_copy_age_reached(cfg, full)))
      continue;
    std::fprintf(cfg.out, "<%s> %s\n", full.c_str(), named ? "OK   " : "ERROR");
    if (named || !lock.held()) continue;
    std::fprintf(cfg.out, "rm %s\n", ld::esc_sh(full).c_str());
    std::fflush(cfg.out);
    std::string err;
    if (!ld::remove_file(full, &err)) std::fprintf(cfg.err, "check_queue ERROR %s\n", err.c_str());
  }
  std::fprintf(cfg.out, "%s\n", std::string(42, '_').c_str());
  std::fflush(cfg.out);
  return 1;
}

}  // namespace spooler
