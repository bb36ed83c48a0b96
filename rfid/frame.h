// The byte frames both reader models speak over the serial line, as plain functions over bytes:
// the CRC, building a command frame, and taking a reply apart. No ports here.
//
// Command: Len Adr Cmd Data... CRC-lo CRC-hi
// Reply:   Len Adr reCmd Status Data... CRC-lo CRC-hi
// Len counts the bytes after itself (Adr through the CRC), so a frame is Len + 1 bytes long.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace rfid {

// Room of the module record's frame buffers: the longest command and the longest reply kept.
constexpr size_t kTxFrameMax = 203;
constexpr size_t kRxFrameMax = 215;
// The longest frame a one-byte Len can announce: a reply is always read whole (and its CRC
// checked) into a buffer this long, whatever it announces; what is kept of it is a matter for
// its handler (kRxFrameMax).
constexpr size_t kRxBufferMax = 256;
// Len, Adr, reCmd, Status, and one CRC byte: the least a reply can be before its length is known.
constexpr size_t kReplyHeader = 5;
constexpr uint8_t kAddress = 0x00;

// CRC-16/MCRF4XX: start 0xFFFF, reflected polynomial 0x8408, no final XOR.
uint16_t uiCrc16Cal(std::span<const uint8_t> bytes);

// Builds Len Adr Cmd Data CRC. Fails (empty result, *err filled) when the frame would not fit
// the command buffer.
bool build_frame(uint8_t cmd, std::span<const uint8_t> data, std::vector<uint8_t>* frame,
                 std::string* err);

// Appends the CRC of everything the frame holds so far, low byte first.
void append_crc(std::vector<uint8_t>* frame);
// A whole frame from what follows its Len byte: Len in front, the CRC behind (as the modules
// send their replies).
std::vector<uint8_t> frame_of(std::span<const uint8_t> body);

// True when `words` 16-bit words can be taken from `epc` (0..255 words, within its bytes);
// otherwise *err says which EPC (`what`) is too short.
bool epc_words_ok(std::span<const uint8_t> epc, int words, const char* what, std::string* err);

// True when the last two bytes are the CRC of everything before them (low byte first).
bool frame_crc_ok(std::span<const uint8_t> frame);

// A reply split into its fields; `data` views the bytes between Status and the CRC.
struct Reply {
  uint8_t len = 0;
  uint8_t adr = 0;
  uint8_t recmd = 0;
  uint8_t status = 0;
  std::span<const uint8_t> data;
};

// Takes a complete reply apart. Fails for a frame whose length disagrees with its Len byte, one
// too short to hold the header and CRC, or one whose CRC does not match: line noise must not be
// taken for a tag or a write result.
bool parse_reply(std::span<const uint8_t> frame, Reply* reply, std::string* err);

// The two-line dump of a frame: a ruler of byte positions, then the bytes, each "%02x ".
std::string format_frame(std::span<const uint8_t> frame);

}  // namespace rfid
