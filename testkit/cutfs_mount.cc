#include "testkit/cutfs_mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/fsops.h"

namespace testkit {
namespace {

bool mounted(const std::string& mountpoint) {
  struct stat sb;
  return ::stat((mountpoint + "/.cutfs").c_str(), &sb) == 0;
}

}  // namespace

CutMount::CutMount(const std::string& backing, const std::string& mountpoint, const std::string& manifest)
    : mountpoint_(mountpoint) {
  std::vector<std::string> argv = {bin("cutfs")};
  if (!manifest.empty()) argv.insert(argv.end(), {"--manifest", manifest});
  argv.insert(argv.end(), {backing, mountpoint});
  proc_ = std::make_unique<Process>(argv);
  ok_ = wait_until([&] { return mounted(mountpoint_) || !proc_->running(); }, 10000) && mounted(mountpoint_);
  if (!ok_) {
    why_ = "cutfs did not mount " + mountpoint + ": " + proc_->err();
    proc_.reset();
  }
}

CutMount::~CutMount() {
  if (!proc_ || !proc_->running()) return;
  proc_->kill(15);  // a clean shutdown: cutfs writes everything back and unmounts
  if (proc_->wait(20000) == -1) ::umount2(mountpoint_.c_str(), MNT_DETACH);
}

namespace {

bool send_command(const std::string& mountpoint, const char* command) {
  int fd = ::open((mountpoint + "/.cutfs").c_str(), O_WRONLY);
  if (fd < 0) return false;
  const size_t n = std::strlen(command);
  bool sent = ::write(fd, command, n) == static_cast<ssize_t>(n);
  ::close(fd);
  return sent;
}

}  // namespace

bool CutMount::cut() { return proc_ && send_command(mountpoint_, "cut\n") && proc_->wait(20000) != -1; }

bool CutMount::sync() { return proc_ && send_command(mountpoint_, "sync\n"); }

bool cutfs_usable(std::string* why) {
  int fd = ::open("/dev/fuse", O_RDWR);
  if (fd < 0) {
    *why = "no usable /dev/fuse here";
    return false;
  }
  ::close(fd);
  if (!ld::file_exists(bin("cutfs"))) {
    *why = "cutfs was not built (no libfuse3)";
    return false;
  }
  return true;
}

}  // namespace testkit
