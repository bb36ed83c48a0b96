// The ZjStream job format: chunk headers, numeric items and their text form, and the one
// streaming chunk reader that every reader of jobs (filter, job scan, page decoder, receiver
// checks) is built on. Sizes announced by the file are never trusted for allocation.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/handles.h"

namespace zjs {

enum ChunkType : uint32_t {
  START_DOC = 0, END_DOC = 1, START_PAGE = 2, END_PAGE = 3, JBIG_BIH = 4, JBIG_BID = 5,
  END_JBIG = 6, SIGNATURE = 7, RAW_IMAGE = 8, START_PLANE = 9, END_PLANE = 10, PAUSE = 11,
  BITMAP = 12, ZX_START = 13, ZX_DATA = 14, ZX_END = 15, OPAQUE_DATA = 16,
};

constexpr uint16_t ZJI_PAGECOUNT = 0;
constexpr uint16_t ZJI_COPIES = 4;
constexpr uint16_t ZJI_WIDTH = 12;
constexpr uint16_t ZJI_LENGTH = 13;
constexpr uint16_t ZJI_HEIGHT = 14;
constexpr uint16_t ZJI_QUALITY = 113;
constexpr uint16_t kChunkSignature = 0x5A5A;
constexpr size_t kHeaderSize = 16;
constexpr size_t kItemHeaderSize = 8;
constexpr size_t kNumericItemSize = 12;

// "START_DOC" ... "OPAQUE_DATA", or "unknown".
const char* chunk_type_name(uint32_t type);

struct ChunkHeader {
  uint32_t size = 0;   // whole chunk, header included
  uint32_t type = 0;
  uint32_t items = 0;  // item count, or the payload length of ZX_DATA
  uint16_t reserved = 0;
  uint16_t signature = kChunkSignature;
};

// Big-endian unless little_endian (streams that begin with "ZJZJ").
ChunkHeader decode_header(const unsigned char* b, bool little_endian = false);
void encode_header(const ChunkHeader& h, unsigned char* b);

struct Item {
  uint32_t size = kNumericItemSize;
  uint16_t id = 0;
  uint8_t type = 1;   // 0 or 1: numeric (drivers write 1)
  uint8_t param = 0;
  uint32_t value = 0;  // numeric items only
  bool numeric() const { return type <= 1; }
};

// An item record's first 8 bytes, plus the 4-byte value when `b` holds 12 bytes.
Item decode_item(const unsigned char* b, bool little_endian = false);
// Always 12 bytes: a numeric item.
void encode_item(const Item& it, unsigned char* b);

// "%x=%d": the id in hexadecimal, the value as a signed decimal.
std::string item_text(uint16_t id, uint32_t value);

// Walks the items area of a chunk (the bytes after its header): numeric items of at least
// 12 bytes, stopping at a record that does not fit in the area. Returns the items read.
std::vector<Item> parse_items(const unsigned char* area, size_t len, uint32_t count,
                              bool little_endian = false);

// Buffered, forward-only reader of a job stream over a file descriptor.
class Reader {
 public:
  enum Status { kOk, kEnd, kError };

  Reader() = default;
  // Takes ownership of fd.
  explicit Reader(ld::UniqueFd fd) : fd_(std::move(fd)) {}
  bool open(const std::string& path, std::string* err);

  // Reads the 4-byte signature: "JZJZ" (big-endian numbers), or with accept_reversed
  // "ZJZJ" (little-endian). False with *err when it is neither.
  bool read_signature(bool accept_reversed, std::string* err);
  bool little_endian() const { return little_; }

  // The next chunk header. kEnd on a clean end or a short header (the stream simply stops
  // there); kError with *err for a size below 16. The previous chunk's unread body is skipped.
  Status next_chunk(ChunkHeader* h, std::string* err);

  // Bytes of the current chunk's body not read yet.
  uint64_t remaining() const { return remaining_; }
  // Reads up to n bytes of the current body; returns the count (0 at its end or at end of file).
  size_t read_body(void* buf, size_t n);
  // The current chunk's raw header bytes, as found.
  const unsigned char* header_bytes() const { return header_; }
  // Skips the rest of the current body; false when the file ends first.
  bool skip_body();
  // Reads the items of the current chunk (bounded by its size), stopping at the first
  // non-numeric item when numeric_only, and consumes the bytes it read.
  std::vector<Item> read_items(uint32_t count, bool numeric_only);

  // Position in the file of the next unread byte.
  uint64_t offset() const { return offset_; }
  // Raw reads outside the chunk structure (signature, preambles).
  size_t read_raw(void* buf, size_t n);
  int fd() const { return fd_.get(); }

 private:
  bool fill();

  ld::UniqueFd fd_;
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(1 << 16);
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
  bool little_ = false;
  uint64_t offset_ = 0;
  uint64_t remaining_ = 0;
  unsigned char header_[kHeaderSize] = {};
};

}  // namespace zjs
