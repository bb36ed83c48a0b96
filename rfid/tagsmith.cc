// tagsmith's loop: the daemon's start and end, its output and status file, the web requests
// to the printer, and the main pass with the wait between passes. Discovery, the printer's
// messages, the key commands and the pending writes are in tagsmith_*.cc.
#include "rfid/tagsmith.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/paths.h"

namespace rfid {
namespace {

void vappend(std::string* out, const char* fmt, va_list ap) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  *out += buf;
}

}  // namespace

TagsmithConfig default_config() {
  TagsmithConfig c;
  c.devices_dir = ld::rooted("/sys/bus/usb-serial/devices");
  c.dev_dir = ld::rooted("/dev");
  c.modules_file = ld::rooted("/print/rfid_modules.txt");
  c.log_file = ld::rooted("/print/rfid.log");
  c.status_file = ld::rooted("/tmp/rfid_status");
  c.rfid_port = ld::rfid_port();
  c.printer_host = ld::printer_host();
  c.printer_web_port = ld::printer_web_port();
  return c;
}

Tagsmith::Tagsmith(TagsmithConfig cfg)
    : cfg_(std::move(cfg)),
      rfidlog_(cfg_.clock->time_of_day(), cfg_.out),
      timer_(*cfg_.clock),
      ews_(cfg_.printer_host, cfg_.printer_web_port, *cfg_.clock) {
  if (cfg_.keys) keyboard_ = std::make_unique<Keyboard>(cfg_.key_terminal);
  env_.clock = cfg_.clock;
  env_.keyboard = keyboard_.get();
  env_.timer = &timer_;
  env_.out = &out_;
  env_.err = &err_;
  env_.log = [this](const std::string& text) {
    flush();
    rfidlog_.write(cfg_.clock->time_of_day(), text);
  };
  env_.write_result = [this](int state, int err, int index, std::span<const uint8_t> epc) {
    const std::string path = write_result_path(state, err, index, epc);
    note_event(state == 0 ? "write-ok" : "write-failed", epc);
    say("url:%s\n", path.c_str());
    web_request(path);
  };
  env_.refresh_tags = [this](const reader_module& m, TagContext& ctx) { refresh_tags(m, ctx); };
  env_.tags.lost_tags = &lost_tags_;
  env_.tags.out = &out_;
  env_.tags.log = &tags_log_;
  env_.tags.report = [this](const TagReport& r) {
    note_event(r.st == 0 ? "exit" : "new", r.epc);
    web_request(tag_event_path(r.epc, r.st, r.nr, r.dt, r.entry));
  };
  if (cfg_.listen_fd >= 0) port_.adopt_listener(ld::UniqueFd(cfg_.listen_fd));
  port_.set_printer_host(cfg_.printer_host);
}

Tagsmith::~Tagsmith() { release_modules(); }

void Tagsmith::note_event(const char* kind, std::span<const uint8_t> epc) {
  std::string hex;
  char b[4];
  for (uint8_t x : epc) {
    std::snprintf(b, sizeof b, "%02X", x);
    hex += b;
  }
  last_event_ = std::to_string(static_cast<long long>(cfg_.clock->now())) + " " + kind + " " + hex;
}

// Written only when something changed (the updated= stamp aside), so the SD card's tmp sees a
// few writes a minute at most, and always whole (temp file and rename).
void Tagsmith::update_status() {
  if (cfg_.status_file.empty()) return;
  auto module = [](const reader_module* m) {
    if (!m) return std::string("none");
    const char* model = m->ops.op_process == RU5102_process_module ? "RU5102" : "RU5202";
    const std::string serial = m->serial_text == "UNKNOWN" || m->serial_text.empty() ? "-" : m->serial_text;
    return std::string(model) + " " + serial + " " + std::to_string(m->power);
  };
  std::string body = std::string("printer=") + (port_.conn_fd() >= 0 ? "connected" : "none") + "\n";
  body += "entry=" + module(find_modules_ ? nullptr : reader_) + "\n";
  body += "exit=" + module(find_modules_ ? nullptr : writer_) + "\n";
  if (!last_event_.empty()) body += "last_event=" + last_event_ + "\n";
  if (body == status_said_) return;
  // A folder that cannot take it is tried again at the next change, not at every pass.
  status_said_ = body;
  std::string err;
  ld::write_file_atomic(cfg_.status_file,
                        "updated=" + std::to_string(static_cast<long long>(cfg_.clock->now())) + "\n" + body, &err);
}

void Tagsmith::web_request(const std::string& path, EwsLink::Done done) {
  if (!done) {
    done = [this](bool ok, const std::string& why) {
      if (!ok) say_err("%s\n", why.c_str());
    };
  }
  if (!ews_.enqueue(path, std::move(done))) {
    log("web request queue full (%d waiting): %s dropped, %d dropped so far\n", static_cast<int>(ews_.queued()),
        path.c_str(), static_cast<int>(ews_.dropped()));
  }
}

void Tagsmith::say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vappend(&out_, fmt, ap);
  va_end(ap);
}

void Tagsmith::say_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vappend(&err_, fmt, ap);
  va_end(ap);
}

void Tagsmith::log(const char* fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  vappend(&text, fmt, ap);
  va_end(ap);
  env_.log(text);
}

void Tagsmith::flush() {
  if (!out_.empty()) std::fputs(out_.c_str(), cfg_.out);
  if (!err_.empty()) std::fputs(err_.c_str(), cfg_.err);
  out_.clear();
  err_.clear();
  if (!tags_log_.empty()) {
    const std::string text = std::move(tags_log_);
    tags_log_.clear();
    rfidlog_.write(cfg_.clock->time_of_day(), text);
  }
  std::fflush(cfg_.out);
  std::fflush(cfg_.err);
}

void Tagsmith::refresh_tags(const reader_module& m, TagContext& ctx) {
  ctx.location = m.location;
  ctx.fix_mode = fix_tags_;
  ctx.send_entry_tags = gconfig_.send_entry_tags != 0;
  ctx.send_exit_tags = gconfig_.send_exit_tags != 0;
  ctx.now = cfg_.clock->time_of_day();
  ctx.current_pos = positions_.get_last_pos();
  ctx.since_last_tof = positions_.get_time_since_last_tof(ctx.now);
}

// --- the main loop ---------------------------------------------------------------------------

// The probe runs in the loop like every web request; its failure closes the printer's command
// connection, as the printer has to connect again.
void Tagsmith::test_printer_connection() {
  probing_ = true;
  last_probe_ms_ = cfg_.clock->monotonic_ms();
  web_request(kStatusPath, [this](bool ok, const std::string& why) {
    probing_ = false;
    last_probe_ms_ = cfg_.clock->monotonic_ms();
    if (ok) {
      say("OK");
      return;
    }
    say_err("ERROR - cannot connect to printer\n");
    if (!why.empty()) say_err("%s\n", why.c_str());
    port_.close_connection(&out_);
  });
}

bool Tagsmith::main_pass() {
  // The probe is not repeated while one is under way, nor more than once a second (the pause
  // that followed it would hold the loop).
  if (cfg_.clock->now() - ews_.last_printer_activity() > 5 && !probing_ &&
      cfg_.clock->monotonic_ms() - last_probe_ms_ >= 1000) {
    say("no printer activity for >5 seconds");
    test_printer_connection();
  }
  ews_.step();
  if (env_.failed_writes > 100 && fix_tags_) {
    say("write failed");
    fix_tags_ = false;
  }
  if (fix_tags_ && reader_ && reader_->module_state == IDLE && !do_fix_tags(*reader_, env_)) start_read(reader_);
  passes_since_message_++;
  std::string msg;
  MessageKind kind = MessageKind::Other;
  if (check_printer(&msg, &kind) > 0) {
    log("PRINTER <%s> %d %d\n", msg.c_str(), printer_tags_++, passes_since_message_);
    if (kind == MessageKind::Retry) {
      find_modules_ = true;
      determine_modules();
    } else {
      if (cmd_.empty()) cmd_.resize(1);
      cmd_[0] = msg[0];
      passes_since_message_ = 0;
      process_key(msg);
    }
  }
  if (cmd0() == 'I') {
    for (reader_module* m : {reader_, writer_}) {
      if (m && m->module_state == IDLE) start_read(m);
    }
  }
  for (reader_module* m : {reader_, writer_}) {
    if (!m) continue;
    if (awaiting_reply(*m) && posix_com_dataready(m->port_fd) && m->ops.op_process) m->ops.op_process(*m, env_);
    tend_module(*m, env_);
  }
  send_pending_write();
  work_power_changes();
  struct { int* once; int* continuous; reader_module* m; } reads[] = {
      {&gconfig_.entry_read_once, &gconfig_.continuous_entry_read, reader_},
      {&gconfig_.exit_read_once, &gconfig_.continuous_exit_read, writer_}};
  for (auto& r : reads) {
    if (*r.once && r.m && r.m->module_state == IDLE) {
      *r.once = 0;
      start_read(r.m);
    }
  }
  for (auto& r : reads) {
    if (*r.continuous && r.m && r.m->module_state == IDLE) start_read(r.m);
  }
  ews_.step();
  if (keyboard_ && keyboard_->kbhit(&err_)) {
    char key = 0;
    keyboard_->getkey(&key);
    cmd_ = std::string(1, key);
    process_key(cmd_);
  }
  update_status();
  flush();
  return cmd0() != 'Q';
}

// The loop as written would spin without a pause while no printer is connected. One poll over
// every descriptor a pass looks at lets the pass run as soon as anything arrives, and costs
// nothing while nothing does.
void Tagsmith::wait_for_work() {
  std::vector<pollfd> fds;
  auto add = [&fds](int fd) {
    if (fd >= 0) fds.push_back(pollfd{fd, POLLIN, 0});
  };
  if (port_.conn_fd() < 0 || port_.idle_past(cfg_.clock->monotonic_ms())) add(port_.listen_fd());
  add(port_.conn_fd());
  if (port_.wants_write()) fds.push_back(pollfd{port_.conn_fd(), POLLOUT, 0});
  if (ews_.fd() >= 0 && ews_.events() != 0) fds.push_back(pollfd{ews_.fd(), ews_.events(), 0});
  for (reader_module* m : {reader_, writer_}) {
    if (m) add(m->port_fd);
  }
  if (keyboard_) add(keyboard_->fd());
  // Work the next pass would start at once needs no wait.
  const reader_module* w = write_module();
  if (!pending_writes_.empty() && w && w->module_state == IDLE) return;
  for (int slot = 0; slot < 2; ++slot) {
    const reader_module* pm = slot == 1 ? writer_ : reader_;
    if (pm && pm->module_state == IDLE && (power_[slot].level >= 0 || power_[slot].in_flight)) return;
  }
  const bool all = cmd0() == 'I';
  if (reader_ && reader_->module_state == IDLE &&
      (all || fix_tags_ || gconfig_.continuous_entry_read || gconfig_.entry_read_once)) {
    return;
  }
  if (writer_ && writer_->module_state == IDLE &&
      (all || gconfig_.continuous_exit_read || gconfig_.exit_read_once)) {
    return;
  }
  int64_t wait = cfg_.idle_wait_ms;
  if (!probing_) {
    const int64_t probe_in = std::max<int64_t>((ews_.last_printer_activity() + 6 - cfg_.clock->now()) * 1000,
                                               last_probe_ms_ + 1000 - cfg_.clock->monotonic_ms());
    wait = std::clamp<int64_t>(probe_in, 0, wait);
  }
  // A reply deadline, the end of a module's quiet time or of a web request wakes the loop too.
  const int64_t now = cfg_.clock->monotonic_ms();
  if (ews_.due_in_ms() >= 0) wait = std::min(wait, ews_.due_in_ms() + 1);
  for (reader_module* m : {reader_, writer_}) {
    const int64_t due = m ? module_due_in_ms(*m, now) : -1;
    if (due >= 0) wait = std::min(wait, due + 1);
  }
  if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) <= 0) return;
  // A module whose adapter is gone reports a hang-up for ever: every pass would read nothing
  // from it at full speed. Its port is closed; the module stays out until a new discovery.
  for (const pollfd& p : fds) {
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
    for (reader_module* m : {reader_, writer_}) {
      int pending = 0;
      if (!m || m->port_fd != p.fd || (::ioctl(p.fd, FIONREAD, &pending) == 0 && pending > 0)) continue;
      say_err("%s: port %s hung up; closed\n", _mod_loc_txt(*m), m->device.c_str());
      m->port_fd.reset();
    }
  }
  flush();
}

void Tagsmith::start() {
  console_ = posix_console_name();
  if (cfg_.keys) settings_ = posix_get_termsettings(console_.c_str());
  if (!rfidlog_.open(cfg_.log_file)) say("could not open log file <%s>\n", cfg_.log_file.c_str());
  find_modules_ = true;
  say("connecting to printer");
  if (port_.listen_fd() < 0) port_.connect_to_printer(cfg_.rfid_port, &out_);
  flush();
}

void Tagsmith::shutdown() {
  say("%s exitting\n", cfg_.program.c_str());
  port_.close_printer(&out_);
  restore_console();
  flush();
  rfidlog_.close();
}

int Tagsmith::run() {
  start();
  determine_modules();
  if (!env_.stop_request) {
    test_printer_connection();
    say("main loop ...");
    flush();
    while (main_pass()) wait_for_work();
  }
  shutdown();
  return 0;
}

}  // namespace rfid
