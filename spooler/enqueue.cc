#include "spooler/enqueue.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"

namespace spooler {

namespace {

constexpr char kLongestSuffix[] = "_99.spl";

// Reserves `path` by creating it empty; false when it exists. *err is set on other failures.
bool reserve(const std::string& path, std::string* err, bool* failed) {
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.valid()) return true;
  if (errno != EEXIST) {
    *err = "cannot create " + path + ": " + std::strerror(errno);
    *failed = true;
  }
  return false;
}

}  // namespace

std::string enqueue_base(const Config& cfg, std::string_view job_path) {
  std::string base = ld::base_name(job_path);
  if (base.size() >= 4 && base[base.size() - 4] == '.') base.resize(base.size() - 4);
  const size_t fixed = cfg.dir.size() + sizeof kLongestSuffix - 1;
  if (fixed >= kQueuePathRoom) return "";
  size_t room = kQueuePathRoom - fixed;
  if (base.size() > room) {
    // Never half a UTF-8 character: back off to the start of the one that does not fit.
    while (room > 0 && (static_cast<unsigned char>(base[room]) & 0xC0) == 0x80) --room;
    base.resize(room);
  }
  return base;
}

bool enqueue_job(const Config& cfg, const std::string& job, std::string_view displayname,
                 const queue_record& options, std::string* queued, std::string* err) {
  const std::string base = enqueue_base(cfg, job);
  if (base.empty()) {
    *err = "no queue name for " + job;
    return false;
  }
  if (!ld::make_dirs(cfg.dir, err)) return false;
  std::string spl;
  for (int n = 0; n < kEnqueueNames && spl.empty(); ++n) {
    const std::string stem = cfg.dir + base + "_" + std::to_string(n);
    bool failed = false;
    if (ld::file_exists(stem + ".prn") || !reserve(stem + ".spl", err, &failed)) {
      if (failed) return false;
      continue;
    }
    // A spooler may have renamed a ".prn" into place since the look above.
    if (ld::file_exists(stem + ".prn")) {
      ld::remove_file(stem + ".spl");
      continue;
    }
    spl = stem + ".spl";
  }
  if (spl.empty()) {
    *err = "all " + std::to_string(kEnqueueNames) + " queue names of " + base + " are taken";
    return false;
  }
  if (!ld::copy_file(job, spl, err)) {
    ld::remove_file(spl);
    return false;
  }
  if (add_to_queue(cfg, spl, displayname, options) != 1) {
    ld::remove_file(spl);
    *err = "the print queue does not take " + spl;
    return false;
  }
  *queued = spl;
  return true;
}

}  // namespace spooler
