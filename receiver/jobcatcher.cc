#include "receiver/jobcatcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "common/paths.h"
#include "common/ui_log.h"
#include "spooler/jobname.h"
#include "spooler/jobstream.h"

namespace jobcatcher {
namespace {

constexpr char kPjlPrefix[] = "\x1b%-12345X@PJL JOB WNAME = \"";
constexpr size_t kPjlPrefixLen = sizeof kPjlPrefix - 1;  // 27
constexpr char kMagic[] = "JZJZ";

std::string waiting_dir() { return ld::rooted("/print/prns/tmp/"); }
std::string library_dir() { return ld::rooted("/print/prns/"); }

void log_line(const char* fmt, const std::string& a) {
  std::vector<char> buf(a.size() + std::strlen(fmt) + 1);
  std::snprintf(buf.data(), buf.size(), fmt, a.c_str());
  ui_log(buf.data());
}

// Copies [from, from + n) of `in` to the end of `out`: in the kernel where it can, else by reads.
bool copy_range(int in, int64_t from, int64_t n, int out) {
  loff_t off = from;
  // In slices, each handed to the disk as soon as it is copied, so the final sync finds most
  // of the job written already.
  constexpr int64_t kSlice = 16 << 20;
  off_t written = ::lseek(out, 0, SEEK_CUR);
  while (n > 0) {
    ssize_t c = ::copy_file_range(in, &off, out, nullptr, static_cast<size_t>(std::min<int64_t>(n, kSlice)), 0);
    if (c > 0) {
      n -= c;
      ::sync_file_range(out, written, c, SYNC_FILE_RANGE_WRITE);
      written += c;
      continue;
    }
    if (c < 0 && errno == EINTR) continue;
    if (c == 0) return false;  // the capture ended early
    break;                     // not supported here: fall back to reads
  }
  std::vector<char> buf(1 << 16);
  while (n > 0) {
    ssize_t r = ::pread(in, buf.data(), static_cast<size_t>(std::min<int64_t>(n, buf.size())), off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    if (!ld::write_all(out, buf.data(), static_cast<size_t>(r))) return false;
    off += r;
    n -= r;
  }
  return true;
}

}  // namespace

std::string capture_path() { return ld::rooted("/print/tmp/upload.pjl"); }

int receive(int conn, const Config& cfg) {
  std::string path = capture_path();
  ld::make_dirs(ld::rooted("/print/tmp"));
  ld::UniqueFd cap(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!cap.valid()) {
    std::fprintf(stderr, "ERROR failed to open %s\n", path.c_str());
    return -1;
  }
  std::printf("accept %d\n", conn);
  std::fflush(stdout);
  ld::set_socket_timeouts(conn, cfg.idle_timeout_s * 1000, 0);

  int64_t length = 0;
  auto append = [&](const unsigned char* p, size_t n) {
    if (!ld::write_all(cap.get(), p, n)) std::printf("\n Error : Fputs error");
    length += static_cast<int64_t>(n);
  };

  // Preamble phase: byte by byte until the stream's magic has arrived.
  std::vector<unsigned char> pre;
  pre.reserve(1024);
  ssize_t rc = 0;
  bool magic = false;
  while (pre.size() < kPreambleMax) {
    unsigned char c;
    rc = ::recv(conn, &c, 1, 0);
    if (rc <= 0) break;
    pre.push_back(c);
    if (pre.size() >= 4 && std::memcmp(pre.data() + pre.size() - 4, kMagic, 4) == 0) {
      magic = true;
      break;
    }
  }
  append(pre.data(), pre.size());
  if (!magic && rc > 0) {
    std::fprintf(stderr, "ERROR no job stream within the first %zu bytes, connection closed\n",
                 kPreambleMax);
    return -1;
  }

  // Chunk phase: 16-byte headers, bodies in pieces of at most kMaxRead bytes, each written to
  // the capture as it arrives. Headers are gathered even when they arrive in pieces.
  std::vector<unsigned char> block(kMaxRead);
  unsigned char hdr[zjs::kHeaderSize];
  size_t hdr_len = 0;
  uint64_t remaining = 0;
  int pages = 0;
  bool rejected = false;
  while (magic) {
    size_t want = remaining > 0 ? static_cast<size_t>(std::min<uint64_t>(remaining, kMaxRead))
                                : zjs::kHeaderSize - hdr_len;
    rc = ::recv(conn, block.data(), want, MSG_WAITALL);
    if (rc <= 0) break;
    size_t n = static_cast<size_t>(rc);
    append(block.data(), n);
    if (remaining > 0) {
      remaining -= n;
      continue;
    }
    std::memcpy(hdr + hdr_len, block.data(), n);
    hdr_len += n;
    if (hdr_len < zjs::kHeaderSize) continue;
    hdr_len = 0;
    const zjs::ChunkHeader chunk = zjs::decode_header(hdr);
    const uint32_t size = chunk.size;
    if (size < zjs::kHeaderSize) {
      std::fprintf(stderr, "ERROR invalid chunk size %u at byte %lld, connection closed\n", size,
                   static_cast<long long>(length - 16));
      rejected = true;
      break;
    }
    if (chunk.type == zjs::START_PAGE) {
      ++pages;
      std::printf("pagecount:%d\n", pages);
    }
    remaining = size - zjs::kHeaderSize;
  }
  int saved_errno = errno;

  // What the receive loop expected next, as reported on the console.
  long long expected = remaining > 0 ? static_cast<long long>(remaining)
                       : hdr_len >= 4 ? static_cast<long long>(char2val(hdr, 4)) - static_cast<long long>(hdr_len)
                                      : static_cast<long long>(zjs::kHeaderSize - hdr_len);
  std::printf("finished %lld pages %d (%d,%lld)\n", static_cast<long long>(length), pages,
              static_cast<int>(rc), expected);
  if (rc < 0) {
    std::printf("errno %d\n", saved_errno);
    if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK)
      std::fprintf(stderr, "sender idle for %d s, connection closed\n", cfg.idle_timeout_s);
  }
  std::fflush(stdout);
  char text[128];
  std::snprintf(text, sizeof text, "finished %lld pages %d (%d)", static_cast<long long>(length),
                pages, static_cast<int>(rc));
  ui_log(text);
  if (::close(cap.release()) != 0) std::printf("\n Error : Fputs error");
  return rejected ? -1 : pages;
}

std::string _char2utf8(const std::string& hex) { return jobname::decode_hex_name(hex); }

int _process(int pagecount) {
  std::string path = capture_path();
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    std::fprintf(stderr, "ERROR failed to open %s\n", path.c_str());
    return 0;
  }
  struct stat st;
  int64_t length = ::fstat(fd.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  if (length < 100) {
    std::fprintf(stderr, "Invalid file length\n");
    return 0;
  }
  unsigned char trailer[4];
  if (::pread(fd.get(), trailer, 4, length - 4) != 4 || static_cast<int64_t>(val32(trailer)) != length) {
    std::fprintf(stderr, "Invalid received file length\n");
    return 0;
  }
  unsigned char window[kHeaderWindow + 1] = {};
  ssize_t got = ::pread(fd.get(), window, kHeaderWindow, 0);
  if (got < static_cast<ssize_t>(kPjlPrefixLen) || std::memcmp(window, kPjlPrefix, kPjlPrefixLen) != 0) {
    std::fprintf(stderr, "Invalid file header\n");
    return 0;
  }
  const void* m = ::memmem(window, static_cast<size_t>(got), kMagic, 4);
  if (m == nullptr) {
    std::fprintf(stderr, "Invalid file header: no job stream within the first %zu bytes\n", kHeaderWindow);
    return 0;
  }
  int64_t offset = static_cast<const unsigned char*>(m) - window;

  // The name is at most kNameSearch digits and must end in its quote before the stream
  // begins; anything longer would take stream bytes or later PJL text for the job's name.
  size_t name_end = kPjlPrefixLen;
  size_t limit = std::min<size_t>(kPjlPrefixLen + kNameSearch + 1, static_cast<size_t>(offset));
  while (name_end < limit && window[name_end] != '"') ++name_end;
  if (name_end >= limit) {
    std::fprintf(stderr, "Invalid file header: the job name does not end within %zu bytes\n", kNameSearch);
    return 0;
  }
  std::string hex(reinterpret_cast<char*>(window) + kPjlPrefixLen, name_end - kPjlPrefixLen);
  std::string name = _char2utf8(hex);
  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
  log_line("capturing [%s]", std::string(name.c_str()));
  fd.reset();
  return _move_tempfile(name, length, offset, pagecount);
}

namespace {

// The START_DOC chunk as it will be stored, with the page-count item it must carry. False with
// *why when the stream does not begin with a whole START_DOC chunk of bounded size.
bool read_start_doc(int in, int64_t offset, int64_t consumed, int pagecount, std::string* chunk,
                    uint32_t* stored_len, std::string* why) {
  unsigned char head[zjs::kSignatureSize + zjs::kHeaderSize];
  if (consumed < static_cast<int64_t>(sizeof head) || ::pread(in, head, sizeof head, offset) != static_cast<ssize_t>(sizeof head)) {
    *why = "job stream too short";
    return false;
  }
  const zjs::ChunkHeader h = zjs::decode_header(head + zjs::kSignatureSize);
  std::printf("job header len=%d %x  tags=%d\n", static_cast<int>(h.size), h.size, static_cast<int>(h.items));
  if (h.type != zjs::START_DOC) *why = "job stream does not begin with START_DOC";
  else if (h.size < zjs::kHeaderSize) *why = "START_DOC chunk size below 16";
  else if (h.size - zjs::kHeaderSize > kDocItemsMax) *why = "START_DOC items area above 4096 bytes";
  else if (static_cast<int64_t>(zjs::kSignatureSize + h.size) > consumed) *why = "START_DOC chunk cut short";
  if (!why->empty()) return false;
  std::string raw(h.size, '\0');
  if (::pread(in, raw.data(), raw.size(), offset + zjs::kSignatureSize) != static_cast<ssize_t>(raw.size())) {
    *why = "cannot read START_DOC items";
    return false;
  }
  *stored_len = h.size;
  bool inserted = false;
  if (!zjs::with_page_count(raw, static_cast<uint32_t>(pagecount), chunk, &inserted, why)) return false;
  std::printf(inserted ? "no ZJI_PAGECOUNT so insert\n" : "ZJI_PAGECOUNT found\n");
  *chunk = std::string(reinterpret_cast<const char*>(head), zjs::kSignatureSize) + *chunk;
  return true;
}

}  // namespace

int _move_tempfile(const std::string& name, int64_t length, int64_t offset, int pagecount) {
  const std::string lib = library_dir(), wait = waiting_dir();
  auto taken = [&](const std::string& candidate) {
    return ld::file_exists(lib + candidate) || ld::file_exists(wait + candidate);
  };
  auto choose = [&](int from) -> int {
    for (int i = from; i <= kMaxSuffix; ++i)
      if (!taken(jobname::job_file_name(name, i))) return i;
    return -1;
  };
  int suffix = choose(0);
  if (suffix < 0) {
    std::printf("file exists!\n");
    std::fflush(stdout);
    return 0;
  }
  auto target = [&](int i) { return wait + jobname::job_file_name(name, i); };

  std::string cap_path = capture_path();
  ld::UniqueFd in(::open(cap_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    std::fprintf(stderr, "ERROR failed to open %s\n", cap_path.c_str());
    return 0;
  }
  ld::make_dirs(wait);
  // The job is written under a hidden name that no reader of the waiting directory takes for a
  // job, and appears under its own name only once complete.
  zjs::NewJobFile out;
  std::string why;
  if (!out.create(wait, &why)) {
    std::fprintf(stderr, "ERROR failed to open %s\n", target(suffix).c_str());
    return 0;
  }
  auto give_up = [&](const std::string& reason) {
    std::fprintf(stderr, "ERROR %s, job not stored\n", reason.c_str());
    return 0;
  };
  std::printf("writing %s\n", target(suffix).c_str());
  std::fflush(stdout);
  log_line("writing captured %s", target(suffix));

  const int64_t consumed = length - offset - 4;  // stream bytes, trailer excluded
  std::string first;
  uint32_t doc_len = 0;
  if (!read_start_doc(in.get(), offset, consumed, pagecount, &first, &doc_len, &why)) return give_up(why);
  std::fflush(stdout);
  const int64_t head_len = static_cast<int64_t>(zjs::kSignatureSize + doc_len);
  if (!ld::write_all(out.fd(), first.data(), first.size()) ||
      !copy_range(in.get(), offset + head_len, consumed - head_len, out.fd()) || !out.finish(&why))
    return give_up(why.empty() ? "cannot write " + out.part_path() + ": " + std::strerror(errno) : why);

  // Put the job in place without ever replacing a file that appeared meanwhile.
  for (;;) {
    const zjs::NewJobFile::Place placed = out.place(target(suffix), &why);
    if (placed == zjs::NewJobFile::kPlaced) break;
    if (placed == zjs::NewJobFile::kFailed) return give_up(why);
    if ((suffix = choose(suffix + 1)) < 0) {
      std::printf("file exists!\n");
      std::fflush(stdout);
      return 0;
    }
  }
  std::printf("write %lld\n", static_cast<long long>(consumed));
  std::fprintf(stderr, "/bin/rm \"%s\"\n", cap_path.c_str());
  std::fflush(stdout);
  ld::remove_file(cap_path);
  ld::touch_file(ld::rooted("/tmp/run_prn2jpg"));
  return 1;
}

int serve(int listen_fd, const Config& cfg) {
  for (;;) {
    int conn = ld::tcp_accept(listen_fd);
    if (conn < 0) {
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
        std::fprintf(stderr, "ERROR accept: %s\n", std::strerror(errno));
        return 1;
      }
      cfg.clock->sleep_ms(1000);  // out of descriptors or similar: try again shortly
      continue;
    }
    ld::UniqueFd c(conn);
    int pages = receive(c.get(), cfg);
    c.reset();
    if (pages >= 0) _process(pages);
    std::fflush(stdout);
    cfg.clock->sleep_ms(1000);
  }
}

}  // namespace jobcatcher
