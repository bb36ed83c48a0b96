// One reader module as the daemon drives it: its port, protocol state, last command and reply,
// tag table and the operations of its model. Every command is asynchronous: an operation sends
// one frame and enters the matching waiting state; the reply handler consumes the reply and
// returns the module to IDLE. The main loop never knows the model.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "rfid/RU5102.h"
#include "rfid/frame.h"
#include "rfid/posix_sdk.h"
#include "rfid/tags.h"

namespace rfid {

struct reader_module;

// How long a module has to answer a command, from the moment the frame went out. The longest
// reply a Len byte can announce (256 bytes) takes 45 ms on the line at 57600 baud; 500 ms leaves
// the module ten times that for its inventory round, and keeps a silent module from holding
// the printer's writes for more than half a second (the loop itself never waits for it).
constexpr int64_t kReplyDeadlineMs = 500;
// After a command ended without a usable reply, the line must be quiet this long before the
// module takes the next command: late bytes of the old reply are drained, never read as the
// start of the next one. A module that keeps talking is taken back after kSettleMaxMs anyway.
// After a reply that did not come (or not whole) by its deadline the module may still be
// sending: the quiet time is longer then, so that a reply (or its rest) up to 800 ms late is
// drained rather than taken for the start of the next.
constexpr int64_t kSettleQuietMs = 50;
constexpr int64_t kSettleAfterSilenceMs = 300;
constexpr int64_t kSettleMaxMs = 1500;
// The write result state reported when a write's reply never came (or could not be trusted):
// unlike every Status byte, it cannot be mistaken for an answer of the module.
constexpr int kWriteNoReply = -1;
// The state reported for a write the daemon refused or gave up before sending it (its EPC does
// not fit the frame, it waited too long, or the modules were discovered again meanwhile).
constexpr int kWriteNotSent = -2;

// Module types in the information reply.
constexpr uint8_t kModuleTypeRU5102 = 0x08;
constexpr uint8_t kModuleTypeRU5202 = 0x10;

// What the module operations need from the daemon around them.
struct RfidEnv {
  ld::Clock* clock = nullptr;          // pauses between reply reads
  Keyboard* keyboard = nullptr;        // ESC while waiting for a reply stops the daemon
  ResponseTimer* timer = nullptr;
  std::string* out = nullptr;          // what the daemon prints
  std::string* err = nullptr;          // what it prints on standard error (null: onto `out`)
  std::function<void(const std::string&)> log;  // the daemon log
  // The printer hears of every write result (state = reply Status, err = error code).
  std::function<void(int state, int err, int index, std::span<const uint8_t> epc)> write_result;
  // Brings `tags` up to date for a module (its location, the time, the label position) before
  // its reply touches the table.
  std::function<void(const reader_module&, TagContext&)> refresh_tags;
  bool stop_request = false;
  int writes = 0;                      // successful writes
  int failed_writes = 0;
  TagContext tags;                     // passed to the tag table (its out/log/report)
};

// What the module operations print, print on standard error and log, printf-style, through
// the daemon's streams in `env` (nothing when a stream is not set).
void say(RfidEnv& env, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say_err(RfidEnv& env, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_fmt(RfidEnv& env, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The model's command set; any slot may be empty.
struct ModuleOps {
  void (*op_read)(reader_module&, RfidEnv&) = nullptr;
  void (*op_write)(reader_module&, RfidEnv&, std::span<const uint8_t> old_epc, int old_words,
                   std::span<const uint8_t> new_epc, int new_words) = nullptr;
  void (*op_random_write)(reader_module&, RfidEnv&, std::span<const uint8_t>, int,
                          std::span<const uint8_t> new_epc, int words) = nullptr;
  void (*op_process)(reader_module&, RfidEnv&) = nullptr;
  bool (*op_check_header)(std::span<const uint8_t> reply) = nullptr;
  int (*op_msg_len)(std::span<const uint8_t> reply) = nullptr;
  void* reserved1 = nullptr;
  void (*op_beeper)(reader_module&, RfidEnv&, int value) = nullptr;
  int (*op_get_power)(reader_module&, RfidEnv&) = nullptr;
  int (*op_get_serial)(reader_module&, RfidEnv&) = nullptr;
  int (*op_set_power)(reader_module&, RfidEnv&, int level) = nullptr;
  void* reserved2 = nullptr;
  int (*op_get_gpio)(reader_module&, RfidEnv&) = nullptr;
  int (*op_set_gpio)(reader_module&, RfidEnv&, int value) = nullptr;
  void (*op_show_error)(std::span<const uint8_t> reply, RfidEnv&) = nullptr;
  int (*op_read_and_write)(reader_module&, RfidEnv&) = nullptr;
};

struct reader_module {
  std::string device;
  int location = 0;  // 1 entry module, 2 exit module
  int module_state = IDLE;
  std::string serial_text = "UNKNOWN";
  SerialFd port_fd;
  int power = 0;
  int tx_len = 0;
  std::array<uint8_t, kTxFrameMax> tx_frame{};
  int rx_len = 0;
  std::array<uint8_t, kRxBufferMax> rx_frame{};
  int write_index = -1;
  int write_slot = 0;
  std::array<uint8_t, 20> new_epc{};
  int new_epc_len = 0;
  int read_cycle = 0;
  int total_reads = 0;
  TagTable tags;
  int verbose = 0;
  int rewrite_count = 0;
  ModuleOps ops;
  // The reply in flight: bytes received so far, when it is due (monotonic ms).
  size_t rx_have = 0;
  int64_t reply_due_ms = 0;
  // SETTLING: when the last stray byte came and when settling began; a write whose reply never
  // came goes out again once the line is quiet.
  int64_t quiet_since_ms = 0;
  int64_t settle_started_ms = 0;
  int64_t settle_quiet_ms = 0;  // the quiet time this settling needs
  bool resend_after_settle = false;
  // Whether the latest command ended without a usable reply (or its reply said it failed).
  bool last_command_failed = false;
  // Resends of a failed write the model makes (RU5202 three, RU5102 one).
  int max_resends = 3;

  std::span<const uint8_t> tx() const { return {tx_frame.data(), static_cast<size_t>(tx_len)}; }
  std::span<const uint8_t> rx() const { return {rx_frame.data(), static_cast<size_t>(rx_len)}; }
};

void _set_state(reader_module& m, int state);
const char* _mod_loc_txt(const reader_module& m);

// Stores a frame as the module's last command and writes it to the port.
void send_frame(reader_module& m, RfidEnv& env, std::span<const uint8_t> frame);

// Sends the module's last frame again (a resend), with a new reply deadline.
void resend_frame(reader_module& m, RfidEnv& env);

// Reads what has arrived of the reply in flight without waiting. kWhole once Len + 1 bytes are
// in (rx_len is then the reply's length, and the next reply starts afresh); kBroken, with the
// reason, when the bytes cannot be a reply (a Len byte below the shortest reply).
enum class ReplyRead { kPending, kWhole, kBroken };
ReplyRead get_response(reader_module& m, RfidEnv& env, std::string* why);
// Takes the reply to the command in flight once it is whole: false while it is still arriving,
// or when it does not hold together or is longer than its handler keeps (the command is then
// ended, see end_command).
bool take_reply(reader_module& m, RfidEnv& env, Reply* r);
// True while the module waits for the reply to a command.
bool awaiting_reply(const reader_module& m);
// Ends the command in flight without a usable reply: logged, a write reported to the printer
// as failed (and sent again after the quiet time while the model's resends allow), and the
// module SETTLING until its line is quiet.
void end_command(reader_module& m, RfidEnv& env, const std::string& why);
void end_command(reader_module& m, RfidEnv& env, const std::string& why, int64_t quiet_ms);
// The loop's care of a module besides its replies: bytes nobody waits for are drained (and
// logged), a command whose reply is overdue is ended, a settled module is idle again.
void tend_module(reader_module& m, RfidEnv& env);
// Milliseconds until tend_module has something to do for the module; -1 when nothing is due.
int64_t module_due_in_ms(const reader_module& m, int64_t now_ms);
// Tells the printer the result of the module's write (state = Status, or kWriteNoReply).
void report_write_result(reader_module& m, RfidEnv& env, int state, int err);
// Lets all modules finish their commands (bounded by the reply deadline and the quiet time);
// the sum of their states (0: all idle).
int wait_for_response(std::span<reader_module* const> modules, RfidEnv& env);
// The two-line dump of a frame.
std::string show_message(std::span<const uint8_t> frame);

// Fills the RU5102 slots; the slots it does not name keep what they held.
void init_RU5102_fn_ptrs(reader_module& m);
// A record with the RU5102 operations on an opened port (beeper off when the port opened).
std::unique_ptr<reader_module> init_RU5102_module(const std::string& device, RfidEnv& env);

void RU5102_do_read(reader_module& m, RfidEnv& env);
void RU5102_do_write(reader_module& m, RfidEnv& env, std::span<const uint8_t> old_epc, int old_words,
                     std::span<const uint8_t> new_epc, int new_words);
void RU5102_do_random_write(reader_module& m, RfidEnv& env, std::span<const uint8_t>, int,
                            std::span<const uint8_t> new_epc, int words);
void RU5102_beeper_ctl(reader_module& m, RfidEnv& env, int value);
void RU5102_process_module(reader_module& m, RfidEnv& env);

// The fix mode's step: the first tag whose EPC byte 9 is zero is written with a new EPC (see
// TagTable::fix_step). True when a write was started.
bool do_fix_tags(reader_module& m, RfidEnv& env);

// Completes the replies to the power, information, serial and GPIO commands a record keeps from
// its first set-up, whichever model it now is, with the messages of the model that owns them,
// and returns the module to IDLE; false for other states.
bool complete_kept_reply(reader_module& m, RfidEnv& env, const Reply& reply);
// The module information reply (Version at offset 4 ... scan time at 11): printed, its power
// kept, and a module that says it is an RU5102 (type 0x08) given the RU5102 operations.
void print_module_info(reader_module& m, RfidEnv& env, const Reply& reply);

}  // namespace rfid
