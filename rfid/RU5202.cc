#include "rfid/RU5202.h"

#include "rfid/RU5102.h"

#include <algorithm>
#include <cstdio>

namespace rfid {
namespace ru5202 {

std::vector<uint8_t> read_frame() {
  static constexpr uint8_t kParams[] = {0x04, 0x00, 0x00, 0x80, 0x0A};
  std::vector<uint8_t> frame;
  build_frame(kCmdInventory, kParams, &frame, nullptr);
  return frame;
}

bool write_frame(std::span<const uint8_t> old_epc, int old_words, std::span<const uint8_t> new_epc,
                 int new_words, std::vector<uint8_t>* frame, std::string* err) {
  if (!epc_words_ok(old_epc, old_words, "old EPC", err) ||
      !epc_words_ok(new_epc, new_words, "new EPC", err)) {
    return false;
  }
  std::vector<uint8_t> data{0x07, 0x06};  // the PC word and six EPC words, from the old 6-word EPC
  data.insert(data.end(), old_epc.begin(), old_epc.begin() + old_words * 2);
  data.push_back(0x01);  // EPC bank
  data.push_back(0x01);  // from word 1: the PC word first
  data.push_back(0x30);  // PC 0x3000: a 96-bit EPC
  data.push_back(0x00);
  data.insert(data.end(), new_epc.begin(), new_epc.begin() + new_words * 2);
  data.insert(data.end(), 4, 0x00);  // no access password: unprotected tags
  return build_frame(kCmdWriteData, data, frame, err);
}

std::vector<uint8_t> command_frame(uint8_t cmd) {
  std::vector<uint8_t> frame;
  build_frame(cmd, {}, &frame, nullptr);
  return frame;
}

std::vector<uint8_t> command_frame(uint8_t cmd, int value) {
  const uint8_t b = static_cast<uint8_t>(value & 0xFF);
  std::vector<uint8_t> frame;
  build_frame(cmd, std::span<const uint8_t>(&b, 1), &frame, nullptr);
  return frame;
}

bool check_response_header(std::span<const uint8_t> reply) { return !reply.empty() && reply[0] != 0; }

int get_msg_len(std::span<const uint8_t> reply) { return reply.empty() ? 0 : reply[0] + 1; }

Inventory parse_inventory(std::span<const uint8_t> frame, const Reply& reply) {
  Inventory inv;
  if (reply.recmd != kCmdInventory) return inv;
  if (reply.status > 0x04) {
    inv.kind = reply.status <= 0xFB ? Inventory::NoTags : Inventory::Unexpected;
    return inv;
  }
  inv.kind = Inventory::Tags;
  if (reply.data.size() < 2) return inv;  // no antenna and count bytes: nothing to take
  inv.num = reply.data[1];
  // Items start at frame offset 6; each is viewed from the byte before it and reaches two bytes
  // past its RSSI, which for the last item are the CRC: still inside the frame.
  for (int i = 0; i < inv.num; ++i) {
    const size_t at = 5 + kItemBytes * static_cast<size_t>(i);
    if (at + kTableItemBytes > frame.size()) {
      inv.truncated = true;
      break;
    }
    inv.items.push_back(frame.subspan(at, kTableItemBytes));
  }
  return inv;
}

WriteOutcome decide_write(const Reply& reply, int state, int rewrite_count, int write_index,
                          int table_size) {
  WriteOutcome out;
  out.next_state = state;
  out.rewrite = state == WAITING_FOR_REWRITE;
  if (reply.recmd != kCmdWriteData && reply.recmd != kCmdWriteEpc) return out;
  const bool in_table = write_index >= 0 && write_index < table_size;
  out.index_error = !in_table && write_index != -1;
  if (reply.status == 0) {
    out.kind = WriteOutcome::Succeeded;
    out.next_state = IDLE;
    if (in_table) out.entry_status = out.rewrite ? ST_RW_OK : ST_OK;
    return out;
  }
  out.error_code = reply.data.empty() ? 0 : reply.data[0];
  if (in_table) out.entry_status = out.rewrite ? ST_RW_FAIL : ST_FAIL;
  out.kind = rewrite_count < kMaxResends ? WriteOutcome::Resend : WriteOutcome::Failed;
  out.next_state = out.kind == WriteOutcome::Resend ? WAITING_FOR_REWRITE : IDLE;
  return out;
}

bool serial_text(const Reply& r, std::string* text) {
  if (r.data.size() < 4) return false;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x", r.data[0], r.data[1], r.data[2], r.data[3]);
  *text = buf;
  return true;
}

}  // namespace ru5202

namespace {

std::string epc_hex(std::span<const uint8_t> epc) {
  Epc e{};
  std::copy_n(epc.begin(), std::min(epc.size(), kEpcLen), e.begin());
  return epc_hex_lower(e);
}

// Sends a command only to an idle module; a busy one keeps its state and nothing goes out.
int send_when_idle(reader_module& m, RfidEnv& env, const char* what, std::span<const uint8_t> frame,
                   int state) {
  if (m.module_state != IDLE) {
    say(env, "%s: %s module not at idle\n", _mod_loc_txt(m), what);
    return 0;
  }
  send_frame(m, env, frame);
  _set_state(m, state);
  return 1;
}

void handle_inventory(reader_module& m, RfidEnv& env, const Reply& r) {
  const char* loc = _mod_loc_txt(m);
  _set_state(m, IDLE);
  m.read_cycle++;
  // An over-long reply (more than 14 tags) keeps the items that fit the reply record.
  const ru5202::Inventory inv =
      ru5202::parse_inventory(m.rx().first(std::min(m.rx().size(), kRxFrameMax)), r);
  if (inv.kind == ru5202::Inventory::NoTags) {
    log_fmt(env, "%s: no tags\n", loc);
    return;
  }
  if (inv.kind == ru5202::Inventory::Unexpected) {
    say(env, "%s: WAITING_FOR_READ: ERROR unexpected response %02x\n", loc, r.recmd);
    return;
  }
  if (m.verbose > 0) log_fmt(env, "%s read %d tags status %d\n", loc, inv.num, r.status);
  if (inv.truncated && m.rx_len > static_cast<int>(kRxFrameMax)) {
    log_fmt(env, "%s: ERROR inventory reply of %d bytes: %d of %d tags kept\n", loc, m.rx_len,
            static_cast<int>(inv.items.size()), inv.num);
  } else if (inv.truncated) {
    say(env, "%s: ERROR inventory reply announces more tags than it holds\n", loc);
  }
  if (env.refresh_tags) env.refresh_tags(m, env.tags);
  for (const auto& item : inv.items) {
    m.total_reads++;
    m.tags.add_tag(item, m.read_cycle, env.tags);
    if (m.verbose > 0) {
      const std::string hex = epc_hex(item.subspan(2, kEpcLen));
      say(env, "%s- %d\n", hex.c_str(), item[14]);
      log_fmt(env, "<%s>\n", hex.c_str());
    }
  }
  if (inv.num != 0) m.tags.check_tags(m.read_cycle, env.tags);
}

void handle_write(reader_module& m, RfidEnv& env, const Reply& r) {
  const char* loc = _mod_loc_txt(m);
  const ru5202::WriteOutcome w =
      ru5202::decide_write(r, m.module_state, m.rewrite_count, m.write_index, kTagTableSize);
  if (w.kind == ru5202::WriteOutcome::Unexpected) {
    say(env, "%s: WAITING_FOR_WRITE got unexpected response %02x status %02x\n", loc, r.recmd,
        r.status);
    return;
  }
  report_write_result(m, env, r.status, w.error_code);
  if (w.entry_status >= 0) m.tags.at(m.write_index).status = w.entry_status;
  if (w.kind == ru5202::WriteOutcome::Succeeded) {
    log_fmt(env, "%s: WRITE SUCCESS %d state(%d)\n", loc, env.writes++, m.module_state);
    if (w.index_error) say(env, "%s: ERROR write_tag out of range %d\n", loc, m.write_index);
    _set_state(m, IDLE);
    return;
  }
  log_fmt(env, "%s: WRITE FAIL : %02x %02x (%d) %d\n", loc, r.status, w.error_code, m.rx_len,
          env.failed_writes++);
  m.rewrite_count++;
  if (w.kind == ru5202::WriteOutcome::Resend) {
    log_fmt(env, "%s: rewriting %d\n", loc, m.rewrite_count);
    resend_frame(m, env);
  }
  _set_state(m, w.next_state);
}

}  // namespace

void init_RU5202_fn_ptrs(reader_module& m) {
  m.ops.op_read = RU5202_do_read;
  m.ops.op_write = RU5202_do_write;
  m.ops.op_random_write = RU5202_do_random_write;
  m.ops.op_process = RU5202_process_module;
  m.ops.op_check_header = ru5202::check_response_header;
  m.ops.op_msg_len = ru5202::get_msg_len;
  m.ops.reserved1 = nullptr;
  m.ops.op_beeper = RU5202_beeper_ctl;
  m.ops.op_get_power = get_power;
  m.ops.op_get_serial = RU5202_get_serial_no;
  m.ops.op_set_power = set_power;
  m.ops.op_get_gpio = get_gpio;
  m.ops.op_set_gpio = set_gpio;
  m.ops.op_show_error = [](std::span<const uint8_t>, RfidEnv&) {};
  m.ops.op_read_and_write = read_and_write;
}

std::unique_ptr<reader_module> init_RU5202_module(const std::string& device, RfidEnv& env) {
  auto m = std::make_unique<reader_module>();
  m->device = device;
  m->module_state = IDLE;
  m->location = 0;
  init_RU5202_fn_ptrs(*m);
  m->serial_text = "UNKNOWN";
  m->power = 0;
  std::string err;
  m->port_fd.reset(posix_com_open(device.c_str(), 57600, 'N', 8, 1, 0, env.out, &err));
  if (m->port_fd < 0 && !err.empty()) say_err(env, "%s\n", err.c_str());
  m->write_index = -1;
  m->max_resends = ru5202::kMaxResends;
  return m;
}

void RU5202_do_read(reader_module& m, RfidEnv& env) {
  if (m.module_state != IDLE) {
    say(env, "%s:invalid state for reading %d\n", _mod_loc_txt(m), m.module_state);
    return;
  }
  send_frame(m, env, ru5202::read_frame());
  _set_state(m, WAITING_FOR_READ);
}

void RU5202_do_write(reader_module& m, RfidEnv& env, std::span<const uint8_t> old_epc, int old_words,
                     std::span<const uint8_t> new_epc, int new_words) {
  const char* loc = _mod_loc_txt(m);
  std::vector<uint8_t> frame;
  std::string err;
  if (!ru5202::write_frame(old_epc, old_words, new_epc, new_words, &frame, &err)) {
    say(env, "%s: ERROR %s\n", loc, err.c_str());
    return;
  }
  say(env, "%s", show_message(frame).c_str());
  m.rewrite_count = 0;
  // The frame goes out before its log record is written: the label under the module is moving.
  if (m.module_state == IDLE || m.module_state == WAITING_FOR_REWRITE) {
    send_frame(m, env, frame);
    _set_state(m, WAITING_FOR_WRITE);
  }
  log_fmt(env, "%s: RU5202 writing to tag <%s>\n", loc, epc_hex(old_epc).c_str());
  log_fmt(env, "%s: RU5202 writing to tag out\n", loc);
}

void RU5202_do_random_write(reader_module& m, RfidEnv& env, std::span<const uint8_t>, int,
                            std::span<const uint8_t> new_epc, int words) {
  std::vector<uint8_t> frame;
  std::string err;
  if (!ru5102::random_write_frame(new_epc, words, &frame, &err)) {  // the same frame
    say(env, "%s: ERROR %s\n", _mod_loc_txt(m), err.c_str());
    return;
  }
  say(env, "%s", show_message(frame).c_str());
  send_frame(m, env, frame);
  _set_state(m, WAITING_FOR_WRITE);
}

int get_power(reader_module& m, RfidEnv& env) {
  const int sent = send_when_idle(m, env, "get_power", ru5202::command_frame(ru5202::kCmdInfo), WAITING_FOR_INFO);
  if (sent) log_fmt(env, "%s: RU5202: getting module details\n", _mod_loc_txt(m));
  return sent;
}

int set_power(reader_module& m, RfidEnv& env, int level) {
  const int sent = send_when_idle(m, env, "set_power", ru5202::command_frame(ru5202::kCmdSetPower, level),
                                  WAITING_FOR_SET_POWER);
  if (sent) {
    log_fmt(env, "%s: setting module power to %d\n", _mod_loc_txt(m), level);
    m.power = level;
  }
  return sent;
}

int RU5202_get_serial_no(reader_module& m, RfidEnv& env) {
  const int sent = send_when_idle(m, env, "get_serial_no", ru5202::command_frame(ru5202::kCmdSerial),
                                  WAITING_FOR_SERIAL);
  if (sent) log_fmt(env, "%s: RU5202: getting module serial number\n", _mod_loc_txt(m));
  return sent;
}

int get_gpio(reader_module& m, RfidEnv& env) {
  const int sent = send_when_idle(m, env, "get_gpio", ru5202::command_frame(ru5202::kCmdGetGpio),
                                  WAITING_FOR_GET_GPIO);
  if (sent) log_fmt(env, "%s: RU5202: getting module details\n", _mod_loc_txt(m));
  return sent;
}

int set_gpio(reader_module& m, RfidEnv& env, int value) {
  const int sent = send_when_idle(m, env, "set_gpio", ru5202::command_frame(ru5202::kCmdSetGpio, value),
                                  WAITING_FOR_SET_GPIO);
  if (sent) log_fmt(env, "%s: RU5202: getting module details\n", _mod_loc_txt(m));
  return sent;
}

void RU5202_beeper_ctl(reader_module& m, RfidEnv& env, int value) {
  send_frame(m, env, ru5202::command_frame(ru5202::kCmdBeeper, value));
  _set_state(m, WAITING_FOR_BEEPER);
}

int read_and_write(reader_module&, RfidEnv&) { return 1; }

// The same reply and messages whichever model's handler takes it.
void save_module_info(reader_module& m, RfidEnv& env, const Reply& r) { print_module_info(m, env, r); }

void RU5202_process_module(reader_module& m, RfidEnv& env) {
  const char* loc = _mod_loc_txt(m);
  const int state = m.module_state;
  switch (state) {
    case WAITING_FOR_READ: case WAITING_FOR_READ_VARIANT: case WAITING_FOR_WRITE:
    case WAITING_FOR_REWRITE: case WAITING_FOR_SET_POWER: case WAITING_FOR_BEEPER:
    case WAITING_FOR_SERIAL: case WAITING_FOR_INFO: case WAITING_FOR_SET_GPIO:
    case WAITING_FOR_GET_GPIO:
      break;
    default: {
      std::string why;
      get_response(m, env, &why);
      say(env, "%s: unexpected state  %d\n", loc, state);
      return;
    }
  }
  Reply r;
  if (!take_reply(m, env, &r)) return;
  if (state == WAITING_FOR_READ || state == WAITING_FOR_READ_VARIANT) {
    handle_inventory(m, env, r);
  } else if (state == WAITING_FOR_WRITE || state == WAITING_FOR_REWRITE) {
    handle_write(m, env, r);
  } else if (state == WAITING_FOR_SERIAL) {
    if (ru5202::serial_text(r, &m.serial_text)) say(env, "%s: module serial no %s\n", loc, m.serial_text.c_str());
    _set_state(m, IDLE);
  } else if (state == WAITING_FOR_INFO) {
    save_module_info(m, env, r);
    _set_state(m, IDLE);
  } else if (state == WAITING_FOR_SET_GPIO) {
    say_err(env, "%s: RU-5202 got WAITING_FOR_SET_GPIO response\n", loc);
    _set_state(m, IDLE);
  } else if (state == WAITING_FOR_GET_GPIO) {
    say_err(env, "%s: RU-5202 got WAITING_FOR_GET_GPIO response\n", loc);
    say_err(env, "%s: GPIO cmd %02x status %02x data %02x\n", loc, r.recmd, r.status,
            r.data.empty() ? 0 : r.data[0]);
    _set_state(m, IDLE);
  } else {
    if (state == WAITING_FOR_SET_POWER && r.status != 0) m.last_command_failed = true;
    _set_state(m, IDLE);  // set power, beeper
  }
}

}  // namespace rfid
