#include "rfid/reader_module.h"

#include <cstdarg>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace rfid {
namespace {

void say_to(std::string* out, const char* fmt, va_list ap) {
  if (!out) return;
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  *out += buf;
}

void log_text(RfidEnv& env, const std::string& text) {
  if (env.log) env.log(text);
}

int64_t now_ms(RfidEnv& env) { return env.clock ? env.clock->monotonic_ms() : 0; }

// Reads and drops what waits on the port; the number of bytes.
size_t drain(int fd) {
  size_t n = 0;
  uint8_t scratch[256];
  for (int i = 0; i < 64 && fd >= 0; ++i) {  // bounded: a babbling line cannot hold the pass
    const ssize_t got = read(fd, scratch, sizeof scratch);
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  return n;
}

// The shortest reply: Adr reCmd Status and the CRC after Len.
constexpr uint8_t kMinReplyLen = 5;

}  // namespace

void say(RfidEnv& env, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  say_to(env.out, fmt, ap);
  va_end(ap);
}

void say_err(RfidEnv& env, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  say_to(env.err ? env.err : env.out, fmt, ap);
  va_end(ap);
}

void log_fmt(RfidEnv& env, const char* fmt, ...) {
  if (!env.log) return;
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  say_to(&text, fmt, ap);
  va_end(ap);
  env.log(text);
}


void _set_state(reader_module& m, int state) { m.module_state = state; }

const char* _mod_loc_txt(const reader_module& m) { return location_text(m.location); }

void send_frame(reader_module& m, RfidEnv& env, std::span<const uint8_t> frame) {
  const size_t n = std::min(frame.size(), kTxFrameMax);
  std::copy(frame.begin(), frame.begin() + static_cast<long>(n), m.tx_frame.begin());
  m.tx_len = static_cast<int>(n);
  m.last_command_failed = false;
  resend_frame(m, env);
}

void resend_frame(reader_module& m, RfidEnv& env) {
  // What is still on the line belongs to no command: it must not start the coming reply.
  drain(m.port_fd);
  m.rx_have = 0;
  posix_com_write_data(m.port_fd, m.tx(), env.timer);
  m.reply_due_ms = now_ms(env) + kReplyDeadlineMs;
}

ReplyRead get_response(reader_module& m, RfidEnv& env, std::string* why) {
  for (;;) {
    size_t expected = kReplyHeader;
    if (m.rx_have >= 1) {
      if (m.rx_frame[0] < kMinReplyLen) {
        *why = "garbage on the line (length byte " + std::to_string(m.rx_frame[0]) + ")";
        return ReplyRead::kBroken;
      }
      expected = m.ops.op_msg_len ? static_cast<size_t>(m.ops.op_msg_len({m.rx_frame.data(), m.rx_have}))
                                  : m.rx_frame[0] + 1u;
      expected = std::clamp<size_t>(expected, 1, kRxBufferMax);
    }
    if (m.rx_have >= expected) break;
    // Only the bytes of this reply are taken; anything after them is drained as stray.
    const ssize_t n = m.port_fd < 0 ? -1 : read(m.port_fd, m.rx_frame.data() + m.rx_have, expected - m.rx_have);
    if (n <= 0) return ReplyRead::kPending;
    m.rx_have += static_cast<size_t>(n);
  }
  m.rx_len = static_cast<int>(m.rx_have);
  m.rx_have = 0;
  if (m.ops.op_check_header && m.ops.op_check_header(m.rx())) {
    if (m.ops.op_show_error) m.ops.op_show_error(m.rx(), env);
  } else {
    say(env, "Invalid response header");
  }
  return ReplyRead::kWhole;
}

bool awaiting_reply(const reader_module& m) { return m.module_state != IDLE && m.module_state != SETTLING; }

void report_write_result(reader_module& m, RfidEnv& env, int state, int err) {
  const size_t epc_len = static_cast<size_t>(std::clamp(m.new_epc_len, 0, static_cast<int>(m.new_epc.size())));
  if (env.write_result) env.write_result(state, err, m.write_slot, std::span<const uint8_t>(m.new_epc.data(), epc_len));
}

void end_command(reader_module& m, RfidEnv& env, const std::string& why) {
  end_command(m, env, why, kSettleQuietMs);
}

void end_command(reader_module& m, RfidEnv& env, const std::string& why, int64_t quiet_ms) {
  const char* loc = _mod_loc_txt(m);
  const int state = m.module_state;
  log_fmt(env, "%s: ERROR %s (state %d); command ended\n", loc, why.c_str(), state);
  m.rx_have = 0;
  m.resend_after_settle = false;
  m.last_command_failed = true;
  if (state == WAITING_FOR_WRITE || state == WAITING_FOR_REWRITE) {
    report_write_result(m, env, kWriteNoReply, 0);
    log_fmt(env, "%s: WRITE FAIL : no reply %d\n", loc, env.failed_writes++);
    if (m.rewrite_count < m.max_resends) {
      m.rewrite_count++;
      m.resend_after_settle = true;
      log_fmt(env, "%s: rewriting %d\n", loc, m.rewrite_count);
    }
  }
  m.module_state = SETTLING;
  m.quiet_since_ms = m.settle_started_ms = now_ms(env);
  m.settle_quiet_ms = quiet_ms;
}

void tend_module(reader_module& m, RfidEnv& env) {
  const int64_t now = now_ms(env);
  if (awaiting_reply(m)) {
    if (now < m.reply_due_ms) return;
    end_command(m, env, m.rx_have > 0 ? "reply cut short after " + std::to_string(m.rx_have) + " bytes"
                                      : "no reply within " + std::to_string(kReplyDeadlineMs) + " ms",
                kSettleAfterSilenceMs);
    return;
  }
  const size_t stray = drain(m.port_fd);
  if (stray > 0) {
    m.quiet_since_ms = now;
    log_fmt(env, "%s: %d bytes nobody waited for dropped\n", _mod_loc_txt(m), static_cast<int>(stray));
  }
  if (m.module_state != SETTLING) return;
  if (now - m.quiet_since_ms < m.settle_quiet_ms && now - m.settle_started_ms < kSettleMaxMs) return;
  m.module_state = IDLE;
  if (m.resend_after_settle) {
    m.resend_after_settle = false;
    resend_frame(m, env);
    m.module_state = WAITING_FOR_REWRITE;
  }
}

int64_t module_due_in_ms(const reader_module& m, int64_t now) {
  if (awaiting_reply(m)) return std::max<int64_t>(0, m.reply_due_ms - now);
  if (m.module_state != SETTLING) return -1;
  const int64_t due = std::min(m.quiet_since_ms + m.settle_quiet_ms, m.settle_started_ms + kSettleMaxMs);
  return std::max<int64_t>(0, due - now);
}

int wait_for_response(std::span<reader_module* const> modules, RfidEnv& env) {
  say(env, "waiting for response from %d modules\n", static_cast<int>(modules.size()));
  int sum = 0;
  // Bounded by the reply deadline and the quiet time of each module; the pass limit guards a
  // clock that does not move.
  for (int pass = 0; pass < 1001; ++pass) {
    sum = 0;
    bool any = false;
    for (size_t i = 0; i < modules.size(); ++i) {
      reader_module& m = *modules[i];
      if (awaiting_reply(m) && posix_com_dataready(m.port_fd) && m.ops.op_process) {
        m.ops.op_process(m, env);
        say(env, "got response %d state %d\n", static_cast<int>(i), m.module_state);
        any = true;
      }
      tend_module(m, env);
      sum += m.module_state;
    }
    if (sum == 0) break;
    if (!any && env.clock) env.clock->sleep_ms(5);
  }
  return sum;
}

std::string show_message(std::span<const uint8_t> frame) { return format_frame(frame); }

void init_RU5102_fn_ptrs(reader_module& m) {
  m.module_state = IDLE;
  m.ops.op_read = RU5102_do_read;
  m.ops.op_write = RU5102_do_write;
  m.ops.op_random_write = RU5102_do_random_write;
  m.ops.op_process = RU5102_process_module;
  m.ops.op_check_header = ru5102::check_response_header;
  m.ops.op_msg_len = [](std::span<const uint8_t> r) { return ru5102::get_msg_len(r); };
  m.ops.reserved1 = nullptr;
  m.ops.op_beeper = RU5102_beeper_ctl;
  m.ops.op_show_error = [](std::span<const uint8_t>, RfidEnv&) {};
  m.max_resends = 1;
}

std::unique_ptr<reader_module> init_RU5102_module(const std::string& device, RfidEnv& env) {
  auto m = std::make_unique<reader_module>();
  m->device = device;
  init_RU5102_fn_ptrs(*m);
  std::string err;
  m->port_fd.reset(posix_com_open(device.c_str(), 57600, 'N', 8, 1, 0, env.out, &err));
  if (m->port_fd > 0) m->ops.op_beeper(*m, env, 0);
  return m;
}

void RU5102_do_read(reader_module& m, RfidEnv& env) {
  if (m.module_state != IDLE) {
    say(env, "invalid state for reading %d\n", m.module_state);
    return;
  }
  send_frame(m, env, ru5102::read_frame());
  _set_state(m, WAITING_FOR_READ);
}

void RU5102_do_write(reader_module& m, RfidEnv& env, std::span<const uint8_t> old_epc, int old_words,
                     std::span<const uint8_t> new_epc, int new_words) {
  std::vector<uint8_t> frame;
  std::string err;
  if (!ru5102::write_frame(old_epc, old_words, new_epc, new_words, &frame, &err)) {
    say(env, "ERROR %s\n", err.c_str());
    return;
  }
  Epc old{};
  std::copy_n(old_epc.begin(), std::min(old_epc.size(), kEpcLen), old.begin());
  m.rewrite_count = 0;
  send_frame(m, env, frame);  // before its log record: the label under the module is moving
  _set_state(m, WAITING_FOR_WRITE);
  log_text(env, "writing to tag <" + epc_hex_lower(old) + ">\n");
}

void RU5102_do_random_write(reader_module& m, RfidEnv& env, std::span<const uint8_t>, int,
                            std::span<const uint8_t> new_epc, int words) {
  std::vector<uint8_t> frame;
  std::string err;
  if (!ru5102::random_write_frame(new_epc, words, &frame, &err)) {
    say(env, "ERROR %s\n", err.c_str());
    return;
  }
  say(env, "%s", show_message(frame).c_str());
  send_frame(m, env, frame);
  _set_state(m, WAITING_FOR_WRITE);
}

void RU5102_beeper_ctl(reader_module& m, RfidEnv& env, int value) {
  const auto frame = ru5102::beeper_frame(value);
  say(env, "%s", show_message(frame).c_str());
  send_frame(m, env, frame);
  _set_state(m, WAITING_FOR_BEEPER);
}

namespace {

void handle_inventory(reader_module& m, RfidEnv& env, const Reply& whole) {
  // An over-long reply keeps the items that fit the reply record.
  Reply r = whole;
  if (m.rx_len > static_cast<int>(kRxFrameMax)) r.data = r.data.first(kRxFrameMax - 6);
  const ru5102::Inventory inv = ru5102::parse_inventory(r);
  if (env.refresh_tags) env.refresh_tags(m, env.tags);
  if (inv.kind == ru5102::Inventory::Tags) {
    if (inv.truncated) say(env, "ERROR inventory reply announces more tags than it holds\n");
    for (const auto& item : inv.items) {
      // The table takes an item from two bytes before the EPC up to three bytes after it; an
      // RU5102 item has one byte before and none after, so it is framed with zeros around.
      std::array<uint8_t, 2 + kEpcLen + 3> framed{};
      framed[1] = item[0];
      std::copy(item.begin() + 1, item.end(), framed.begin() + 2);
      m.total_reads++;  // RU5102 items count toward deciding the modules too
      m.tags.add_tag(framed, 0, env.tags);
    }
  } else if (inv.kind == ru5102::Inventory::NoTags) {
    log_text(env, "no tags\n");
  } else {
    say(env, "WAITING_FOR_READ: ERROR unexpected response %02x\n", r.recmd);
  }
  _set_state(m, IDLE);
}

void handle_write(reader_module& m, RfidEnv& env, const Reply& r) {
  const ru5102::WriteOutcome w = ru5102::decide_write(r, m.module_state, m.write_index, kTagTableSize);
  if (w.kind == ru5102::WriteOutcome::Unexpected) {
    say(env, "WAITING_FOR_WRITE got unexpected response %02x status %02x\n", r.recmd, r.status);
    return;
  }
  // The printer hears of every result, as from an RU5202.
  report_write_result(m, env, r.status, r.status != 0 && !r.data.empty() ? r.data[0] : 0);
  if (w.entry_status >= 0) m.tags.at(m.write_index).status = w.entry_status;
  if (w.kind == ru5102::WriteOutcome::Succeeded) {
    log_text(env, "WRITE SUCCESS " + std::to_string(env.writes++) + " state(" +
                      std::to_string(m.module_state) + ")\n");
    if (w.index_error) say(env, "ERROR wrtie_tag out of range %d\n", m.write_index);
    _set_state(m, IDLE);
    return;
  }
  log_text(env, "WRITE FAIL : " + std::to_string(env.failed_writes++) + "\n");
  if (w.kind == ru5102::WriteOutcome::Resend) {
    log_text(env, "rewriting\n");
    m.rewrite_count++;
    resend_frame(m, env);
  }
  _set_state(m, w.next_state);
}

}  // namespace

bool do_fix_tags(reader_module& m, RfidEnv& env) {
  Epc old_epc, new_epc;
  if (!m.tags.fix_step(&old_epc, &new_epc)) return false;
  say(env, "fixing tag");
  if (m.ops.op_write) m.ops.op_write(m, env, old_epc, 6, new_epc, 6);
  return true;
}

void print_module_info(reader_module& m, RfidEnv& env, const Reply& r) {
  const char* loc = _mod_loc_txt(m);
  if (r.data.size() < 8) {
    say(env, "%s: ERROR module information reply too short\n", loc);
    return;
  }
  const auto& d = r.data;
  say(env, "%s: Version %02x\n", loc, d[0]);
  say(env, "sub Version %02x\n", d[1]);
  say(env, "module type %02x\n", d[2]);
  say(env, "tr_type %02x\n", d[3]);
  say(env, "dmaxfreq %d\n", d[4]);
  say(env, "dminfreq %d\n", d[5]);
  say(env, "power %d\n", d[6]);
  say(env, "scan time %d\n", d[7]);
  m.power = d[6];
  if (d[2] == kModuleTypeRU5102) {
    say(env, "reassigning module to RU5102");
    init_RU5102_fn_ptrs(m);
  } else if (d[2] != kModuleTypeRU5202) {
    say(env, "UNKNOWN module type\n\n");
  }
}

bool complete_kept_reply(reader_module& m, RfidEnv& env, const Reply& r) {
  const char* loc = _mod_loc_txt(m);
  switch (m.module_state) {
    case WAITING_FOR_SET_POWER:
      break;
    case WAITING_FOR_SERIAL:
      // The serial number is at offsets 4 to 7, after the Status byte.
      if (r.data.size() >= 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x", r.data[0], r.data[1], r.data[2], r.data[3]);
        m.serial_text = buf;
        say(env, "%s: module serial no %s\n", loc, buf);
      }
      break;
    case WAITING_FOR_INFO:
      print_module_info(m, env, r);
      break;
    case WAITING_FOR_SET_GPIO:
      say_err(env, "%s: RU-5202 got WAITING_FOR_SET_GPIO response\n", loc);
      break;
    case WAITING_FOR_GET_GPIO:
      say_err(env, "%s: RU-5202 got WAITING_FOR_GET_GPIO response\n", loc);
      say_err(env, "%s: GPIO cmd %02x status %02x data %02x\n", loc, r.recmd, r.status,
              r.data.empty() ? 0 : r.data[0]);
      break;
    default:
      return false;
  }
  _set_state(m, IDLE);
  return true;
}

bool take_reply(reader_module& m, RfidEnv& env, Reply* r) {
  std::string why;
  const ReplyRead got = get_response(m, env, &why);
  if (got == ReplyRead::kPending) return false;
  // A reply that does not hold together (its CRC above all) ends the command: line noise must
  // not become a tag or a write result. The next cycle reads again.
  if (got == ReplyRead::kBroken || !parse_reply(m.rx(), r, &why)) {
    end_command(m, env, why);
    return false;
  }
  // Only an inventory may be longer than the reply buffer keeps (its excess tags are dropped).
  const bool read = m.module_state == WAITING_FOR_READ || m.module_state == WAITING_FOR_READ_VARIANT;
  if (!read && m.rx_len > static_cast<int>(kRxFrameMax)) {
    end_command(m, env, "reply of " + std::to_string(m.rx_len) + " bytes is longer than " +
                            std::to_string(kRxFrameMax));
    return false;
  }
  return true;
}

void RU5102_process_module(reader_module& m, RfidEnv& env) {
  const int state = m.module_state;
  const bool known = state == WAITING_FOR_READ || state == WAITING_FOR_READ_VARIANT ||
                     state == WAITING_FOR_WRITE || state == WAITING_FOR_REWRITE ||
                     state == WAITING_FOR_BEEPER || ru5102::completes_any_reply(state);
  if (!known) {
    std::string why;
    get_response(m, env, &why);
    say(env, "unexpected state  %d\n", state);
    return;
  }
  Reply r;
  if (!take_reply(m, env, &r)) return;
  if (state == WAITING_FOR_READ || state == WAITING_FOR_READ_VARIANT) {
    handle_inventory(m, env, r);
  } else if (state == WAITING_FOR_WRITE || state == WAITING_FOR_REWRITE) {
    handle_write(m, env, r);
  } else if (state == WAITING_FOR_BEEPER) {
    say(env, "got beeper ctl resonse%s", show_message(m.rx()).c_str());
    _set_state(m, IDLE);
  } else {
    complete_kept_reply(m, env, r);
  }
}

}  // namespace rfid
