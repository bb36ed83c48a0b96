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
#include "spooler/jobstream.h"

namespace {

// Every this many bytes written, the disk is asked to start on them: the spooler syncs the
// output before it names it in the queue, and by then most of it is already written instead
// of all of it waiting for that one sync.
constexpr uint64_t kWritebackStep = 8 << 20;
// The kernel copies without a buffer of ours, so it may take larger steps (one writeback step
// each); runs shorter than kKernelMin go through our buffer, where one read serves many small
// chunks.
constexpr uint64_t kKernelPiece = kWritebackStep;
constexpr uint64_t kKernelMin = 1 << 16;

// Reads `n` bytes at `offset` of the input: page data copied as they stand.
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

// The output file behind a small buffer: headers and items arrive a few bytes at a time, page
// data in long runs that the kernel copies straight from the input where it can.
class OutFile {
 public:
  bool create(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd_.valid()) error_ = errno;
    return fd_.valid();
  }
  bool is_open() const { return fd_.valid(); }
  // False once any write failed.
  bool ok() const { return ok_; }
  // The system error of the failed create or of the first failed write, 0 when none is known.
  int error() const { return error_; }

  void put(const void* data, size_t n) {
    if (!ok_) return;
    if (len_ + n > buf_.size()) flush();
    if (n >= buf_.size()) {
      ok_ = ld::write_all(fd_.get(), data, n);
      if (!ok_) error_ = errno;
      wrote(n);
      return;
    }
    std::memcpy(buf_.data() + len_, data, n);
    len_ += n;
  }

  // Appends n input bytes from position pos. Returns the bytes copied: fewer than n when the
  // input ends first (or a write failed, see ok()). Through our buffer the bytes move in pieces
  // of at most kFilterBlock, so memory stays the same whatever n is.
  uint64_t copy_from(int in_fd, uint64_t pos, uint64_t n, std::vector<unsigned char>& block) {
    uint64_t done = 0;
    while (ok_ && done < n) {
      if (kernel_copy_ && n - done >= kKernelMin) {
        flush();
        loff_t from = static_cast<loff_t>(pos + done);
        size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, kKernelPiece));
        ssize_t r = ok_ ? ::copy_file_range(in_fd, &from, fd_.get(), nullptr, piece, 0) : -1;
        if (r > 0) {
          done += static_cast<uint64_t>(r);
          wrote(static_cast<uint64_t>(r));
          continue;
        }
        if (r == 0) break;  // end of the input
        if (errno == EINTR) continue;
        // Not for this pair of files (or a real error, which the plain path reports as such).
        kernel_copy_ = false;
      }
      size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, block.size()));
      size_t got = pread_full(in_fd, block.data(), piece, pos + done);
      put(block.data(), got);
      done += got;
      if (got < piece) break;
    }
    return done;
  }

  // Writes what is buffered and closes; false when any write failed.
  bool close() {
    flush();
    if (ok_ && fd_.valid() && ::close(fd_.release()) != 0) {
      ok_ = false;
      error_ = errno;
    }
    return ok_;
  }

 private:
  void flush() {
    if (ok_ && len_ > 0) {
      ok_ = ld::write_all(fd_.get(), buf_.data(), len_);
      if (!ok_) error_ = errno;
      wrote(len_);
    }
    len_ = 0;
  }

  // Counts bytes written and starts the writeback of each kWritebackStep of them. Only a
  // hint: where the file system cannot take it, the later sync writes everything as before.
  void wrote(uint64_t n) {
    written_ += n;
    if (written_ - started_ < kWritebackStep) return;
    ::sync_file_range(fd_.get(), static_cast<off_t>(started_),
                      static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
    started_ = written_;
  }

  ld::UniqueFd fd_;
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(1 << 16);
  size_t len_ = 0;
  uint64_t written_ = 0;  // bytes written so far, and of them those whose writeback was started
  uint64_t started_ = 0;
  bool ok_ = true;
  int error_ = 0;
  bool kernel_copy_ = true;
};

// The value a START_DOC / START_PAGE item leaves the filter with. The first matching rule wins,
// so an override can never change copies, quality or the two printer settings.
uint32_t rewrite_value(uint16_t id, uint32_t value, const prnfilt_args& a) {
  switch (id) {
    case zjs::ZJI_COPIES:
      return static_cast<uint32_t>(a.collate != 0 ? 1 : a.copies);
    case zjs::ZJI_QUALITY:
      return a.quality != 0 ? static_cast<uint32_t>(a.quality) : value;
    case zjs::ZJI_DISP:
      return a.disp != 0 ? static_cast<uint32_t>(a.disp) : value;
    case zjs::ZJI_SETTING_ZERO:
      return 0;
    default:
      for (const prnfilt_override& o : a.overrides)
        if (o.id == id) value = static_cast<uint32_t>(o.value);
      return value;
  }
}

bool has_items(uint32_t type) { return type == zjs::START_DOC || type == zjs::START_PAGE; }

class Filter {
 public:
  Filter(const prnfilt_args& a, FILE* msg) : a_(a), msg_(msg) {}

  prnfilt_result run(int32_t* send_copies);

 private:
  bool copy_chunk(uint64_t offset, const zjs::ChunkHeader& h);
  bool copy_items(uint64_t offset, const zjs::ChunkHeader& h);
  void copy_as_is(uint64_t offset, uint64_t n);
  bool flush_as_is();
  bool open_output();
  bool copy_prologue(uint64_t from_offset, uint64_t page_offset);
  bool collate_copies(uint64_t start, uint64_t end);
  bool end_selection(uint64_t start, uint64_t end, int32_t* send_copies);
  // Prints text, removes a partial output and returns the failure: the output's when a write
  // to it failed, else the job's.
  prnfilt_result fail(const char* text);
  prnfilt_result output_failed(int error) { return {-1, prnfilt_fault::kOutput, error}; }
  static prnfilt_result job_failed() { return {-1, prnfilt_fault::kJob, 0}; }

  const prnfilt_args& a_;
  FILE* msg_;
  zjs::Reader in_;
  OutFile out_;
  bool created_ = false;  // the output is a regular file this run created
  // Input bytes that go to the output unchanged and have not been copied yet: neighbouring
  // chunks join into one run, copied when something rewritten has to follow.
  uint64_t as_is_from_ = 0, as_is_len_ = 0;
  std::vector<unsigned char> block_ = std::vector<unsigned char>(kFilterBlock);
};

prnfilt_result Filter::fail(const char* text) {
  std::fputs(text, msg_);
  const prnfilt_result r = out_.ok() ? job_failed() : output_failed(out_.error());
  if (out_.is_open()) out_.close();
  if (created_) ld::remove_file(a_.output);
  return r;
}

void Filter::copy_as_is(uint64_t offset, uint64_t n) {
  if (as_is_len_ > 0 && as_is_from_ + as_is_len_ == offset) {
    as_is_len_ += n;
    return;
  }
  flush_as_is();
  as_is_from_ = offset;
  as_is_len_ = n;
}

// False when the input ended inside the run (a cut job): the output then ends there too.
bool Filter::flush_as_is() {
  uint64_t n = as_is_len_;
  as_is_len_ = 0;
  return n == 0 || out_.copy_from(in_.fd(), as_is_from_, n, block_) == n;
}

// Copies the chunk at `offset` to the output: document and page headers with their items
// rewritten, every other chunk as it is. False when the input ends inside the chunk.
bool Filter::copy_chunk(uint64_t offset, const zjs::ChunkHeader& h) {
  if (!has_items(h.type)) {
    copy_as_is(offset, h.size);
    return true;
  }
  return flush_as_is() && copy_items(offset, h);
}

// Items are rewritten as long as they are numeric; whatever else the chunk holds is copied as
// it stands, so the chunk keeps the size its header announces.
bool Filter::copy_items(uint64_t offset, const zjs::ChunkHeader& h) {
  unsigned char header[zjs::kHeaderSize];
  zjs::encode_header(h, header);
  out_.put(header, sizeof header);
  zjs::Reader body;
  body.view(in_, offset);
  zjs::ChunkHeader again;
  if (body.next_chunk(&again) != zjs::Reader::kOk) return false;
  for (uint32_t i = 0; i < h.items && body.remaining() >= zjs::kItemHeaderSize; ++i) {
    zjs::Item it;
    const zjs::Reader::Status st = body.read_item_header(&it);
    if (st != zjs::Reader::kOk && st != zjs::Reader::kBadSize) return false;
    unsigned char b[zjs::kNumericItemSize];
    zjs::encode_item(it, b);
    if (st == zjs::Reader::kBadSize || !it.numeric() || it.size < zjs::kNumericItemSize) {
      out_.put(b, zjs::kItemHeaderSize);
      break;
    }
    unsigned char value[4];
    if (body.read_body(value, sizeof value) != sizeof value) {
      out_.put(b, zjs::kItemHeaderSize);
      return false;
    }
    it.value = rewrite_value(it.id, val32(value), a_);
    zjs::encode_item(it, b);
    out_.put(b, zjs::kNumericItemSize);
    // A numeric item longer than 12 bytes keeps its extra bytes as they are.
    const uint64_t extra = it.size - zjs::kNumericItemSize;
    if (out_.copy_from(in_.fd(), body.offset(), extra, block_) != extra) return false;
    body.skip_body(extra);
  }
  const uint64_t left = body.remaining();
  return out_.copy_from(in_.fd(), body.offset(), left, block_) == left;
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
// again from the input by a second reader, so the main walk keeps its place.
bool Filter::copy_prologue(uint64_t pos, uint64_t page_offset) {
  zjs::Reader r;
  r.view(in_, pos);
  while (pos < page_offset) {
    zjs::ChunkHeader h;
    if (r.next_chunk(&h) != zjs::Reader::kOk) return false;
    if (h.type == zjs::START_PAGE) break;
    if (!copy_chunk(pos, h)) return false;
    pos += h.size;
  }
  return flush_as_is();
}

// Appends copies - 1 further sets of the selected pages, each written as the first one was:
// the same item rewrites, so every copy prints with the options the user chose (a plain copy
// of the input would print the later sets with the job's own quality, media and settings).
// The selection is read again for every set, so memory does not grow with its size.
bool Filter::collate_copies(uint64_t start, uint64_t end) {
  for (int32_t set = 1; set < a_.copies && out_.ok(); ++set) {
    zjs::Reader r;
    r.view(in_, start);
    for (uint64_t pos = start; pos < end;) {
      zjs::ChunkHeader h;
      if (r.next_chunk(&h) != zjs::Reader::kOk || h.size > end - pos || !copy_chunk(pos, h)) return false;
      pos += h.size;
    }
    // A write failure stops the copy early too; the caller reports it as such.
    if (!flush_as_is() && out_.ok()) return false;
  }
  return true;
}

// The selection has been copied (and flushed): adds its collated copies when they are wanted.
bool Filter::end_selection(uint64_t start, uint64_t end, int32_t* send_copies) {
  if (a_.collate == 0 || a_.copies <= 1 || end <= start) return true;
  if (end - start > kCollateLimit / static_cast<uint64_t>(a_.copies)) {
    if (send_copies != nullptr) *send_copies = 1;
    return true;
  }
  return collate_copies(start, end);
}

prnfilt_result Filter::run(int32_t* send_copies) {
  if (!in_.open(a_.input, nullptr)) {
    std::fprintf(msg_, "ERROR: File %s not found.\n", a_.input.c_str());
    return job_failed();
  }
  if (!in_.read_signature(false, nullptr)) return fail("Error: invalid file format!\n");

  static constexpr const char* kCopyFailed = "ERROR: Cannot read input file!\n";
  static constexpr const char* kCollateFailed = "ERROR: collate_copies cannot read input file!\n";
  int pages = 0;
  bool copying = false;
  uint64_t doc_start = 4;  // the first chunk, should the job lack a START_DOC
  uint64_t sel_start = 0, last_page_end = 0;
  for (;;) {
    zjs::ChunkHeader h;
    std::string err;
    const zjs::Reader::Status st = in_.next_chunk(&h, &err);
    if (st == zjs::Reader::kEnd) break;
    if (st != zjs::Reader::kOk) {
      // The stream cannot be followed past this header. Inside the selection the output would
      // end in the middle of the job: a failure, never a shorter job passed on as done.
      if (st == zjs::Reader::kBadSize || copying) std::fprintf(msg_, "ERROR: %s\n", err.c_str());
      if (copying) return fail(kCopyFailed);
      break;
    }
    const uint64_t offset = in_.offset() - zjs::kHeaderSize;
    const uint64_t chunk_end = offset + h.size;
    if (h.type == zjs::START_DOC) doc_start = offset;
    if (h.type == zjs::START_PAGE && pages < INT_MAX) ++pages;
    const bool starts_selection = a_.from > 0 && !out_.is_open() && pages == a_.from;
    const bool copied = copying || starts_selection || (out_.is_open() && h.type == zjs::END_DOC);
    if (copied && !in_.chunk_in_file()) {
      std::fprintf(msg_, "ERROR: job ends inside the %s chunk at offset %llu\n",
                   zjs::chunk_type_name(h.type), static_cast<unsigned long long>(offset));
      return fail(kCopyFailed);
    }

    if (copying) {
      if (h.type == zjs::END_DOC) {
        // The document ended before the last page wanted: what was selected still gets all
        // its copies, in front of the END_DOC.
        copying = false;
        if (!flush_as_is()) return fail(kCopyFailed);
        if (!end_selection(sel_start, last_page_end != 0 ? last_page_end : offset, send_copies))
          return fail(kCollateFailed);
      }
      if (!copy_chunk(offset, h)) return fail(kCopyFailed);
      if (copying && h.type == zjs::END_PAGE) {
        last_page_end = chunk_end;
        if (pages >= a_.to) {
          copying = false;
          if (!flush_as_is()) return fail(kCopyFailed);
          if (!end_selection(sel_start, last_page_end, send_copies)) return fail(kCollateFailed);
        }
      }
    } else if (starts_selection) {
      sel_start = offset;
      if (!open_output()) {
        std::fprintf(msg_, "ERROR: Cannot open file %s\n", a_.output.c_str());
        return output_failed(out_.error());
      }
      out_.put("JZJZ", 4);
      if (!copy_prologue(doc_start, offset) || !copy_chunk(offset, h)) return fail(kCopyFailed);
      copying = true;
    } else if (out_.is_open() && h.type == zjs::END_DOC) {
      if (!copy_chunk(offset, h)) return fail(kCopyFailed);
    }
    if (!out_.ok()) return fail(kCopyFailed);
  }

  if (out_.is_open()) {
    if (!flush_as_is() || !out_.close()) return fail(kCopyFailed);
  } else if (a_.from > 0) {
    std::fputs("ERROR: Cannot find selected page\n", msg_);
  }
  return {pages, prnfilt_fault::kNone, 0};
}

}  // namespace

prnfilt_result prnfilt_run(const prnfilt_args& args, int32_t* send_copies, FILE* msg) {
  Filter f(args, msg);
  return f.run(send_copies);
}

int prnfilt(const prnfilt_args& args, int32_t* send_copies, FILE* msg) { return prnfilt_run(args, send_copies, msg).pages; }
