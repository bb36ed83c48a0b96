// The page decoder's input layer: a buffered reader with push-back over a job file, the PJL and
// signature sniffers that find where the ZjStream starts, and the chunk layer that reads one
// chunk header with its items and reports where the payload lies (payloads are not loaded).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/handles.h"

namespace thumbs {

// Stream languages, as numbered by the sniffers.
enum Language { kLangUnidentified = 0, kLangPjl = 1, kLangZjs = 3, kLangPcl = 4 };
// "Unidentified", "PJL", "ZJS", "PCL".
const char* language_name(int lang);

// Chunk-layer result codes.
enum ChunkResult {
  kZjsOk = 0, kZjsEnd = -1, kZjsBadSignature = -2, kZjsBadHeader = -3, kZjsBadSize = -4,
  kZjsNoMemory = -5, kZjsReadError = -6, kZjsAborted = -7,
};
// "No error" ... "Aborted"; "Unidentified" for any other code.
const char* zjs_error_text(int code);

enum ChunkClass { kClassNone, kClassItems, kClassPayload, kClassItemsPayload, kClassData };
ChunkClass chunk_class(uint32_t type);

// Buffered reader over a file with a 4096-byte buffer. Bytes read ahead by a sniffer can be
// pushed back and are read again first.
class JobReader {
 public:
  static constexpr size_t kBufSize = 4096;
  static constexpr size_t kMaxPushBack = 8192;

  bool open(const std::string& path, std::string* err);
  // Up to n bytes; fewer at the end of the file. -1 on a read error.
  long read(void* buf, size_t n);
  // Puts bytes back in front of the stream (they are read before anything else). False when
  // more than kMaxPushBack bytes would be held.
  bool unread(const void* buf, size_t n);
  // Skips n bytes; false when the file ends first.
  bool skip(uint64_t n);
  // File offset of the next byte read.
  uint64_t offset() const { return offset_; }
  uint64_t file_size() const { return size_; }
  int fd() const { return fd_.get(); }

 private:
  ld::UniqueFd fd_;
  unsigned char buf_[kBufSize];
  size_t pos_ = 0, len_ = 0;
  std::string back_;  // pushed-back bytes, next byte first
  uint64_t offset_ = 0;
  uint64_t size_ = 0;
  bool error_ = false;
};

// The PJL sniffer: -1 when the stream does not start with a universal exit (the sniffer does not
// apply); kLangZjs when "@PJL" lines lead to an ENTER LANGUAGE line naming ZJS; otherwise
// kLangUnidentified, with *no_enter set when the lines simply stopped without any ENTER LANGUAGE.
// Bytes not used are pushed back.
int sniff_pjl(JobReader& r, bool* no_enter = nullptr);
// After a PJL header that ended without ENTER LANGUAGE (some drivers close it with a NUL and a
// second universal exit), skips the line's remainder, NULs, line ends and universal exits.
void skip_pjl_tail(JobReader& r);
// The signature sniffer: reads 4 bytes and pushes them back. 1 for "JZJZ" (big-endian numbers),
// 2 for "ZJZJ" (little-endian), 0 otherwise.
int sniff_zjs(JobReader& r);

struct ChunkAttr {
  uint16_t id;
  uint32_t value;
};

struct Chunk {
  uint32_t size = 0, type = 0, items = 0;
  uint16_t reserved = 0, signature = 0;
  std::vector<ChunkAttr> attrs;  // the items, in stream order
  uint64_t payload_offset = 0;   // file offset of the payload
  uint64_t payload_len = 0;      // bytes of payload that count
};

// Reads one chunk: header, items (at most kMaxItemsKept are kept, the rest are read and dropped),
// and steps over the payload. Returns a ChunkResult. `little` selects the byte order.
int read_chunk(JobReader& r, bool little, Chunk* c);
constexpr size_t kMaxItemsKept = 1024;

}  // namespace thumbs
