// tagsmith's pending writes and power changes: what the printer asked of a module that was busy
// waits here, in order and for a bounded time, and is started once the module is idle.
#include "rfid/tagsmith.h"

#include <algorithm>
#include <string>

namespace rfid {
namespace {

Epc epc12(std::span<const uint8_t> bytes) {
  Epc e{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), kEpcLen), e.begin());
  return e;
}

}  // namespace

void Tagsmith::report_not_sent(int index, std::span<const uint8_t> new_epc) {
  env_.failed_writes++;
  const std::string path = write_result_path(kWriteNotSent, 0, index, new_epc);
  say("url:%s\n", path.c_str());
  web_request(path);
}

void Tagsmith::expire_pending_writes() {
  const int64_t now = cfg_.clock->monotonic_ms();
  while (!pending_writes_.empty()) {
    const PendingWrite& w = pending_writes_.front();
    const bool old_discovery = w.generation != generation_;
    if (!old_discovery && now - w.queued_ms <= kMaxWriteWaitMs) break;
    if (old_discovery) {
      log("write for index %d dropped: asked for before the modules were discovered again\n", w.index);
    } else {
      log("write for index %d dropped: waited %d ms\n", w.index, static_cast<int>(now - w.queued_ms));
    }
    report_not_sent(w.index, w.new_epc);
    pending_writes_.pop_front();
  }
}

void Tagsmith::request_power(int slot, int level) {
  reader_module* m = slot == 1 ? writer_ : reader_;
  if (!m || !m->ops.op_set_power) {
    say("no module for power %d\n", level);
    return;
  }
  power_[slot].level = level;  // a later request replaces one still waiting
  work_power_changes();
}

void Tagsmith::work_power_changes() {
  for (int slot = 0; slot < 2; ++slot) {
    reader_module* m = slot == 1 ? writer_ : reader_;
    PowerChange& p = power_[slot];
    if (!m || m->module_state != IDLE) continue;
    if (p.in_flight) {
      p.in_flight = false;
      if (m->last_command_failed) {
        // The module and the status must not disagree: the power stays what it was.
        m->power = p.old;
        log("%s: power not set; it stays %d\n", _mod_loc_txt(*m), m->power);
      } else {
        write_module_file();
      }
    }
    if (p.level >= 0 && (slot == 0 || pending_writes_.empty())) {
      p.old = m->power;
      if (m->ops.op_set_power(*m, env_, p.level)) p.in_flight = true;
      p.level = -1;
    }
  }
}

int Tagsmith::write_tag_epc(std::span<const uint8_t> old_epc, std::span<const uint8_t> new_epc, int index) {
  reader_module* m = write_module();
  if (!m || !m->ops.op_write) {
    say("error: no module for tag write");
    return 0;
  }
  // A module busy with an inventory (or an earlier write) would not send the frame, and the
  // printer, already acknowledged, would never hear of this write: it waits its turn instead.
  if (m->module_state != IDLE || !pending_writes_.empty()) {
    if (pending_writes_.size() >= kMaxPendingWrites) {
      say_err("write for index %d dropped: %d writes are waiting\n", index, static_cast<int>(pending_writes_.size()));
      return 0;
    }
    pending_writes_.push_back({{old_epc.begin(), old_epc.end()}, {new_epc.begin(), new_epc.end()}, index,
                               cfg_.clock->monotonic_ms(), generation_});
    say("%s module busy (state %d): write for index %d waits\n", _mod_loc_txt(*m), m->module_state, index);
    return 1;
  }
  start_write(m, old_epc, new_epc, index);
  return 1;
}

void Tagsmith::start_write(reader_module* m, std::span<const uint8_t> old_epc, std::span<const uint8_t> new_epc,
                           int index) {
  m->write_index = -1;
  m->write_slot = index;
  const size_t n = std::min(new_epc.size(), m->new_epc.size());
  std::copy_n(new_epc.begin(), n, m->new_epc.begin());
  m->new_epc_len = static_cast<int>(n);
  say("attempting to write epc len = %d, data len %d index %d\n", static_cast<int>(old_epc.size()),
      static_cast<int>(new_epc.size()), index);
  say("old <%s>  new <%s>\n", epc_hex_lower(epc12(old_epc)).c_str(), epc_hex_lower(epc12(new_epc)).c_str());
  m->ops.op_write(*m, env_, old_epc, static_cast<int>(old_epc.size() / 2), new_epc.first(n),
                  static_cast<int>(n / 2));
}

void Tagsmith::send_pending_write() {
  expire_pending_writes();
  reader_module* m = write_module();
  if (!m || !m->ops.op_write || pending_writes_.empty() || m->module_state != IDLE) return;
  const PendingWrite w = std::move(pending_writes_.front());
  pending_writes_.pop_front();
  start_write(m, w.old_epc, w.new_epc, w.index);
}

}  // namespace rfid
