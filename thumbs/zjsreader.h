// The page decoder's input layer over the job stream reader: the PJL and signature sniffers
// that find where the ZjStream starts, and the chunk layer that reads one chunk header with its
// items and reports where the payload lies (payloads are not loaded), with the decoder's codes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "spooler/jobstream.h"

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

// The PJL sniffer: -1 when the stream does not start with a universal exit (the sniffer does not
// apply); kLangZjs when "@PJL" lines lead to an ENTER LANGUAGE line naming ZJS; otherwise
// kLangUnidentified, with *no_enter set when the lines simply stopped without any ENTER LANGUAGE.
// Bytes not used are stepped back over.
int sniff_pjl(zjs::Reader& r, bool* no_enter = nullptr);
// After a PJL header that ended without ENTER LANGUAGE (some drivers close it with a NUL and a
// second universal exit), skips the line's remainder, NULs, line ends and universal exits.
void skip_pjl_tail(zjs::Reader& r);
// The signature sniffer: reads 4 bytes and steps back over them. 1 for "JZJZ" (big-endian numbers),
// 2 for "ZJZJ" (little-endian), 0 otherwise.
int sniff_zjs(zjs::Reader& r);

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
int read_chunk(zjs::Reader& r, bool little, Chunk* c);
constexpr size_t kMaxItemsKept = 1024;

}  // namespace thumbs
