#include "spooler/prnfilt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "spooler/zjs.h"

namespace {

constexpr uint16_t kItemDisp = 0x8514;
constexpr uint16_t kItemAlwaysZero = 0x8510;

// The output file behind a small buffer: headers and items arrive a few bytes at a time.
class OutFile {
 public:
  bool create(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd_.valid();
  }
  bool is_open() const { return fd_.valid(); }
  bool ok() const { return ok_; }

  void put(const void* data, size_t n) {
    if (!ok_) return;
    if (len_ + n > buf_.size()) flush();
    if (n >= buf_.size()) {
      ok_ = ld::write_all(fd_.get(), data, n);
      return;
    }
    std::memcpy(buf_.data() + len_, data, n);
    len_ += n;
  }

  // Writes what is buffered and closes; false when any write failed.
  bool close() {
    flush();
    if (fd_.valid() && ::close(fd_.release()) != 0) ok_ = false;
    return ok_;
  }

 private:
  void flush() {
    if (ok_ && len_ > 0) ok_ = ld::write_all(fd_.get(), buf_.data(), len_);
    len_ = 0;
  }

  ld::UniqueFd fd_;
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(1 << 16);
  size_t len_ = 0;
  bool ok_ = true;
};

// Reads `n` bytes at `offset` without moving the stream reader's file position.
size_t pread_full(int fd, void* buf, size_t n, uint64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// A chunk body read back from a known place in the input (document prologue).
class PositionedBody {
 public:
  PositionedBody(int fd, uint64_t offset) : fd_(fd), offset_(offset) {}
  size_t read(void* buf, size_t n) {
    size_t got = pread_full(fd_, buf, n, offset_);
    offset_ += got;
    return got;
  }

 private:
  int fd_;
  uint64_t offset_;
};

// The current chunk's body straight from the stream reader.
class StreamBody {
 public:
  explicit StreamBody(zjs::Reader& r) : r_(r) {}
  size_t read(void* buf, size_t n) {
    size_t got = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (got < n) {
      size_t k = r_.read_body(p + got, n - got);
      if (k == 0) break;
      got += k;
    }
    return got;
  }

 private:
  zjs::Reader& r_;
};

// The value a START_DOC / START_PAGE item leaves the filter with. The first matching rule wins,
// so an override can never change copies, quality or the two printer settings.
uint32_t rewrite_value(uint16_t id, uint32_t value, const prnfilt_args& a) {
  switch (id) {
    case zjs::ZJI_COPIES:
      return static_cast<uint32_t>(a.collate != 0 ? 1 : a.copies);
    case zjs::ZJI_QUALITY:
      return a.quality != 0 ? static_cast<uint32_t>(a.quality) : value;
    case kItemDisp:
      return a.disp != 0 ? static_cast<uint32_t>(a.disp) : value;
    case kItemAlwaysZero:
      return 0;
    default:
      for (const prnfilt_override& o : a.overrides)
        if (o.id == id) value = static_cast<uint32_t>(o.value);
      return value;
  }
}

class Filter {
 public:
  Filter(const prnfilt_args& a, FILE* msg) : a_(a), msg_(msg) {}

  int run(int32_t* send_copies);

 private:
  enum class Copy { kWhole, kShort };

  template <class Body>
  Copy copy_chunk(const unsigned char* header, Body& body);
  template <class Body>
  bool copy_verbatim(uint64_t n, Body& body);
  bool open_output();
  bool copy_prologue(uint64_t from_offset, uint64_t page_offset);
  bool collate_copies(uint64_t start, uint64_t end);
  bool end_selection(uint64_t start, uint64_t end, int32_t* send_copies);
  int fail(const char* text);

  const prnfilt_args& a_;
  FILE* msg_;
  zjs::Reader in_;
  OutFile out_;
  bool created_ = false;  // the output is a regular file this run created
  std::vector<unsigned char> block_ = std::vector<unsigned char>(kFilterBlock);
};

int Filter::fail(const char* text) {
  std::fputs(text, msg_);
  if (out_.is_open()) out_.close();
  if (created_) ld::remove_file(a_.output);
  return -1;
}

template <class Body>
bool Filter::copy_verbatim(uint64_t n, Body& body) {
  while (n > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(n, block_.size()));
    size_t got = body.read(block_.data(), want);
    out_.put(block_.data(), got);
    if (got < want) return false;
    n -= got;
  }
  return true;
}

// Copies one chunk to the output. The items of document and page headers are rewritten as
// long as they are numeric; whatever else the chunk holds is copied as it stands, so the
// chunk keeps the size its header announces. kShort when the input ended inside the chunk.
template <class Body>
Filter::Copy Filter::copy_chunk(const unsigned char* header, Body& body) {
  const zjs::ChunkHeader h = zjs::decode_header(header);
  out_.put(header, zjs::kHeaderSize);
  uint64_t left = h.size - zjs::kHeaderSize;
  if (h.type == zjs::START_DOC || h.type == zjs::START_PAGE) {
    for (uint32_t i = 0; i < h.items && left >= zjs::kItemHeaderSize; ++i) {
      unsigned char b[zjs::kNumericItemSize] = {};
      if (body.read(b, zjs::kItemHeaderSize) != zjs::kItemHeaderSize) {
        return Copy::kShort;
      }
      left -= zjs::kItemHeaderSize;
      const zjs::Item it = zjs::decode_item(b);
      if (!it.numeric() || it.size < zjs::kNumericItemSize || it.size - zjs::kItemHeaderSize > left) {
        out_.put(b, zjs::kItemHeaderSize);
        break;
      }
      if (body.read(b + zjs::kItemHeaderSize, 4) != 4) {
        out_.put(b, zjs::kItemHeaderSize);
        return Copy::kShort;
      }
      write32(rewrite_value(it.id, val32(b + zjs::kItemHeaderSize), a_), b + zjs::kItemHeaderSize);
      out_.put(b, zjs::kNumericItemSize);
      left -= 4;
      // A numeric item longer than 12 bytes keeps its extra bytes as they are.
      uint64_t extra = it.size - zjs::kNumericItemSize;
      if (!copy_verbatim(extra, body)) return Copy::kShort;
      left -= extra;
    }
  }
  return copy_verbatim(left, body) ? Copy::kWhole : Copy::kShort;
}

bool Filter::open_output() {
  // Filtering a job onto itself would truncate it before it is read.
  struct stat si, so;
  if (::fstat(in_.fd(), &si) == 0 && ::stat(a_.output.c_str(), &so) == 0 && si.st_dev == so.st_dev &&
      si.st_ino == so.st_ino) {
    return false;
  }
  if (!out_.create(a_.output)) return false;
  // Only a regular file is ever removed again after a failure (never a device or a pipe).
  created_ = ::stat(a_.output.c_str(), &so) == 0 && S_ISREG(so.st_mode);
  return true;
}

// The document prologue: every chunk from the START_DOC up to the first START_PAGE, read
// back from the input without disturbing the stream reader.
bool Filter::copy_prologue(uint64_t pos, uint64_t page_offset) {
  while (pos < page_offset) {
    unsigned char header[zjs::kHeaderSize];
    if (pread_full(in_.fd(), header, sizeof header, pos) != sizeof header) return false;
    const zjs::ChunkHeader h = zjs::decode_header(header);
    if (h.type == zjs::START_PAGE) break;
    if (h.size < zjs::kHeaderSize) return false;
    PositionedBody body(in_.fd(), pos + zjs::kHeaderSize);
    if (copy_chunk(header, body) != Copy::kWhole) return false;
    pos += h.size;
  }
  return true;
}

// Appends copies - 1 further sets of the selected input bytes. The selection is read again
// piece by piece for every set, so memory does not grow with its size.
bool Filter::collate_copies(uint64_t start, uint64_t end) {
  for (int32_t set = 1; set < a_.copies; ++set) {
    for (uint64_t pos = start; pos < end;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(end - pos, block_.size()));
      if (pread_full(in_.fd(), block_.data(), n, pos) != n) return false;
      out_.put(block_.data(), n);
      if (!out_.ok()) return true;  // reported by the caller as a write failure
      pos += n;
    }
  }
  return true;
}

bool Filter::end_selection(uint64_t start, uint64_t end, int32_t* send_copies) {
  if (a_.collate == 0 || a_.copies <= 1 || end <= start) return true;
  if (end - start > kCollateLimit / static_cast<uint64_t>(a_.copies)) {
    if (send_copies != nullptr) *send_copies = 1;
    return true;
  }
  return collate_copies(start, end);
}

int Filter::run(int32_t* send_copies) {
  if (!in_.open(a_.input, nullptr)) {
    std::fprintf(msg_, "ERROR: File %s not found.\n", a_.input.c_str());
    return -1;
  }
  if (!in_.read_signature(false, nullptr)) return fail("Error: invalid file format!\n");

  static constexpr const char* kCopyFailed = "ERROR: Cannot read input file!\n";
  int pages = 0;
  bool copying = false;
  uint64_t doc_start = 4;  // the first chunk, should the job lack a START_DOC
  uint64_t sel_start = 0, last_page_end = 0;
  for (;;) {
    zjs::ChunkHeader h;
    std::string err;
    zjs::Reader::Status st = in_.next_chunk(&h, &err);
    if (st == zjs::Reader::kError) std::fprintf(msg_, "ERROR: %s\n", err.c_str());
    if (st != zjs::Reader::kOk) break;
    const uint64_t offset = in_.offset() - zjs::kHeaderSize;
    if (h.type == zjs::START_DOC) doc_start = offset;
    if (h.type == zjs::START_PAGE && pages < INT_MAX) ++pages;

    StreamBody body(in_);
    if (copying) {
      if (h.type == zjs::END_DOC) {
        // The document ended before the last page wanted: what was selected still gets all
        // its copies, in front of the END_DOC.
        copying = false;
        uint64_t end = last_page_end != 0 ? last_page_end : offset;
        if (!end_selection(sel_start, end, send_copies))
          return fail("ERROR: collate_copies cannot read input file!\n");
      }
      copy_chunk(in_.header_bytes(), body);
      if (copying && h.type == zjs::END_PAGE) {
        last_page_end = in_.offset();
        if (pages >= a_.to) {
          copying = false;
          if (!end_selection(sel_start, last_page_end, send_copies))
            return fail("ERROR: collate_copies cannot read input file!\n");
        }
      }
    } else if (a_.from > 0 && !out_.is_open() && pages == a_.from) {
      sel_start = offset;
      if (!open_output()) {
        std::fprintf(msg_, "ERROR: Cannot open file %s\n", a_.output.c_str());
        return -1;
      }
      out_.put("JZJZ", 4);
      if (!copy_prologue(doc_start, offset)) return fail(kCopyFailed);
      copy_chunk(in_.header_bytes(), body);
      copying = true;
    } else if (out_.is_open() && h.type == zjs::END_DOC) {
      copy_chunk(in_.header_bytes(), body);
    }
    if (!out_.ok()) return fail(kCopyFailed);
  }

  if (out_.is_open()) {
    if (!out_.close()) return fail(kCopyFailed);
  } else if (a_.from > 0) {
    std::fputs("ERROR: Cannot find selected page\n", msg_);
  }
  return pages;
}

}  // namespace

int prnfilt(const prnfilt_args& args, int32_t* send_copies, FILE* msg) {
  Filter f(args, msg);
  return f.run(send_copies);
}
