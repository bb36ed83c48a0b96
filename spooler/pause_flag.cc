#include "spooler/pause_flag.h"

#include <string>

#include "common/fsops.h"
#include "spooler/queue_config.h"
#include "spooler/queue_lock.h"

namespace spooler {

int check_pause(const Config& cfg) { return ld::file_exists(cfg.pause_flag) ? 0 : 1; }
int pause_printing(const Config& cfg) {
  std::string err;
  return take_lock(cfg, cfg.pause_flag, false, &err) == 1 ? 1 : 0;
}
int resume_printing(const Config& cfg) { return remove_lock(cfg.pause_flag); }

}  // namespace spooler
