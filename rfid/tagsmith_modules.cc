// tagsmith's discovery: the passes that open the USB serial devices and read from both modules,
// the decision of which one is entry and which exit (by tags, else by the module file), the
// module file itself and the power levels it remembers.
#include "rfid/tagsmith.h"

#include <poll.h>

#include <algorithm>
#include <filesystem>

#include "common/fsops.h"
#include "rfid/module_choice.h"

namespace rfid {

// The records of an earlier pass go, and their ports with them: a repeated discovery must not
// use up the descriptors one pass at a time.
void Tagsmith::release_modules() {
  modules_.clear();
  reader_ = writer_ = nullptr;
}

std::vector<reader_module*> Tagsmith::module_ptrs() const {
  std::vector<reader_module*> v;
  for (const auto& m : modules_) v.push_back(m.get());
  return v;
}

void Tagsmith::adopt_modules(std::vector<std::unique_ptr<reader_module>> mods, int entry, int exit) {
  release_modules();
  modules_ = std::move(mods);
  if (entry >= 0) {
    reader_ = modules_.at(static_cast<size_t>(entry)).get();
    reader_->location = 1;
  }
  if (exit >= 0) {
    writer_ = modules_.at(static_cast<size_t>(exit)).get();
    writer_->location = 2;
  }
  find_modules_ = !(reader_ && writer_);
}

bool Tagsmith::all_idle_after_pause(const char* failure) {
  cfg_.clock->sleep_ms(1000);
  const std::vector<reader_module*> mods = module_ptrs();
  const int sum = wait_for_response(mods, env_);
  flush();
  if (sum == 0) return true;
  say_err("%s", failure);
  return false;
}

void Tagsmith::open_modules(std::vector<std::string>* found) {
  for (const std::string& name : *found) {
    if (modules_.size() >= kMaxModules) {
      say_err("too many USB serial devices: %s left out\n", name.c_str());
      continue;
    }
    auto m = init_RU5202_module(cfg_.dev_dir + "/" + name, env_);
    if (m->port_fd <= 0) continue;  // not usable: the record goes
    modules_.push_back(std::move(m));
    modules_.back()->ops.op_get_power(*modules_.back(), env_);
    flush();
    cfg_.clock->sleep_ms(1000);
  }
}

bool Tagsmith::get_modules(int max_inventories) {
  release_modules();
  ++generation_;  // writes and power changes asked for until now were for the old records
  power_[0] = power_[1] = PowerChange{};
  std::error_code ec;
  std::filesystem::directory_iterator it(cfg_.devices_dir, ec);
  if (ec) {
    say_err("cannot open modules dir. none present\n");
    return false;
  }
  // Names sorted, so the list's order does not depend on how the directory happens to be kept.
  std::vector<std::string> found;
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find("USB") != std::string::npos) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  open_modules(&found);
  auto fail = [this](const char* why) {
    if (!all_idle_after_pause(why)) {
      release_modules();
      return true;
    }
    return false;
  };
  if (fail("ERROR  1 - modules are not idle\n")) return false;
  for (auto& m : modules_) if (m->ops.op_set_power) m->ops.op_set_power(*m, env_, 1);
  if (fail("ERROR 2 - modules are not idle\n")) return false;
  for (auto& m : modules_) if (m->ops.op_get_serial) m->ops.op_get_serial(*m, env_);
  if (fail("ERROR 2 - modules are not idle\n")) return false;
  int reads = 0;
  for (int n = 0; reads == 0 && n < max_inventories && !modules_.empty(); ++n) {
    say_err("reading from both modules\n");
    for (auto& m : modules_) m->ops.op_read(*m, env_);
    if (fail("ERROR 3 - modules are not idle\n")) return false;
    reads = 0;
    for (auto& m : modules_) reads += m->total_reads;
  }
  return true;
}

bool Tagsmith::get_module_locations_from_file(bool* corrected) {
  *corrected = false;
  std::string text;
  if (!ld::read_file(cfg_.modules_file, &text)) {
    say("Could not open %s for reading\n", cfg_.modules_file.c_str());
    return false;
  }
  std::vector<std::string> devices;
  for (const auto& m : modules_) devices.push_back(m->device);
  std::string log_text;
  const FileDecision d = decide_from_file(text, devices, &out_, &err_, &log_text);
  if (!log_text.empty()) env_.log(log_text);
  *corrected = d.corrected;
  for (size_t i = 0; i < modules_.size(); ++i) {
    reader_module& m = *modules_[i];
    if (d.modules[i].location == 0) continue;
    m.location = d.modules[i].location;
    m.power = d.modules[i].power;
    (m.location == 1 ? reader_ : writer_) = &m;
  }
  return d.all_assigned;
}

void Tagsmith::write_module_file() {
  if (!reader_ || !writer_) return;
  for (reader_module* m : {reader_, writer_}) {
    if (m->power <= 0) m->power = 1;
  }
  std::string err;
  if (!ld::write_file_atomic(cfg_.modules_file,
                             module_file_text(reader_->device, reader_->serial_text, reader_->power,
                                              writer_->device, writer_->serial_text, writer_->power),
                             &err)) {
    say_err("ERROR cannot open %s\n", cfg_.modules_file.c_str());
    return;
  }
  log("modfile: ENTRY %s %s %d\n", reader_->device.c_str(), reader_->serial_text.c_str(), reader_->power);
  log("modfile: EXIT %s %s %d\n", writer_->device.c_str(), writer_->serial_text.c_str(), writer_->power);
}

int Tagsmith::set_power_of(reader_module* m, int level, const char* failure) {
  if (!m) return 0;
  if (m->ops.op_set_power) m->ops.op_set_power(*m, env_, level);
  if (!all_idle_after_pause(failure)) return 0;
  write_module_file();
  return m->power;
}

int Tagsmith::set_writer_power(int level) {
  return set_power_of(writer_, level, "set writer power ERROR  1 - modules are not idle\n");
}

int Tagsmith::set_reader_power(int level) {
  return set_power_of(reader_, level, "set reader power ERROR  1 - modules are not idle\n");
}

void Tagsmith::restore_console() {
  if (settings_) posix_set_termsettings(console_.c_str(), *settings_);
}

// Takes the decision of one pass: by tags (later passes), else by the module file.
void Tagsmith::decide_pass(bool pass_ok, bool first) {
  if (!pass_ok || modules_.empty()) {
    restore_console();
    say("could not find modules");
    log("could not find modules\n");
  } else {
    reader_ = modules_[0].get();
  }
  if (!pass_ok || modules_.size() != 2) return;
  bool by_tags = false, decided = false;
  if (!first) {
    const int who = decide_by_tags(modules_[0]->total_reads, modules_[1]->total_reads);
    if (who != 0) {
      reader_ = modules_[who == 1 ? 0 : 1].get();
      writer_ = modules_[who == 1 ? 1 : 0].get();
      reader_->location = 1;
      writer_->location = 2;
      by_tags = decided = true;
    } else {
      say("could not determine modules %d %d\n", modules_[0]->total_reads, modules_[1]->total_reads);
      log("could not determine modules %d %d\n", modules_[0]->total_reads, modules_[1]->total_reads);
    }
  }
  if (!decided) {
    bool corrected = false;
    if (get_module_locations_from_file(&corrected) && reader_ && writer_) {
      say("modules determined from file %d %d\n", reader_->power, writer_->power);
      log("modules determined from file %d %d\n", reader_->power, writer_->power);
      if (reader_->power != 1) set_reader_power(reader_->power);
      if (writer_->power != 1) set_writer_power(writer_->power);
      decided = true;
      if (corrected) write_module_file();
    } else {
      restore_console();
    }
  }
  if (by_tags) write_module_file();
  if (decided) {
    find_modules_ = false;
    for (reader_module* m : {reader_, writer_}) {
      if (m->ops.op_beeper) m->ops.op_beeper(*m, env_, 0);
    }
  }
}

void Tagsmith::wait_for_retry() {
  for (;;) {
    say("check printer");
    std::string msg;
    MessageKind kind = MessageKind::Other;
    const int r = check_printer(&msg, &kind);
    say("check printer %d\n", r);
    update_status();
    if (r > 0) {
      log("PRINTER <%s>\n", msg.c_str());
      if (kind == MessageKind::Retry) return;
    }
    flush();
    // A second's pause, cut short when the printer sends or connects.
    const int fd = port_.conn_fd() >= 0 ? port_.conn_fd() : port_.listen_fd();
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || ::poll(&p, 1, 1000) <= 0) cfg_.clock->sleep_ms(fd < 0 ? 1000 : 0);
  }
}

void Tagsmith::determine_modules() {
  while (find_modules_) {
    const bool first = module_first_time_;
    const bool ok = get_modules(first ? 1 : 30);
    decide_pass(ok, first);
    flush();
    if (find_modules_ && !first) wait_for_retry();
    module_first_time_ = false;
  }
  flush();
}

}  // namespace rfid
