#include "spooler/zjs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"

namespace zjs {
namespace {

uint32_t get32(const unsigned char* b, bool le) { return le ? ld::get_le32(b) : val32(b); }
uint16_t get16(const unsigned char* b, bool le) { return le ? ld::get_le16(b) : val16(b); }

}  // namespace

const char* chunk_type_name(uint32_t type) {
  static const char* const names[] = {
      "START_DOC",  "END_DOC",   "START_PAGE", "END_PAGE", "JBIG_BIH",    "JBIG_BID",
      "END_JBIG",   "SIGNATURE", "RAW_IMAGE",  "START_PLANE", "END_PLANE", "PAUSE",
      "BITMAP",     "ZX_START",  "ZX_DATA",    "ZX_END",   "OPAQUE_DATA"};
  return type <= OPAQUE_DATA ? names[type] : "unknown";
}

ChunkHeader decode_header(const unsigned char* b, bool le) {
  ChunkHeader h;
  h.size = get32(b, le);
  h.type = get32(b + 4, le);
  h.items = get32(b + 8, le);
  h.reserved = get16(b + 12, le);
  h.signature = get16(b + 14, le);
  return h;
}

void encode_header(const ChunkHeader& h, unsigned char* b) {
  write32(h.size, b);
  write32(h.type, b + 4);
  write32(h.items, b + 8);
  ld::put_be16(h.reserved, b + 12);
  ld::put_be16(h.signature, b + 14);
}

Item decode_item(const unsigned char* b, bool le) {
  Item it;
  it.size = get32(b, le);
  it.id = get16(b + 4, le);
  it.type = b[6];
  it.param = b[7];
  it.value = it.size >= kNumericItemSize ? get32(b + 8, le) : 0;
  return it;
}

void encode_item(const Item& it, unsigned char* b) {
  write32(it.size, b);
  ld::put_be16(it.id, b + 4);
  b[6] = it.type;
  b[7] = it.param;
  write32(it.value, b + 8);
}

std::string item_text(uint16_t id, uint32_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%x=%d", id, static_cast<int32_t>(value));
  return buf;
}

std::vector<Item> parse_items(const unsigned char* area, size_t len, uint32_t count, bool le) {
  std::vector<Item> out;
  size_t pos = 0;
  for (uint32_t i = 0; i < count && pos + kNumericItemSize <= len; ++i) {
    Item it = decode_item(area + pos, le);
    if (it.size < kNumericItemSize || it.size > len - pos) break;
    out.push_back(it);
    pos += it.size;
  }
  return out;
}

bool Reader::open(const std::string& path, std::string* err) {
  fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.valid()) {
    if (err) *err = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  pos_ = len_ = 0;
  eof_ = false;
  offset_ = remaining_ = 0;
  return true;
}

bool Reader::fill() {
  if (eof_) return false;
  if (pos_ < len_) return true;
  pos_ = len_ = 0;
  for (;;) {
    ssize_t r = ::read(fd_.get(), buf_.data(), buf_.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      eof_ = true;
      return false;
    }
    len_ = static_cast<size_t>(r);
    return true;
  }
}

size_t Reader::read_raw(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    if (pos_ >= len_ && !fill()) break;
    size_t take = std::min(n - got, len_ - pos_);
    std::memcpy(p + got, buf_.data() + pos_, take);
    pos_ += take;
    got += take;
  }
  offset_ += got;
  return got;
}

bool Reader::read_signature(bool accept_reversed, std::string* err) {
  unsigned char sig[4];
  if (read_raw(sig, 4) == 4) {
    if (std::memcmp(sig, "JZJZ", 4) == 0) {
      little_ = false;
      return true;
    }
    if (accept_reversed && std::memcmp(sig, "ZJZJ", 4) == 0) {
      little_ = true;
      return true;
    }
  }
  if (err) *err = "not a ZjStream job (no JZJZ signature)";
  return false;
}

Reader::Status Reader::next_chunk(ChunkHeader* h, std::string* err) {
  if (remaining_ > 0 && !skip_body()) return kEnd;
  if (read_raw(header_, kHeaderSize) != kHeaderSize) return kEnd;
  *h = decode_header(header_, little_);
  if (h->size < kHeaderSize) {
    if (err) {
      char msg[96];
      std::snprintf(msg, sizeof msg, "chunk size %u below 16 at offset %llu", h->size,
                    static_cast<unsigned long long>(offset_ - kHeaderSize));
      *err = msg;
    }
    return kError;
  }
  remaining_ = h->size - kHeaderSize;
  return kOk;
}

size_t Reader::read_body(void* out, size_t n) {
  size_t want = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
  size_t got = read_raw(out, want);
  remaining_ -= got;
  return got;
}

bool Reader::skip_body() {
  // Skip what is buffered, then seek past the rest (pipes fall back to reading).
  size_t in_buf = static_cast<size_t>(std::min<uint64_t>(remaining_, len_ - pos_));
  pos_ += in_buf;
  offset_ += in_buf;
  remaining_ -= in_buf;
  if (remaining_ == 0) return true;
  off_t here = ::lseek(fd_.get(), 0, SEEK_CUR);
  off_t end = here >= 0 ? ::lseek(fd_.get(), 0, SEEK_END) : -1;
  if (here >= 0 && end >= 0) {
    uint64_t avail = static_cast<uint64_t>(end - here);
    uint64_t skip = std::min(avail, remaining_);
    ::lseek(fd_.get(), here + static_cast<off_t>(skip), SEEK_SET);
    offset_ += skip;
    remaining_ -= skip;
    if (remaining_ > 0) eof_ = true;
    return remaining_ == 0;
  }
  unsigned char tmp[4096];
  while (remaining_ > 0) {
    if (read_body(tmp, sizeof tmp) == 0) return false;
  }
  return true;
}

std::vector<Item> Reader::read_items(uint32_t count, bool numeric_only) {
  std::vector<Item> out;
  for (uint32_t i = 0; i < count && remaining_ >= kItemHeaderSize; ++i) {
    unsigned char b[kNumericItemSize] = {};
    if (read_body(b, kItemHeaderSize) != kItemHeaderSize) break;
    Item it = decode_item(b, little_);
    if (numeric_only && !it.numeric()) break;
    uint64_t value_len = it.size > kItemHeaderSize ? it.size - kItemHeaderSize : 0;
    if (value_len > remaining_) value_len = remaining_;
    size_t head = static_cast<size_t>(std::min<uint64_t>(value_len, 4));
    if (read_body(b + kItemHeaderSize, head) != head) break;
    it.value = head == 4 ? (little_ ? ld::get_le32(b + 8) : val32(b + 8)) : 0;
    // Longer values are not numbers the appliance uses; step over them.
    for (uint64_t rest = value_len - head; rest > 0;) {
      unsigned char skip[256];
      size_t n = read_body(skip, static_cast<size_t>(std::min<uint64_t>(rest, sizeof skip)));
      if (n == 0) break;
      rest -= n;
    }
    out.push_back(it);
  }
  return out;
}

}  // namespace zjs
