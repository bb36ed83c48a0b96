// The RU5202 command set: its frames and what its replies mean as plain functions over bytes
// (namespace ru5202), and the driver operations that a module record created as RU5202 carries.
// Every module is first created as RU5202; its information reply may switch it to RU5102.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rfid/frame.h"
#include "rfid/reader_module.h"

namespace rfid {
namespace ru5202 {

constexpr uint8_t kCmdInventory = 0x01;
constexpr uint8_t kCmdWriteData = 0x03;
constexpr uint8_t kCmdWriteEpc = 0x04;
constexpr uint8_t kCmdInfo = 0x21;
constexpr uint8_t kCmdSetPower = 0x2F;
constexpr uint8_t kCmdBeeper = 0x40;
constexpr uint8_t kCmdSetGpio = 0x46;
constexpr uint8_t kCmdGetGpio = 0x47;
constexpr uint8_t kCmdSerial = 0x4C;
// An inventory item: EPC length byte, 12-byte EPC, RSSI.
constexpr size_t kItemBytes = 14;
// The tag table takes an item from the byte before its length byte up to the third byte after
// the EPC (RSSI and two more), so each item is viewed with one byte before and two after it.
constexpr size_t kTableItemBytes = 17;
// Sent at most this many times in all: the first write and three resends.
constexpr int kMaxResends = 3;

// Inventory with its five parameter bytes: 09 00 01 04 00 00 80 0A 22 DA.
std::vector<uint8_t> read_frame();
// Write data: WNum 7 and ENum 6 whatever the caller's counts (the PC word 0x3000 and a 6-word
// EPC from word 1), old EPC, Mem 1, WordPtr 1, 30 00, new EPC, password 4 x 0. The counts only
// decide how many EPC bytes go into the frame; they must not exceed the EPCs given.
bool write_frame(std::span<const uint8_t> old_epc, int old_words, std::span<const uint8_t> new_epc,
                 int new_words, std::vector<uint8_t>* frame, std::string* err);
// Write EPC: ENum, password 4 x 0, new EPC.
bool random_write_frame(std::span<const uint8_t> new_epc, int words, std::vector<uint8_t>* frame,
                        std::string* err);
// Commands without data (information, serial, get GPIO) or with one byte (power, GPIO, beeper).
std::vector<uint8_t> command_frame(uint8_t cmd);
std::vector<uint8_t> command_frame(uint8_t cmd, int value);

// The reply checks of the operations table.
bool check_response_header(std::span<const uint8_t> reply);  // Len byte not 0
int get_msg_len(std::span<const uint8_t> reply);             // Len + 1

// An inventory reply's verdict; each item views kTableItemBytes bytes of `frame`, starting one
// byte before the item's EPC length byte (EPC at item offset 2, RSSI at 14).
struct Inventory {
  enum Kind { Tags, NoTags, Unexpected } kind = Unexpected;
  int num = 0;
  std::vector<std::span<const uint8_t>> items;
  bool truncated = false;  // Num announced more items than the reply holds; only whole ones kept
};
Inventory parse_inventory(std::span<const uint8_t> frame, const Reply& reply);

// What a write reply does, given the module state it arrived in, the resends made so far and
// the table entry it updates (-1: none).
struct WriteOutcome {
  enum Kind { Unexpected, Succeeded, Resend, Failed } kind = Unexpected;
  int next_state = WAITING_FOR_WRITE;
  int error_code = 0;        // the reply's error byte when Status is not 0
  int entry_status = -1;     // status for the table entry, -1 for none
  bool index_error = false;  // write_index outside the table and not -1
  bool rewrite = false;      // the reply answered a resend
};
WriteOutcome decide_write(const Reply& reply, int state, int rewrite_count, int write_index,
                          int table_size);

// The four serial bytes as eight lower-case hex digits; false when the reply is too short.
bool serial_text(const Reply& reply, std::string* text);

}  // namespace ru5202

// A record with the RU5202 operations and its port opened at 57600 8N1 (port_fd -1 when the
// open failed; `env.out` gets the open's progress lines).
std::unique_ptr<reader_module> init_RU5202_module(const std::string& device, RfidEnv& env);
// Fills the RU5202 column of the operations table (the first reserved slot empty).
void init_RU5202_fn_ptrs(reader_module& m);

void RU5202_do_read(reader_module& m, RfidEnv& env);
void RU5202_do_write(reader_module& m, RfidEnv& env, std::span<const uint8_t> old_epc, int old_words,
                     std::span<const uint8_t> new_epc, int new_words);
void RU5202_do_random_write(reader_module& m, RfidEnv& env, std::span<const uint8_t>, int,
                            std::span<const uint8_t> new_epc, int words);
int get_power(reader_module& m, RfidEnv& env);
int set_power(reader_module& m, RfidEnv& env, int level);
int RU5202_get_serial_no(reader_module& m, RfidEnv& env);
int get_gpio(reader_module& m, RfidEnv& env);
int set_gpio(reader_module& m, RfidEnv& env, int value);
void RU5202_beeper_ctl(reader_module& m, RfidEnv& env, int value);
void RU5202_process_module(reader_module& m, RfidEnv& env);
void save_module_info(reader_module& m, RfidEnv& env, const Reply& reply);
int read_and_write(reader_module& m, RfidEnv& env);

}  // namespace rfid
