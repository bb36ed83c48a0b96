#include "thumbs/zjsreader.h"

#include <cctype>
#include <cstring>

namespace thumbs {

const char* language_name(int lang) {
  switch (lang) {
    case kLangPjl: return "PJL";
    case kLangZjs: return "ZJS";
    case kLangPcl: return "PCL";
    default: return "Unidentified";
  }
}

const char* zjs_error_text(int code) {
  static const char* const texts[] = {"No error",   "End of job",   "Bad ZJS signature",
                                      "Bad header signature", "Bad data size", "Out of memory",
                                      "Read error", "Aborted"};
  return code <= 0 && code >= -7 ? texts[-code] : "Unidentified";
}

namespace {

constexpr char kUel[] = "\x1b%-12345X";
constexpr size_t kUelLen = 9;
constexpr size_t kMaxPjlLine = 1024;

bool permitted(unsigned char c) { return c == '\t' || c == '\r' || (c >= 0x20 && c < 0x7f); }

// One line up to and including LF: false (stepped back over) when it is longer than the limit,
// holds a byte that does not belong in a PJL line, or the file ends first.
bool read_line(zjs::Reader& r, std::string* line) {
  line->clear();
  unsigned char c;
  while (line->size() < kMaxPjlLine && r.read(&c, 1) == 1) {
    line->push_back(static_cast<char>(c));
    if (c == '\n') return true;
    if (!permitted(c)) break;
  }
  r.rewind(line->size());
  return false;
}

}  // namespace

int sniff_pjl(zjs::Reader& r, bool* no_enter) {
  if (no_enter) *no_enter = false;
  char head[kUelLen];
  long n = r.read(head, kUelLen);
  if (n != static_cast<long>(kUelLen) || std::memcmp(head, kUel, kUelLen) != 0) {
    if (n > 0) r.rewind(static_cast<size_t>(n));
    return -1;
  }
  std::string line;
  while (read_line(r, &line)) {
    bool pjl = line.size() >= 5 && line.compare(0, 4, "@PJL") == 0 &&
               std::isspace(static_cast<unsigned char>(line[4]));
    if (!pjl) {
      r.rewind(line.size());
      break;
    }
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (line.find("ENTER LANGUAGE") != std::string::npos)
      return line.find("ZJS") != std::string::npos ? kLangZjs : kLangUnidentified;
  }
  if (no_enter) *no_enter = true;
  return kLangUnidentified;
}

void skip_pjl_tail(zjs::Reader& r) {
  unsigned char c;
  // The rest of an unterminated "@PJL" line (it ends at a NUL or the line end).
  std::string head;
  while (head.size() < kMaxPjlLine && r.read(&c, 1) == 1) {
    if (c == 0 || c == '\n' || c == 0x1b) {
      r.rewind(1);
      break;
    }
    head.push_back(static_cast<char>(c));
  }
  bool pjl_line = head.size() >= 5 && head.compare(0, 4, "@PJL") == 0 &&
                  std::isspace(static_cast<unsigned char>(head[4]));
  if (!head.empty() && !pjl_line) {
    r.rewind(head.size());
    return;
  }
  for (;;) {
    if (r.read(&c, 1) != 1) return;
    if (c == 0 || c == '\r' || c == '\n') continue;
    if (c == 0x1b) {
      char rest[kUelLen - 1];
      long n = r.read(rest, sizeof rest);
      if (n == static_cast<long>(sizeof rest) && std::memcmp(rest, kUel + 1, sizeof rest) == 0) continue;
      if (n > 0) r.rewind(static_cast<size_t>(n));
    }
    r.rewind(1);
    return;
  }
}

int sniff_zjs(zjs::Reader& r) {
  unsigned char sig[zjs::kSignatureSize];
  long n = r.read(sig, sizeof sig);
  if (n > 0) r.rewind(static_cast<size_t>(n));
  switch (zjs::classify_signature(sig, n < 0 ? 0 : static_cast<size_t>(n))) {
    case zjs::Signature::kBigEndian: return 1;
    case zjs::Signature::kLittleEndian: return 2;
    default: return 0;
  }
}

namespace {

int chunk_result(zjs::Reader::Status st) {
  switch (st) {
    case zjs::Reader::kOk: return kZjsOk;
    case zjs::Reader::kEnd: return kZjsEnd;
    case zjs::Reader::kBadSize: return kZjsBadSize;
    default: return kZjsReadError;
  }
}

// The chunk's items, as many as its header announces; the first kMaxItemsKept are kept.
int read_attrs(zjs::Reader& r, Chunk* c) {
  for (uint32_t i = 0; i < c->items; ++i) {
    zjs::Item it;
    zjs::Reader::Status st = r.next_item(&it);
    if (st != zjs::Reader::kOk) return chunk_result(st);
    if (c->attrs.size() < kMaxItemsKept) c->attrs.push_back({it.id, it.value});
  }
  return kZjsOk;
}

}  // namespace

int read_chunk(zjs::Reader& r, bool little, Chunk* c) {
  r.set_little_endian(little);
  zjs::ChunkHeader h;
  zjs::Reader::Status st = r.next_chunk(&h);
  c->attrs.clear();
  c->payload_offset = 0;
  c->payload_len = 0;
  if (st != zjs::Reader::kOk && st != zjs::Reader::kBadSize) return chunk_result(st);
  c->size = h.size;
  c->type = h.type;
  c->items = h.items;
  c->reserved = h.reserved;
  c->signature = h.signature;
  if (c->signature != zjs::kChunkSignature) return kZjsBadHeader;
  if (st == zjs::Reader::kBadSize) return kZjsBadSize;
  const zjs::ChunkClass cls = zjs::chunk_class(c->type);
  if (zjs::has_items(cls)) {
    int rc = read_attrs(r, c);
    if (rc != kZjsOk) return rc;
  }
  const uint64_t payload = r.remaining();
  uint64_t counted = payload;
  if (cls == zjs::kClassData) {
    if (c->items > payload) return kZjsBadSize;
    counted = c->items;
  }
  c->payload_offset = r.offset();
  c->payload_len = counted;
  if (!r.skip_body(payload)) return kZjsReadError;
  return kZjsOk;
}

}  // namespace thumbs
