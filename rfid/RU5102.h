// The RU5102 command set and its reply handling, as plain functions over bytes and states: the
// module record and the serial port call these and act on what they decide.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "rfid/frame.h"

namespace rfid {

// Module states; the numbers are fixed because messages print them.
enum ModuleState : int {
  IDLE = 0,
  WAITING_FOR_READ = 1,
  WAITING_FOR_WRITE = 3,
  WAITING_FOR_SET_POWER = 5,
  WAITING_FOR_SERIAL = 6,
  WAITING_FOR_INFO = 7,
  WAITING_FOR_SET_GPIO = 8,
  WAITING_FOR_GET_GPIO = 9,
  WAITING_FOR_READ_VARIANT = 10,  // never entered by a command; handled like WAITING_FOR_READ
  WAITING_FOR_BEEPER = 11,
  WAITING_FOR_REWRITE = 12,
  // Between a command that ended without a usable reply and the next: not idle, so nothing is
  // sent, until the line has been quiet long enough (see kSettleQuietMs).
  SETTLING = 13,
};

// Write status codes of a tag entry.
enum WriteStatus : int { ST_NONE = 0, ST_WRITING = 1, ST_OK = 2, ST_FAIL = 3, ST_RW_OK = 4, ST_RW_FAIL = 5 };

namespace ru5102 {

constexpr uint8_t kCmdInventory = 0x01;
constexpr uint8_t kCmdWriteData = 0x03;
constexpr uint8_t kCmdWriteEpc = 0x04;
constexpr uint8_t kCmdBeeper = 0x35;
constexpr size_t kEpcBytes = 12;
constexpr size_t kItemBytes = 1 + kEpcBytes;  // EPC length byte, EPC

// Inventory: 04 00 01 CRC.
std::vector<uint8_t> read_frame();
// Write data into the EPC bank from word 2: WNum ENum oldEPC Mem WordPtr newEPC password(4 x 0).
// Fails when an EPC is shorter than its word count says or the frame would not fit.
bool write_frame(std::span<const uint8_t> old_epc, int old_words, std::span<const uint8_t> new_epc,
                 int new_words, std::vector<uint8_t>* frame, std::string* err);
// Write EPC to whichever tag answers: ENum password(4 x 0) newEPC.
bool random_write_frame(std::span<const uint8_t> new_epc, int words, std::vector<uint8_t>* frame,
                        std::string* err);
// Beeper control: one byte, (value + 0x80) modulo 256.
std::vector<uint8_t> beeper_frame(int value);

// The reply checks of the operations table.
bool check_response_header(std::span<const uint8_t> reply);  // Len byte not 0
int get_msg_len(std::span<const uint8_t> reply);             // Len + 1

// An inventory reply's verdict and the tag items it carried. Each item views kItemBytes bytes
// (length byte, 12-byte EPC) inside the reply.
struct Inventory {
  enum Kind { Tags, NoTags, Unexpected } kind = Unexpected;
  std::vector<std::span<const uint8_t>> items;
  bool truncated = false;  // Num announced more items than the reply holds; only whole ones kept
};
Inventory parse_inventory(const Reply& reply);

// What a write reply does to the module, given the state it arrived in and the entry it updates.
struct WriteOutcome {
  enum Kind { Unexpected, Resend, Failed, Succeeded } kind = Unexpected;
  int next_state = WAITING_FOR_WRITE;
  int entry_status = -1;      // status for the table entry, -1 for none
  bool index_error = false;   // a success whose write_index lies outside the table
  bool rewrite = false;       // the reply answered a resend
};
WriteOutcome decide_write(const Reply& reply, int state, int write_index, int table_size);

// Replies to the commands an RU5102 record keeps from its first set-up as the other model (power,
// information, serial, GPIO) and to the beeper: any reply completes them.
bool completes_any_reply(int state);

}  // namespace ru5102
}  // namespace rfid
