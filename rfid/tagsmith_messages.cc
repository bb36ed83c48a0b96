// tagsmith's side of the printer's command connection: reading a message, answering it as the
// message table says (lists, power, status, writes, label positions) and acknowledging it.
#include "rfid/tagsmith.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace rfid {
namespace {

std::string hex_list(std::span<const uint8_t> bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

}  // namespace

int Tagsmith::check_printer(std::string* msg, MessageKind* kind) {
  if (port_.conn_fd() != port_.remembered) {
    say("check_printer %d->%d\n", port_.remembered, port_.conn_fd());
    port_.remembered = port_.conn_fd();
  }
  if (port_.conn_fd() < 0) {
    const int before = port_.conn_fd();
    std::string said;
    if (port_.connect_socket(&said, cfg_.clock->monotonic_ms()) == PrinterPort::kRefused) {
      log("%s", said.c_str());
    } else {
      out_ += said;
    }
    if (port_.conn_fd() != before) say("check_printer 2 %d->%d\n", before, port_.conn_fd());
  }
  const int64_t now = cfg_.clock->monotonic_ms();
  if (port_.conn_fd() > 0) {
    std::string said;
    if (port_.idle_gives_way(now, &said)) say("check_printer 3 %d\n", port_.conn_fd());
    if (!said.empty()) log("%s", said.c_str());
  }
  port_.flush_out(now, &out_);
  if (port_.conn_fd() <= 0) return 0;
  // The loop's poll has already waited for the connection; reading must not wait again.
  if (!port_.read_message(0, msg, &out_, now)) return 0;
  log("ip:got <%s>\n", msg->c_str());
  const PrinterMessage parsed = parse_message(*msg);
  if (kind) *kind = parsed.kind;
  const int r = handle_message(*msg, parsed);
  port_.flush_out(cfg_.clock->monotonic_ms(), &out_);
  if (r > 0) say("check_for_data returned %d\n", r);
  return r;
}

void Tagsmith::answer_list(MessageKind kind) {
  const TagTable* exit_table = writer_ ? &writer_->tags : nullptr;
  const TagTable* entry_table = reader_ ? &reader_->tags : nullptr;
  const int exit_n = exit_table ? exit_table->count() : 0;
  const int entry_n = entry_table ? entry_table->count() : 0;
  bool cut = false;
  std::string reply;
  if (kind == MessageKind::ExitRead) {
    say("exit_read %d\n", exit_n);
    reply = list_reply(exit_table, &cut);
    say("exit_read out1 %s\n", reply.c_str());
  } else if (kind == MessageKind::EntryRead) {
    say("entry_read %d\n", entry_n);
    reply = list_reply(entry_table, &cut);
    say("entry_read out1 %s\n", reply.c_str());
  } else {
    const int exit_loc = writer_ ? writer_->location : 2, entry_loc = reader_ ? reader_->location : 1;
    say("read_modules  %s=%d %s=%d\n", location_text(exit_loc), exit_n, location_text(entry_loc), entry_n);
    reply = both_lists_reply(exit_table, exit_loc, entry_table, entry_loc, &cut);
    say("read_modules out %s\n", reply.c_str());
  }
  if (cut) say_err("tag list cut to fit %d bytes\n", static_cast<int>(kListReplyBuffer));
  port_.send(reply, false);
}

void Tagsmith::answer_write(const std::string& msg) {
  WriteMessage w;
  if (!parse_write_message(msg, &w)) {
    say("invalid write cmd %s\n", msg.c_str());
    return;
  }
  say("write in=%s data=%s\n", w.old_hex.c_str(), w.new_hex.c_str());
  std::vector<uint8_t> old_epc, new_epc;
  for (auto [hex, bytes] : {std::pair{&w.old_hex, &old_epc}, std::pair{&w.new_hex, &new_epc}}) {
    if (hex->size() % 2 != 0) say("incorrect number of hex characters");
    hex2byte(*hex, bytes);
  }
  const reader_module* m = write_module();
  if (m && m->ops.op_write && !write_fits(*m, old_epc, new_epc)) {
    say("invalid write cmd %s\n", msg.c_str());
    report_not_sent(w.index, new_epc);
    return;
  }
  say("write in=%d %s\n", static_cast<int>(old_epc.size()), hex_list(old_epc).c_str());
  say("write data=%d %s\n", static_cast<int>(new_epc.size()), hex_list(new_epc).c_str());
  say("writing tag at %d in printer table\n", w.index);
  write_tag_epc(old_epc, new_epc, w.index);
}

int Tagsmith::handle_message(const std::string& msg, const PrinterMessage& parsed) {
  const MessageKind kind = parsed.kind;
  bool ack = true;
  int result = 0;
  switch (kind) {
    case MessageKind::ExitRead: case MessageKind::EntryRead: case MessageKind::ReadModules:
      answer_list(kind);
      ack = false;
      break;
    case MessageKind::ExitPower: case MessageKind::EntryPower: {
      const bool exit = kind == MessageKind::ExitPower;
      ack = false;
      int level = 0;
      if (!parse_power(parsed.arg, &level)) {
        say("refused %s: %s\n", msg.c_str(), std::string(kPowerRefused).c_str());
        port_.send(kPowerRefused, false);
        break;
      }
      say(exit ? "setting writer power to %d\n" : "setting entry power to %d\n", level);
      port_.send(kOk, false);
      // Set when the module is idle, like a write, instead of holding the loop for it.
      request_power(exit ? 1 : 0, level);
      break;
    }
    case MessageKind::Status: case MessageKind::Setscan: {
      say("got command %s\n", msg.c_str());
      if (kind == MessageKind::Setscan) {
        gconfig_.send_entry_tags = gconfig_.send_exit_tags = 0;
        say("send tags %d %d\n", 0, 0);
        clear_all_tags();
        gconfig_.entry_read_once = gconfig_.exit_read_once = 1;
      }
      const std::string line = status_line(static_cast<int>(modules_.size()), !find_modules_,
                                           get_reader_power(), get_writer_power());
      if (kind == MessageKind::Status) log("%s\n", line.c_str());
      port_.send(line + std::string(kOk), false);
      ack = false;
      break;
    }
    case MessageKind::Retry:
      say("got command %s\n", msg.c_str());
      result = static_cast<int>(msg.size());
      break;
    case MessageKind::Command:
      say("got command %s\n", msg.c_str());
      set_loop_cmd(parsed.arg);
      break;
    case MessageKind::Write:
      answer_write(msg);
      break;
    case MessageKind::Tof:
      positions_.tof(leading_int(parsed.arg), cfg_.clock->time_of_day(), &out_);
      result = static_cast<int>(msg.size());
      break;
    case MessageKind::Other:
      result = static_cast<int>(msg.size());
      break;
  }
  if (ack) port_.send(kOk, true);
  flush();
  return result;
}

// The write frame carries the EPCs in whole words; an RU5202 writes a 6-word EPC addressed by a
// 6-word one whatever it is given, so anything else would make it write other bytes into the tag.
bool Tagsmith::write_fits(const reader_module& m, std::span<const uint8_t> old_epc,
                          std::span<const uint8_t> new_epc) const {
  if (m.ops.op_write == RU5202_do_write) return old_epc.size() == kEpcLen && new_epc.size() == kEpcLen;
  auto words = [](size_t n) { return n > 0 && n % 2 == 0 && n <= kWriteEpcMax; };
  return words(old_epc.size()) && words(new_epc.size());
}

}  // namespace rfid
