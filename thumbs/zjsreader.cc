#include "thumbs/zjsreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"

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

ChunkClass chunk_class(uint32_t type) {
  switch (type) {
    case 0: case 1: case 2: case 3: case 6: case 7: case 9: case 10: case 11: case 13: case 15:
      return kClassItems;
    case 4: case 5: case 8: return kClassPayload;
    case 12: return kClassItemsPayload;
    case 14: return kClassData;
    default: return kClassNone;
  }
}

bool JobReader::open(const std::string& path, std::string* err) {
  // Non-blocking, so that a FIFO or device under a job's name cannot stall the run; only
  // regular files are jobs.
  fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (err) *err = !fd_.valid() ? std::strerror(errno) : S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    fd_.reset();
    return false;
  }
  ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
  size_ = static_cast<uint64_t>(st.st_size);
  pos_ = len_ = 0;
  back_.clear();
  offset_ = 0;
  error_ = false;
  return true;
}

long JobReader::read(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  if (!back_.empty()) {
    size_t take = std::min(n, back_.size());
    std::memcpy(p, back_.data(), take);
    back_.erase(0, take);
    got = take;
  }
  while (got < n) {
    if (pos_ == len_) {
      if (error_) break;
      ssize_t r = ::read(fd_.get(), buf_, kBufSize);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        error_ = true;
        offset_ += got;
        return -1;
      }
      if (r == 0) break;
      pos_ = 0;
      len_ = static_cast<size_t>(r);
    }
    size_t take = std::min(n - got, len_ - pos_);
    std::memcpy(p + got, buf_ + pos_, take);
    pos_ += take;
    got += take;
  }
  offset_ += got;
  return static_cast<long>(got);
}

bool JobReader::unread(const void* buf, size_t n) {
  if (n > offset_ || back_.size() + n > kMaxPushBack) return false;
  back_.insert(0, static_cast<const char*>(buf), n);
  offset_ -= n;
  return true;
}

bool JobReader::skip(uint64_t n) {
  size_t from_back = static_cast<size_t>(std::min<uint64_t>(n, back_.size()));
  back_.erase(0, from_back);
  offset_ += from_back;
  n -= from_back;
  size_t from_buf = static_cast<size_t>(std::min<uint64_t>(n, len_ - pos_));
  pos_ += from_buf;
  offset_ += from_buf;
  n -= from_buf;
  if (n == 0) return true;
  // The rest lies beyond the buffer: seek, as long as the file holds it.
  if (offset_ + n > size_) {
    offset_ = size_;
    pos_ = len_ = 0;
    ::lseek(fd_.get(), 0, SEEK_END);
    return false;
  }
  offset_ += n;
  pos_ = len_ = 0;
  return ::lseek(fd_.get(), static_cast<off_t>(offset_), SEEK_SET) >= 0;
}

namespace {

constexpr char kUel[] = "\x1b%-12345X";
constexpr size_t kUelLen = 9;
constexpr size_t kMaxPjlLine = 1024;

bool permitted(unsigned char c) { return c == '\t' || c == '\r' || (c >= 0x20 && c < 0x7f); }

// One line up to and including LF: false (bytes pushed back) when it is longer than the limit,
// holds a byte that does not belong in a PJL line, or the file ends first.
bool read_line(JobReader& r, std::string* line) {
  line->clear();
  unsigned char c;
  while (line->size() < kMaxPjlLine && r.read(&c, 1) == 1) {
    line->push_back(static_cast<char>(c));
    if (c == '\n') return true;
    if (!permitted(c)) break;
  }
  r.unread(line->data(), line->size());
  return false;
}

}  // namespace

int sniff_pjl(JobReader& r, bool* no_enter) {
  if (no_enter) *no_enter = false;
  char head[kUelLen];
  long n = r.read(head, kUelLen);
  if (n != static_cast<long>(kUelLen) || std::memcmp(head, kUel, kUelLen) != 0) {
    if (n > 0) r.unread(head, static_cast<size_t>(n));
    return -1;
  }
  std::string line;
  while (read_line(r, &line)) {
    bool pjl = line.size() >= 5 && line.compare(0, 4, "@PJL") == 0 &&
               std::isspace(static_cast<unsigned char>(line[4]));
    if (!pjl) {
      r.unread(line.data(), line.size());
      break;
    }
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (line.find("ENTER LANGUAGE") != std::string::npos)
      return line.find("ZJS") != std::string::npos ? kLangZjs : kLangUnidentified;
  }
  if (no_enter) *no_enter = true;
  return kLangUnidentified;
}

void skip_pjl_tail(JobReader& r) {
  unsigned char c;
  // The rest of an unterminated "@PJL" line (it ends at a NUL or the line end).
  std::string head;
  while (head.size() < kMaxPjlLine && r.read(&c, 1) == 1) {
    if (c == 0 || c == '\n' || c == 0x1b) {
      r.unread(&c, 1);
      break;
    }
    head.push_back(static_cast<char>(c));
  }
  bool pjl_line = head.size() >= 5 && head.compare(0, 4, "@PJL") == 0 &&
                  std::isspace(static_cast<unsigned char>(head[4]));
  if (!head.empty() && !pjl_line) {
    r.unread(head.data(), head.size());
    return;
  }
  for (;;) {
    if (r.read(&c, 1) != 1) return;
    if (c == 0 || c == '\r' || c == '\n') continue;
    if (c == 0x1b) {
      char rest[kUelLen - 1];
      long n = r.read(rest, sizeof rest);
      if (n == static_cast<long>(sizeof rest) && std::memcmp(rest, kUel + 1, sizeof rest) == 0) continue;
      if (n > 0) r.unread(rest, static_cast<size_t>(n));
    }
    r.unread(&c, 1);
    return;
  }
}

int sniff_zjs(JobReader& r) {
  char sig[4];
  long n = r.read(sig, 4);
  if (n > 0) r.unread(sig, static_cast<size_t>(n));
  if (n != 4) return 0;
  if (std::memcmp(sig, "JZJZ", 4) == 0) return 1;
  if (std::memcmp(sig, "ZJZJ", 4) == 0) return 2;
  return 0;
}

int read_chunk(JobReader& r, bool little, Chunk* c) {
  unsigned char h[16];
  long n = r.read(h, sizeof h);
  if (n == 0) return kZjsEnd;
  if (n < 0) return kZjsReadError;
  if (n != 16) return kZjsReadError;
  auto u32 = [little](const unsigned char* b) { return little ? ld::get_le32(b) : val32(b); };
  auto u16 = [little](const unsigned char* b) { return little ? ld::get_le16(b) : val16(b); };
  c->size = u32(h);
  c->type = u32(h + 4);
  c->items = u32(h + 8);
  c->reserved = u16(h + 12);
  c->signature = u16(h + 14);
  c->attrs.clear();
  c->payload_offset = 0;
  c->payload_len = 0;
  if (c->signature != 0x5A5A) return kZjsBadHeader;
  if (c->size < 16) return kZjsBadSize;
  uint64_t body = c->size - 16;
  ChunkClass cls = chunk_class(c->type);
  uint64_t item_bytes = 0;
  if (cls == kClassItems || cls == kClassItemsPayload) {
    for (uint32_t i = 0; i < c->items; ++i) {
      unsigned char ih[12];
      if (item_bytes + 8 > body) return kZjsBadSize;
      n = r.read(ih, 8);
      if (n != 8) return kZjsReadError;
      uint32_t isize = u32(ih);
      if (isize < 8 || isize > body - item_bytes) return kZjsBadSize;
      uint32_t rest = isize - 8;
      uint32_t value = 0;
      if (rest >= 4) {
        if (r.read(ih + 8, 4) != 4) return kZjsReadError;
        value = u32(ih + 8);
        rest -= 4;
      }
      if (rest > 0 && !r.skip(rest)) return kZjsReadError;
      item_bytes += isize;
      if (c->attrs.size() < kMaxItemsKept) c->attrs.push_back({u16(ih + 4), value});
    }
  }
  uint64_t payload = body - item_bytes;
  uint64_t counted = payload;
  if (cls == kClassData) {
    if (c->items > payload) return kZjsBadSize;
    counted = c->items;
  }
  c->payload_offset = r.offset();
  c->payload_len = counted;
  if (!r.skip(payload)) return kZjsReadError;
  return kZjsOk;
}

}  // namespace thumbs
