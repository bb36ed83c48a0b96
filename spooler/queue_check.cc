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

bool orphan_copy_age_reached(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  return static_cast<long long>(queue_clock().now()) - static_cast<long long>(st.st_mtime) >=
         kOrphanCopyAge;
}

void print_job_head(const queue_record& r) {
  std::printf("file: %s <%s>", r.path, r.displayname);
  std::printf("\t %d %s", r.printing, ctime_text(r.added_time).c_str());
}

}  // namespace

int dump_queue() {
  std::vector<queue_record> q = get_printq();
  std::printf("dump_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    print_job_head(r);
    std::printf("\t sp=%d q=%d f=%d t=%d cp=%d col=%d\n", r.spooled, r.quality, r.from, r.to,
                r.copies, r.collate);
    std::printf("\t t=%d: ", r.ntags);
    for (int i = 0; i < r.ntags; ++i)
      std::printf(" %x=%d ", static_cast<unsigned>(r.tags[i].id), r.tags[i].value);
    std::printf("\n");
  }
  std::fflush(stdout);
  return 1;
}

int check_queue() {
  QueueLock lock;
  if (!lock.held()) std::fprintf(stderr, "check_queue ERROR no queue lock, no file is removed\n");
  std::vector<queue_record> q = get_printq();
  std::printf("check_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    ld::UniqueFd fd(::open(r.path, O_RDONLY | O_CLOEXEC));
    std::printf("%s", fd.valid() ? "OK\t" : "ERROR\t");
    print_job_head(r);
  }
  std::printf("files:\n");
  std::vector<std::string> names;
  std::string dir = printq_dir();
  ld::list_names(dir, &names, [](std::string_view n) {
    return n.find(".prn") != std::string_view::npos || n.find(".spl") != std::string_view::npos;
  });
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string full = dir + name;
    bool named = names_path(q, full);
    // A copy is only an orphan once it is old enough not to be one that is being queued (its
    // record follows the copy) or filtered (its output grows) right now.
    if (name.find(".prn") == std::string::npos && (named || !orphan_copy_age_reached(full)))
      continue;
    std::printf("<%s> %s\n", full.c_str(), named ? "OK   " : "ERROR");
    if (named || !lock.held()) continue;
    std::printf("rm %s\n", ld::esc_sh(full).c_str());
    std::fflush(stdout);
    std::string err;
    if (!ld::remove_file(full, &err)) std::fprintf(stderr, "check_queue ERROR %s\n", err.c_str());
  }
  std::printf("%s\n", std::string(42, '_').c_str());
  std::fflush(stdout);
  return 1;
}

}  // namespace spooler
