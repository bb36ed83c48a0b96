// The ZjStream job format, for every program that reads or writes jobs (receiver, filter, page
// decoder, upload check): named chunk types and item ids, the header and item codec in both byte
// orders, the one chunk reader, the page-count insertion and storing a new job without ever
// replacing a file. Sizes announced by a file are never trusted for allocation.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"

namespace zjs {

enum ChunkType : uint32_t {
  START_DOC = 0, END_DOC = 1, START_PAGE = 2, END_PAGE = 3, JBIG_BIH = 4, JBIG_BID = 5,
  END_JBIG = 6, SIGNATURE = 7, RAW_IMAGE = 8, START_PLANE = 9, END_PLANE = 10, PAUSE = 11,
  BITMAP = 12, ZX_START = 13, ZX_DATA = 14, ZX_END = 15, OPAQUE_DATA = 16,
};

// Item ids the appliance reads or writes.
constexpr uint16_t ZJI_PAGECOUNT = 0;
constexpr uint16_t ZJI_COPIES = 4;
constexpr uint16_t ZJI_WIDTH = 12;
constexpr uint16_t ZJI_LENGTH = 13;
constexpr uint16_t ZJI_HEIGHT = 14;
constexpr uint16_t ZJI_QUALITY = 113;
constexpr uint16_t ZJI_SETTING_ZERO = 0x8510;  // the filter always sets it to 0
constexpr uint16_t ZJI_SETTING_8512 = 0x8512;
constexpr uint16_t ZJI_SETTING_8513 = 0x8513;
constexpr uint16_t ZJI_DISP = 0x8514;          // the filter sets it to the job's disp value

constexpr uint16_t kChunkSignature = 0x5A5A;
constexpr size_t kHeaderSize = 16;
constexpr size_t kItemHeaderSize = 8;
constexpr size_t kNumericItemSize = 12;
constexpr size_t kSignatureSize = 4;

// "START_DOC" ... "OPAQUE_DATA", or "unknown".
const char* chunk_type_name(uint32_t type);

// What a chunk's body holds, by its type.
enum ChunkClass { kClassNone, kClassItems, kClassPayload, kClassItemsPayload, kClassData };
// ZX_DATA is the one kClassData type: its `items` field counts the payload bytes that matter.
ChunkClass chunk_class(uint32_t type);
inline bool has_items(ChunkClass c) { return c == kClassItems || c == kClassItemsPayload; }

// The byte order that a stream's first four bytes announce: "JZJZ" big-endian numbers,
// "ZJZJ" little-endian ones (which only the page decoder accepts).
enum class Signature { kNone, kBigEndian, kLittleEndian };
Signature classify_signature(const unsigned char* b, size_t n);

struct ChunkHeader {
  uint32_t size = 0;   // whole chunk, header included
  uint32_t type = 0;
  uint32_t items = 0;  // item count, or the payload length of ZX_DATA
  uint16_t reserved = 0;
  uint16_t signature = kChunkSignature;
};

ChunkHeader decode_header(const unsigned char* b, bool little_endian = false);
void encode_header(const ChunkHeader& h, unsigned char* b, bool little_endian = false);

struct Item {
  uint32_t size = kNumericItemSize;
  uint16_t id = 0;
  uint8_t type = 1;   // 0 or 1: numeric (drivers write 1)
  uint8_t param = 0;
  uint32_t value = 0;  // the first four value bytes, when the record holds them
  bool numeric() const { return type <= 1; }
};

// An item record's first 8 bytes, plus the 4-byte value when size says the record holds it
// (`b` must then hold 12 bytes).
Item decode_item(const unsigned char* b, bool little_endian = false);
// Always 12 bytes: size, id, type, parameter, value.
void encode_item(const Item& it, unsigned char* b, bool little_endian = false);

// Walks the items area of a chunk held in memory (the bytes after its header): records of at
// least 12 bytes, stopping at one that does not fit in the area. Returns the items read.
std::vector<Item> parse_items(const unsigned char* area, size_t len, uint32_t count,
                              bool little_endian = false);

// Buffered reader of a job file. It reads with pread at its own position, so several readers
// can walk the same open file at different places (the filter reads chunks again for its
// prologue and collated copies while its main walk goes on), and stepping back is free.
class Reader {
 public:
  enum Status { kOk, kEnd, kShort, kBadSize, kReadError };
  static constexpr size_t kBufSize = 4096;

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool open(const std::string& path, std::string* err);
  // Regular files only, and opening never blocks (a FIFO under a job's name could stall a run).
  bool open_regular(const std::string& path, std::string* err);
  // Another reader over the same open file, at `offset`, with this one's byte order. It must
  // not outlive this reader.
  void view(const Reader& of, uint64_t offset);

  // Reads the 4-byte signature: "JZJZ", or with accept_reversed also "ZJZJ" (which sets the
  // little-endian order). False with *err when it is neither.
  bool read_signature(bool accept_reversed, std::string* err);
  bool little_endian() const { return little_; }
  void set_little_endian(bool le) { little_ = le; }

  // The next chunk header; the previous chunk's unread body is stepped over first. kEnd when
  // no byte is left, kShort when the file ends inside the header, kReadError when it cannot be
  // read, kBadSize (h filled) for a size below 16. *err, when given, says which.
  Status next_chunk(ChunkHeader* h, std::string* err = nullptr);
  // Whether the current chunk's body lies wholly inside the file.
  bool chunk_in_file() const { return offset_ + remaining_ <= size_; }
  // Bytes of the current chunk's body not read yet.
  uint64_t remaining() const { return remaining_; }
  // Up to n bytes of the current body; the count read (0 at its end or at the end of file).
  size_t read_body(void* buf, size_t n);
  // Steps over n body bytes (at most what remains); false when the file ends first.
  bool skip_body(uint64_t n);

  // The next item record's 8-byte header (`it` filled). kBadSize when fewer than 8 body bytes
  // remain (nothing read), or when the record is shorter than 8 bytes or passes the chunk (its
  // header is consumed); kShort when the file ends inside it.
  Status read_item_header(Item* it);
  // A whole item record: its header, its first four value bytes when it has them, the rest
  // stepped over. The same results, and kShort when the file ends inside the record.
  Status next_item(Item* it);

  // Raw access outside the chunk structure (preambles, sniffers): -1 on a read error.
  long read(void* buf, size_t n);
  // Steps back over n bytes just read; false when that would pass the start of the file.
  bool rewind(size_t n);
  // Steps over n bytes; false (at the end of the file) when it ends first.
  bool skip(uint64_t n);

  // Position of the next unread byte.
  uint64_t offset() const { return offset_; }
  uint64_t file_size() const { return size_; }
  int fd() const { return fd_ >= 0 ? fd_ : owned_.get(); }

 private:
  bool opened(std::string* err, const std::string& path);

  ld::UniqueFd owned_;
  int fd_ = -1;  // a borrowed descriptor (a view); otherwise owned_ is used
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  uint64_t remaining_ = 0;
  bool little_ = false;
  bool error_ = false;
  std::array<unsigned char, kBufSize> buf_{};
  uint64_t buf_at_ = 0;  // file offset of buf_[0]
  size_t buf_len_ = 0;
};

// Whether the file is a "JZJZ" job whose chunks can all be read whole up to its end: a job that
// a failed filter run may still filter later, where a cut or broken one never will be.
bool stream_is_whole(const std::string& path);

// The START_DOC chunk with a ZJI_PAGECOUNT item (`chunk` is its header and items area as
// stored). When it has none, one 12-byte item is appended: the first item's size, type and
// parameter bytes (a numeric item as drivers write them when there is no first item), id 0 and
// `pages` as value; items grows by 1 and size by 12. *inserted says whether it was added.
// False with *err when the bytes are not a whole START_DOC chunk.
bool with_page_count(std::string_view chunk, uint32_t pages, std::string* out, bool* inserted,
                     std::string* err);

}  // namespace zjs
