// tagsmith's key commands: the one-letter commands that come from the terminal, or from the
// printer as "cmd=", and what they start (reads, clearing and listing the tag tables, dumps).
#include "rfid/tagsmith.h"

#include <cstdio>
#include <string>

namespace rfid {

void Tagsmith::start_read(reader_module* m) {
  if (m && m->ops.op_read) m->ops.op_read(*m, env_);
}

void Tagsmith::clear_all_tags() {
  for (reader_module* m : {reader_, writer_}) {
    if (!m) {
      say("ERROR in clear_tags\n");
      continue;
    }
    m->tags.clear();
    m->read_cycle = 0;
  }
  positions_.clear_positions();
  env_.writes = env_.failed_writes = printer_tags_ = 0;
  gconfig_.continuous_entry_read = gconfig_.continuous_exit_read = 0;
  gconfig_.entry_read_once = gconfig_.exit_read_once = 0;
}

void Tagsmith::init_entry_exit_read() {
  gconfig_.send_entry_tags = gconfig_.send_exit_tags = 1;
  say("entry_exit_read send tags %d,%d (%d,%d)\n", 1, 1, reader_ ? reader_->module_state : 0,
      writer_ ? writer_->module_state : 0);
  for (reader_module* m : {reader_, writer_}) {
    if (m && m->module_state == IDLE) start_read(m);
  }
}

void Tagsmith::new_tag_event(const Epc& epc) { web_request(tag_event_path(epc, 1, 1, 0, false)); }

void Tagsmith::show_listing() {
  const TimeVal now = cfg_.clock->time_of_day();
  if (reader_) out_ += show_tags(reader_->tags, reader_->location, now);
  if (writer_) {
    out_ += show_tags(writer_->tags, writer_->location, now);
    if (reader_) check_overlap(reader_->tags, writer_->tags, &out_);
  }
  if (rfidlog_.file() && reader_) rfidlog_.write_unstamped(show_tags(reader_->tags, reader_->location, now));
  say("successful writes %d\n", env_.writes);
  say("failed writes %d\n", env_.failed_writes);
}

void Tagsmith::set_loop_cmd(std::string_view text) {
  say("set cmd %.*s\n", static_cast<int>(text.size()), text.data());
  cmd_ = std::string(text.substr(0, 99));
  process_key(cmd_);
}

int Tagsmith::process_key(std::string_view text) {
  const char key = text.empty() ? '\0' : text[0];
  log("got key %c\n", key);
  fix_tags_ = false;
  reader_module* entry = reader_;
  reader_module* exit = writer_;
  auto verbose_read = [this](reader_module* m) {
    if (!m) return;
    const int was = m->verbose;
    m->verbose = 1;
    start_read(m);
    m->verbose = was;
  };
  switch (key) {
    case 'B': gconfig_.continuous_exit_read = 1; start_read(exit); [[fallthrough]];
    case 'R': gconfig_.continuous_entry_read = 1; start_read(entry); break;
    case 'C': clear_all_tags(); break;
    case 'G': if (entry && entry->ops.op_set_gpio) entry->ops.op_set_gpio(*entry, env_, 3); break;
    case 'Z': if (entry && entry->ops.op_set_gpio) entry->ops.op_set_gpio(*entry, env_, 0); break;
    case 'I': init_entry_exit_read(); break;
    case 'K': if (exit && exit->ops.op_read_and_write) exit->ops.op_read_and_write(*exit, env_); break;
    case 'M': gconfig_.send_entry_tags = gconfig_.send_exit_tags = 1; say("send tags %d %d\n", 1, 1); break;
    case 'm': gconfig_.send_entry_tags = gconfig_.send_exit_tags = 0; say("send tags %d %d\n", 0, 0); break;
    case 'P': case 'r': verbose_read(entry); break;
    case 'k': verbose_read(exit); break;
    case 'Y': if (entry && entry->ops.op_set_power) entry->ops.op_set_power(*entry, env_, entry->power + 1); break;
    case 'y':
      if (entry && entry->ops.op_set_power && entry->power > 1) entry->ops.op_set_power(*entry, env_, entry->power - 1);
      break;
    case 'a':
      if (entry && entry->tags.count() > 0) new_tag_event(entry->tags.at(entry->tags.count() - 1).epc);
      break;
    case 'd': case 'l':
      for (reader_module* m : {entry, exit}) {
        if (!m) continue;
        std::string err;
        const bool ok = key == 'd' ? dump_tags(m->tags, cfg_.dump_dir, m->location, &err)
                                   : load_tags(&m->tags, cfg_.dump_dir, m->location, &err);
        out_ += err;  // a failure, or the damaged records a load refused
        if (ok && key == 'l') {
          say("read %d tags\n", m->tags.count());
          out_ += show_tags(m->tags, m->location, cfg_.clock->time_of_day());
        }
      }
      break;
    case 'f': fix_tags_ = true; env_.failed_writes = 0; break;
    case 'g': if (entry && entry->ops.op_get_gpio) entry->ops.op_get_gpio(*entry, env_); break;
    case 'p':
      for (reader_module* m : {entry, exit}) {
        if (m && m->ops.op_get_power) m->ops.op_get_power(*m, env_);
      }
      break;
    case 'q':
      if (gconfig_.continuous_entry_read) say("stop entry read");
      if (gconfig_.continuous_exit_read) say("stop exit read");
      gconfig_.continuous_entry_read = gconfig_.continuous_exit_read = 0;
      break;
    case 's': show_listing(); break;
    default: break;
  }
  return 1;
}

}  // namespace rfid
