#include "testkit/usbstandins.h"

#include <dirent.h>

#include "common/fsops.h"
#include "common/paths.h"
#include "common/run.h"

namespace testkit {
namespace {

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Copies the regular files of `from` named "*<ext>" into `to`.
bool copy_matching(const std::string& from, const std::string& ext, const std::string& to, std::string* err) {
  DIR* d = ::opendir(from.c_str());
  if (!d) return true;  // a set without thumbnails: nothing to copy
  bool ok = ld::make_dirs(to, err);
  while (struct dirent* e = ok ? ::readdir(d) : nullptr) {
    std::string n = e->d_name;
    if (n[0] == '.' || !ends_with(n, ext) || ld::is_directory(from + "/" + n)) continue;
    ok = ld::copy_file(from + "/" + n, to + "/" + n, err);
  }
  ::closedir(d);
  return ok;
}

}  // namespace

bool run_pending_usb_script(int* status, std::string* out, std::string* err) {
  std::string pending = ld::rooted("/tmp/do_usb.sh"), active = ld::rooted("/tmp/active_usb.sh");
  if (!ld::file_exists(pending)) return false;
  if (!ld::move_file(pending, active, err)) return false;
  ld::RunOptions opt;
  opt.timeout_ms = 300000;
  if (out) {
    opt.discard_output = false;
    opt.capture = out;
  }
  *status = ld::run_program({"/bin/sh", active}, opt, err);
  return true;
}

int upload_job_set(const std::string& set_dir, const std::string& uploadcheck, std::string* err) {
  std::string up = ld::rooted("/print/tmp");
  if (!ld::is_directory(set_dir)) {
    *err = "no job set at " + set_dir;
    return -1;
  }
  if (!copy_matching(set_dir, ".prn", up, err) || !copy_matching(set_dir + "/thumbs", ".jpeg", up + "/thumbs", err))
    return -1;
  ld::RunOptions opt;
  opt.discard_output = false;
  opt.timeout_ms = 300000;
  return ld::run_program({uploadcheck}, opt, err);
}

}  // namespace testkit
