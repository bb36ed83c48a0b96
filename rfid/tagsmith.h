// tagsmith, the RFID encoder daemon: finds the two reader modules, decides which one sees the
// labels enter and which one writes them as they leave, then polls the modules, the printer's
// command connection and the terminal in one loop, answering the printer and reporting tag
// events and write results to its web server. Everything it touches comes in through Config.
#pragma once
#include <termios.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/handles.h"
#include "rfid/RU5202.h"
#include "rfid/ews_client.h"
#include "rfid/posix_sdk.h"
#include "rfid/printer_link.h"
#include "rfid/reader_module.h"
#include "rfid/tags.h"

namespace rfid {

// The daemon's switches, in their fixed order.
struct GConfig {
  int send_entry_tags = 0;
  int send_exit_tags = 0;
  int continuous_entry_read = 0;
  int continuous_exit_read = 0;
  int entry_read_once = 0;
  int exit_read_once = 0;
};

// Room of the module list of a discovery pass.
constexpr size_t kMaxModules = 3;
// Writes the printer asked for while the writing module was busy, held until it is idle.
constexpr size_t kMaxPendingWrites = 32;
// A waiting write older than this is for a label that has moved on: it is dropped and reported
// failed rather than written into whatever label is then in the field. (A module that answers
// nothing keeps a write busy for about 3.2 s with its resends; a write behind it is then gone.)
constexpr int64_t kMaxWriteWaitMs = 3000;

struct TagsmithConfig {
  std::string program = "tagsmith";
  std::string devices_dir;   // the USB serial devices' listing
  std::string dev_dir;       // where their device nodes are
  std::string modules_file;  // the remembered entry and exit modules
  std::string log_file;      // the daemon log, emptied at every start
  std::string status_file;   // the small status the operator's page shows ("" none)
  std::string dump_dir = ".";  // the tag dump files
  int rfid_port = 5011;      // the printer's command port
  int listen_fd = -1;        // a listening socket to use instead of opening rfid_port (taken over)
  std::string printer_host = "labelprinter";
  int printer_web_port = 80;
  bool keys = true;          // take key commands from the terminal
  std::string key_terminal;  // "" the controlling terminal
  // The one clock of the daemon: pauses, deadlines, the date, and the time of day of the log
  // stamps and the tags.
  DaemonClock* clock = &system_daemon_clock();
  FILE* out = stdout;
  FILE* err = stderr;
  // The longest a main-loop pass waits for something to happen. The loop wakes at once for
  // module replies, printer messages and keys; the time-out only paces the probe of the
  // printer's web server.
  int idle_wait_ms = 200;
};

// The appliance's paths (root-prefixed) and endpoints.
TagsmithConfig default_config();

class Tagsmith {
 public:
  explicit Tagsmith(TagsmithConfig cfg);
  ~Tagsmith();
  Tagsmith(const Tagsmith&) = delete;
  Tagsmith& operator=(const Tagsmith&) = delete;

  // Start-up, discovery, the main loop until 'Q', shutdown. The process exit status.
  int run();

  // --- start-up and discovery
  void start();
  void determine_modules();
  // One discovery pass; false when it failed (its modules are then released).
  bool get_modules(int max_inventories);
  bool get_module_locations_from_file(bool* corrected);
  void write_module_file();
  int set_writer_power(int level);
  int set_reader_power(int level);
  int get_writer_power() const { return writer_ ? writer_->power : 0; }
  int get_reader_power() const { return reader_ ? reader_->power : 0; }

  // --- the main loop
  // One pass; false once the loop is to end.
  bool main_pass();
  // Waits until a descriptor a pass looks at is ready, or the idle time-out.
  void wait_for_work();
  // Polls the printer connection; a message read is answered, and its kind goes to *kind (may
  // be null). The main loop's result (see the message table), 0 when nothing was read.
  int check_printer(std::string* msg, MessageKind* kind = nullptr);
  // Answers one printer message as read by parse_message; the main loop's result.
  int handle_message(const std::string& msg, const PrinterMessage& parsed);
  int process_key(std::string_view text);
  void set_loop_cmd(std::string_view text);
  // Starts the write on the exit module (the entry module without one); while that module is
  // busy the write waits for it, in order, rather than being lost.
  int write_tag_epc(std::span<const uint8_t> old_epc, std::span<const uint8_t> new_epc, int index);
  size_t pending_writes() const { return pending_writes_.size(); }
  void clear_all_tags();
  void init_entry_exit_read();
  void new_tag_event(const Epc& epc);
  // Queues the probe of the printer's web server (its failure closes the command connection).
  void test_printer_connection();
  size_t web_requests() const { return ews_.queued(); }
  void shutdown();

  // For tests: modules made elsewhere become the list; entry/exit are indexes into it (-1 none).
  void adopt_modules(std::vector<std::unique_ptr<reader_module>> mods, int entry, int exit);
  GConfig& get_gconfig() { return gconfig_; }
  PrinterPort& printer() { return port_; }
  const LabelPositions& positions() const { return positions_; }
  reader_module* reader() { return reader_; }
  reader_module* writer() { return writer_; }
  size_t module_count() const { return modules_.size(); }
  bool decided() const { return !find_modules_; }
  bool fix_mode() const { return fix_tags_; }
  RfidEnv& env() { return env_; }
  // Writes what was printed and logged so far to the streams.
  void flush();

 private:
  void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void say_err(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void release_modules();
  // Rewrites the status file when what it says has changed.
  void update_status();
  void note_event(const char* kind, std::span<const uint8_t> epc);
  // Queues a GET on the printer's web server; a failure is printed (or goes to `done`), an
  // overflow of the queue logged and counted.
  void web_request(const std::string& path, EwsLink::Done done = {});
  std::vector<reader_module*> module_ptrs() const;
  bool all_idle_after_pause(const char* failure);
  void open_modules(std::vector<std::string>* found);
  void decide_pass(bool pass_ok, bool first);
  void wait_for_retry();
  void restore_console();
  void start_read(reader_module* m);
  void answer_list(MessageKind kind);
  void answer_write(const std::string& msg);
  void show_listing();
  int set_power_of(reader_module* m, int level, const char* failure);
  void refresh_tags(const reader_module& m, TagContext& ctx);
  reader_module* write_module() const { return writer_ ? writer_ : reader_; }
  void start_write(reader_module* m, std::span<const uint8_t> old_epc, std::span<const uint8_t> new_epc,
                   int index);
  void send_pending_write();
  char cmd0() const { return cmd_.empty() ? '\0' : cmd_[0]; }

  TagsmithConfig cfg_;
  std::string out_, err_, tags_log_;
  RfidLog rfidlog_;
  ResponseTimer timer_;
  std::unique_ptr<Keyboard> keyboard_;
  std::unique_ptr<termios> settings_;
  std::string console_;
  EwsLink ews_;
  bool probing_ = false;
  int64_t last_probe_ms_ = -1000000;
  PrinterPort port_;
  LabelPositions positions_;
  RfidEnv env_;
  GConfig gconfig_;
  std::vector<std::unique_ptr<reader_module>> modules_;
  reader_module* reader_ = nullptr;
  reader_module* writer_ = nullptr;
  bool find_modules_ = true;
  bool module_first_time_ = true;
  std::string cmd_;
  bool fix_tags_ = false;
  int printer_tags_ = 0;
  int passes_since_message_ = 0;
  int lost_tags_ = 0;
  struct PendingWrite {
    std::vector<uint8_t> old_epc, new_epc;
    int index = 0;
    int64_t queued_ms = 0;
    int generation = 0;  // the discovery it was asked for under
  };
  void expire_pending_writes();
  void report_not_sent(int index, std::span<const uint8_t> new_epc);
  bool write_fits(const reader_module& m, std::span<const uint8_t> old_epc, std::span<const uint8_t> new_epc) const;
  // A power change the printer asked for, per module (0 entry, 1 exit): waiting for the module
  // to be idle (level), then waiting for its reply (in_flight, with the power before it).
  struct PowerChange {
    int level = -1;
    bool in_flight = false;
    int old = 0;
  };
  PowerChange power_[2];
  void request_power(int slot, int level);
  void work_power_changes();
  int generation_ = 0;
  std::string status_said_, last_event_;
  std::deque<PendingWrite> pending_writes_;
};

}  // namespace rfid
