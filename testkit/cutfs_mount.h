// A running cutfs for tests: mounts a backing folder on a mount point, cuts the power on
// command and unmounts; the backing folder then holds what a rebooted board would find.
#pragma once
#include <memory>
#include <string>

#include "testkit/scenario.h"

namespace testkit {

class CutMount {
 public:
  // Starts build/bin/cutfs; ok() tells whether the mount came up (why() says why not).
  // `manifest`, when given, receives the live files ("<size> <path>" lines) at the cut.
  CutMount(const std::string& backing, const std::string& mountpoint, const std::string& manifest = "");
  ~CutMount();  // unmounts cleanly (everything written back) unless cut
  CutMount(const CutMount&) = delete;
  CutMount& operator=(const CutMount&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  // Cuts the power: only the durable state reaches the backing folder, and the mount goes.
  bool cut();
  // Makes everything durable, as a clean shutdown would, and stays mounted: the state a test
  // prepared through the mount becomes the card's starting state.
  bool sync();
  // What cutfs wrote to its standard error.
  std::string messages() const { return proc_ ? proc_->err() : ""; }

 private:
  std::string mountpoint_;
  std::unique_ptr<Process> proc_;
  bool ok_ = false;
  std::string why_;
};

// Whether this machine can mount cutfs at all; *why says why not.
bool cutfs_usable(std::string* why);

}  // namespace testkit
