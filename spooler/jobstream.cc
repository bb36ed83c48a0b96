#include "spooler/jobstream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"

namespace zjs {
namespace {

uint32_t get32(const unsigned char* b, bool le) { return le ? ld::get_le32(b) : val32(b); }
uint16_t get16(const unsigned char* b, bool le) { return le ? ld::get_le16(b) : val16(b); }
void put32(uint32_t v, unsigned char* b, bool le) { le ? ld::put_le32(v, b) : write32(v, b); }
void put16(uint16_t v, unsigned char* b, bool le) { le ? ld::put_le16(v, b) : ld::put_be16(v, b); }

}  // namespace

const char* chunk_type_name(uint32_t type) {
  static const char* const names[] = {
      "START_DOC",  "END_DOC",   "START_PAGE", "END_PAGE", "JBIG_BIH",    "JBIG_BID",
      "END_JBIG",   "SIGNATURE", "RAW_IMAGE",  "START_PLANE", "END_PLANE", "PAUSE",
      "BITMAP",     "ZX_START",  "ZX_DATA",    "ZX_END",   "OPAQUE_DATA"};
  return type <= OPAQUE_DATA ? names[type] : "unknown";
}

ChunkClass chunk_class(uint32_t type) {
  switch (type) {
    case START_DOC: case END_DOC: case START_PAGE: case END_PAGE: case END_JBIG: case SIGNATURE:
    case START_PLANE: case END_PLANE: case PAUSE: case ZX_START: case ZX_END:
      return kClassItems;
    case JBIG_BIH: case JBIG_BID: case RAW_IMAGE: return kClassPayload;
    case BITMAP: return kClassItemsPayload;
    case ZX_DATA: return kClassData;
    default: return kClassNone;  // OPAQUE_DATA and unknown types: bodies not interpreted
  }
}

Signature classify_signature(const unsigned char* b, size_t n) {
  if (n < kSignatureSize) return Signature::kNone;
  if (std::memcmp(b, "JZJZ", 4) == 0) return Signature::kBigEndian;
  if (std::memcmp(b, "ZJZJ", 4) == 0) return Signature::kLittleEndian;
  return Signature::kNone;
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

void encode_header(const ChunkHeader& h, unsigned char* b, bool le) {
  put32(h.size, b, le);
  put32(h.type, b + 4, le);
  put32(h.items, b + 8, le);
  put16(h.reserved, b + 12, le);
  put16(h.signature, b + 14, le);
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

void encode_item(const Item& it, unsigned char* b, bool le) {
  put32(it.size, b, le);
  put16(it.id, b + 4, le);
  b[6] = it.type;
  b[7] = it.param;
  put32(it.value, b + 8, le);
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

// ---- the reader ------------------------------------------------------------------------------

bool Reader::opened(std::string* err, const std::string& path) {
  struct stat st;
  if (::fstat(owned_.get(), &st) != 0) {
    if (err) *err = "cannot open " + path + ": " + std::strerror(errno);
    owned_.reset();
    return false;
  }
  fd_ = -1;
  size_ = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
  offset_ = remaining_ = 0;
  buf_at_ = buf_len_ = 0;
  little_ = error_ = false;
  return true;
}

bool Reader::open(const std::string& path, std::string* err) {
  owned_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!owned_.valid()) {
    if (err) *err = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  return opened(err, path);
}

bool Reader::open_regular(const std::string& path, std::string* err) {
  owned_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!owned_.valid() || ::fstat(owned_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (err) *err = !owned_.valid() ? std::strerror(errno) : S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    owned_.reset();
    return false;
  }
  ::fcntl(owned_.get(), F_SETFL, ::fcntl(owned_.get(), F_GETFL) & ~O_NONBLOCK);
  return opened(err, path);
}

void Reader::view(const Reader& of, uint64_t offset) {
  owned_.reset();
  fd_ = of.fd();
  size_ = of.size_;
  little_ = of.little_;
  offset_ = offset;
  remaining_ = 0;
  buf_at_ = buf_len_ = 0;
  error_ = false;
}

long Reader::read(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    if (offset_ < buf_at_ || offset_ >= buf_at_ + buf_len_) {
      if (error_) break;
      ssize_t r = ::pread(fd(), buf_.data(), buf_.size(), static_cast<off_t>(offset_));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        error_ = true;
        return -1;
      }
      if (r == 0) break;
      buf_at_ = offset_;
      buf_len_ = static_cast<size_t>(r);
    }
    size_t at = static_cast<size_t>(offset_ - buf_at_);
    size_t take = std::min(n - got, buf_len_ - at);
    std::memcpy(p + got, buf_.data() + at, take);
    got += take;
    offset_ += take;
  }
  return static_cast<long>(got);
}

bool Reader::rewind(size_t n) {
  if (n > offset_) return false;
  offset_ -= n;
  return true;
}

bool Reader::skip(uint64_t n) {
  if (n > size_ - std::min(offset_, size_)) {
    offset_ = std::max(offset_, size_);
    return false;
  }
  offset_ += n;
  return true;
}

bool Reader::read_signature(bool accept_reversed, std::string* err) {
  unsigned char sig[kSignatureSize];
  long n = read(sig, sizeof sig);
  Signature s = classify_signature(sig, n < 0 ? 0 : static_cast<size_t>(n));
  if (s == Signature::kBigEndian || (accept_reversed && s == Signature::kLittleEndian)) {
    little_ = s == Signature::kLittleEndian;
    return true;
  }
  if (err) *err = "not a ZjStream job (no JZJZ signature)";
  return false;
}

Reader::Status Reader::next_chunk(ChunkHeader* h, std::string* err) {
  offset_ += remaining_;
  remaining_ = 0;
  unsigned char b[kHeaderSize];
  const uint64_t at = offset_;
  long n = read(b, sizeof b);
  if (n == 0) return kEnd;
  if (n < 0 || n != static_cast<long>(kHeaderSize)) {
    if (err) *err = (n < 0 ? "cannot read the chunk header at offset " : "job ends inside the chunk header at offset ") + std::to_string(at);
    return n < 0 ? kReadError : kShort;
  }
  *h = decode_header(b, little_);
  if (h->size < kHeaderSize) {
    if (err) {
      char msg[96];
      std::snprintf(msg, sizeof msg, "chunk size %u below 16 at offset %llu", h->size,
                    static_cast<unsigned long long>(at));
      *err = msg;
    }
    return kBadSize;
  }
  remaining_ = h->size - kHeaderSize;
  return kOk;
}

size_t Reader::read_body(void* out, size_t n) {
  size_t want = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
  long got = read(out, want);
  if (got <= 0) return 0;
  remaining_ -= static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

bool Reader::skip_body(uint64_t n) {
  n = std::min(n, remaining_);
  remaining_ -= n;
  return skip(n);
}

Reader::Status Reader::read_item_header(Item* it) {
  if (remaining_ < kItemHeaderSize) return kBadSize;
  const uint64_t room = remaining_;
  unsigned char b[kItemHeaderSize];
  if (read_body(b, kItemHeaderSize) != kItemHeaderSize) return error_ ? kReadError : kShort;
  *it = Item();
  it->size = get32(b, little_);
  it->id = get16(b + 4, little_);
  it->type = b[6];
  it->param = b[7];
  return it->size < kItemHeaderSize || it->size > room ? kBadSize : kOk;
}

Reader::Status Reader::next_item(Item* it) {
  Status st = read_item_header(it);
  if (st != kOk) return st;
  uint64_t rest = it->size - kItemHeaderSize;
  if (rest >= 4) {
    unsigned char v[4];
    if (read_body(v, 4) != 4) return error_ ? kReadError : kShort;
    it->value = get32(v, little_);
    rest -= 4;
  }
  return rest == 0 || skip_body(rest) ? kOk : kShort;
}

bool stream_is_whole(const std::string& path) {
  Reader r;
  if (!r.open(path, nullptr) || !r.read_signature(false, nullptr)) return false;
  for (;;) {
    ChunkHeader h;
    const Reader::Status st = r.next_chunk(&h);
    if (st == Reader::kEnd) return true;
    if (st != Reader::kOk || !r.chunk_in_file()) return false;
  }
}

// ---- page count ------------------------------------------------------------------------------

bool with_page_count(std::string_view chunk, uint32_t pages, std::string* out, bool* inserted,
                     std::string* err) {
  const auto* b = reinterpret_cast<const unsigned char*>(chunk.data());
  if (chunk.size() < kHeaderSize) {
    *err = "START_DOC chunk cut short";
    return false;
  }
  ChunkHeader h = decode_header(b);
  if (h.type != START_DOC || h.size < kHeaderSize || h.size != chunk.size()) {
    *err = h.type != START_DOC ? "not a START_DOC chunk" : "START_DOC chunk size does not match its bytes";
    return false;
  }
  const unsigned char* area = b + kHeaderSize;
  const size_t area_len = chunk.size() - kHeaderSize;
  *out = std::string(chunk);
  *inserted = false;
  for (const Item& it : parse_items(area, area_len, h.items))
    if (it.id == ZJI_PAGECOUNT) return true;

  // Without an item to copy from: a numeric item as drivers write them.
  Item count;
  count.id = ZJI_PAGECOUNT;
  count.value = pages;
  if (h.items > 0 && area_len >= kItemHeaderSize) {
    const Item first = decode_item(area);  // only its size, type and parameter are taken
    count.size = first.size;
    count.type = first.type;
    count.param = first.param;
  }
  unsigned char extra[kNumericItemSize];
  encode_item(count, extra);
  h.items += 1;
  h.size += kNumericItemSize;
  encode_header(h, reinterpret_cast<unsigned char*>(out->data()));
  out->append(reinterpret_cast<const char*>(extra), sizeof extra);
  *inserted = true;
  return true;
}

}  // namespace zjs
