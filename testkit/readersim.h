// readersim: a stand-in for the RFID reader modules (RU5102 and RU5202) that tests and the demo
// talk to. Each module sits on the master side of a pseudo-terminal, published under the
// appliance root as the daemon finds a USB serial adapter; the simulator answers every command
// frame as that model would, with the tags a control file puts in its field per inventory.
// The reply decisions are plain functions (answer, the control parser); run() is the loop.
#pragma once
#include <climits>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace readersim {

enum class Model { RU5102, RU5202 };
// "ru5102" / "ru5202" (either case).
bool parse_model(std::string_view text, Model* model);
const char* model_name(Model model);

// One tag in a field: its EPC and, for the RU5202 items, its RSSI.
struct Tag {
  std::vector<uint8_t> epc;
  uint8_t rssi = 0x60;
};

// The field for the module's inventories from..to (counted from 1; to INT_MAX when open).
struct CycleRule {
  int from = 1;
  int to = INT_MAX;
  std::vector<Tag> tags;
};

// How the next write ends: Status 0 is success; otherwise Status and the error code byte.
struct WriteResult {
  uint8_t status = 0;
  uint8_t error = 0;
};

// A reply sent in place of the model's own: bytes as they stand, or nothing at all; or the
// model's own reply spoilt as a faulty line or module would: cut after `n` bytes, sent `ms` late,
// split after `n` bytes with a gap of `ms`, its CRC spoilt, or followed by `n` extra bytes.
struct ScriptedReply {
  enum Kind { kBytes, kSilent, kCut, kLate, kSplit, kBadCrc, kLong } kind = kBytes;
  bool silent = false;
  std::vector<uint8_t> bytes;
  int n = 0;
  int ms = 0;
};

// How a reply goes out: `first_ms` after the frame, and when `split_at` is set, the rest
// `gap_ms` after its first `split_at` bytes.
struct Delivery {
  int first_ms = 0;
  size_t split_at = 0;
  int gap_ms = 0;
};

// What the control file says about one module.
struct Script {
  std::vector<Tag> field;          // the field for inventories no cycle rule covers
  std::vector<CycleRule> cycles;   // the last rule covering an inventory wins
  std::vector<WriteResult> writes; // taken in order, one per write; then every write succeeds
  std::vector<ScriptedReply> replies;  // taken in order, one per frame, before the model answers
  int64_t serial = -1;             // 32-bit serial number; -1 keeps the module's own
  int power = -1;                  // RF power shown until the daemon sets one; -1 keeps it
  int gpio = -1;
  int delay_ms = 0;                // pause before each reply
};

// The control file: "<module> <key> <values...>" lines, '#' comments. Unknown keys, modules
// and malformed values are reported in *errors (one line each) and skipped.
std::map<std::string, Script> parse_control(std::string_view text, std::string* errors);

// A module's live state: what commands changed and how far its script has been used.
struct Module {
  Model model = Model::RU5202;
  std::string name;                // "ttyUSB0"
  uint32_t serial = 0;
  int power = 26;
  uint8_t gpio = 0;
  uint8_t beeper = 0;
  int inventories = 0;             // inventory frames answered
  size_t writes_used = 0;
  size_t replies_used = 0;
  // EPCs rewritten by successful writes: a rewritten tag answers with its new EPC.
  std::map<std::vector<uint8_t>, std::vector<uint8_t>> rewritten;
};

// A fresh module; its serial number is 0x52000000 + index, so each one differs.
Module make_module(Model model, int index);

// The reply to one complete command frame whose CRC was checked (empty: no reply). `events`
// receives the log lines of what the frame did (without the module name).
std::vector<uint8_t> answer(Module& m, const Script& s, std::span<const uint8_t> frame,
                            std::vector<std::string>* events, Delivery* how = nullptr);

// Lowercase "%02x " bytes, without the trailing blank.
std::string hex(std::span<const uint8_t> bytes);

struct Options {
  std::string dir;      // ports file and log
  std::string control;  // default dir/control
  std::vector<Model> modules;  // module i is published as "ttyUSB<i>"
};

// Publishes the modules under LABELDOCK_ROOT (required: the real /dev is never touched) and
// answers until SIGTERM or SIGINT; removes what it published. Exit status.
int run(const Options& opts);

}  // namespace readersim
