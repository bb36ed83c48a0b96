#include "spooler/pause_flag.h"

#include <string>

#include "common/fsops.h"
#include "spooler/queue_config.h"
#include "spooler/queue_lock.h"

namespace spooler {

int check_pause() { return ld::file_exists(pause_printing_lock()) ? 0 : 1; }
int pause_printing() {
  std::string err;
  return take_lock(pause_printing_lock(), false, &err) == 1 ? 1 : 0;
}
int resume_printing() { return remove_lock(pause_printing_lock()); }

}  // namespace spooler
