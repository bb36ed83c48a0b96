#include "upload/importfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"
#include "library/names.h"
#include "spooler/jobstream.h"

namespace upload {

namespace {

constexpr uint16_t kItem8403 = 0x8403, kItem8510 = 0x8510, kItem8600 = 0x8600;

void take_item(const zjs::Item& it, UploadItems* items) {
  const int32_t v = static_cast<int32_t>(it.value);
  if (it.id == kItem8403) items->v8403 = v;
  if (it.id == kItem8510) items->v8510 = v;
  if (it.id == kItem8600) items->v8600 = v;
}

// The numeric items of a START_DOC chunk, up to the first item of another kind (as the tag scan
// reads them); the rest of the chunk is stepped over by the next chunk read.
void read_doc_items(zjs::Reader& r, uint32_t count, UploadItems* items) {
  for (uint32_t i = 0; i < count; ++i) {
    zjs::Item it;
    if (r.next_item(&it) != zjs::Reader::kOk || !it.numeric()) return;
    take_item(it, items);
  }
}

bool same_file(const struct stat& a, int fd) {
  struct stat b;
  return ::fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

const char* job_file_text(JobFile f) {
  switch (f) {
    case JobFile::kWhole: return "a whole job";
    case JobFile::kLink: return "a link";
    case JobFile::kNotRegular: return "not a regular file";
    case JobFile::kNotJob: return "not a job stream";
    case JobFile::kCut: return "not a whole job (cut short or broken)";
  }
  return "?";
}

JobFile read_job_file(const std::string& path, UploadItems* items) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return JobFile::kNotRegular;
  if (S_ISLNK(st.st_mode)) return JobFile::kLink;
  if (!S_ISREG(st.st_mode)) return JobFile::kNotRegular;
  zjs::Reader r;
  // The name must still be the file looked at: never a link put there since.
  if (!r.open_regular(path, nullptr) || !same_file(st, r.fd())) return JobFile::kNotRegular;
  if (!r.read_signature(false, nullptr)) return JobFile::kNotJob;
  UploadItems found;
  bool first = true, in_doc = true, ended = false;
  for (;;) {
    zjs::ChunkHeader h;
    const zjs::Reader::Status st = r.next_chunk(&h);
    if (st == zjs::Reader::kEnd) break;
    if (st != zjs::Reader::kOk || !r.chunk_in_file()) return JobFile::kCut;
    if (first && h.type != zjs::START_DOC) return JobFile::kCut;
    first = false;
    if (h.type == zjs::START_PAGE) in_doc = false;
    if (h.type == zjs::END_DOC) ended = true;
    if (in_doc && h.type == zjs::START_DOC) read_doc_items(r, h.items, &found);
  }
  if (!ended) return JobFile::kCut;
  *items = found;
  return JobFile::kWhole;
}

namespace {

// Copies the bytes of `from` (opened without following a link) into the open file `out`.
bool copy_into(const std::string& from, int out, std::string* err) {
  ld::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = "cannot open " + from + ": " + (in.valid() ? "not a regular file" : std::strerror(errno));
    return false;
  }
  static constexpr size_t kBlock = 1 << 16;
  std::string buf(kBlock, '\0');
  for (;;) {
    const ssize_t r = ::read(in.get(), buf.data(), kBlock);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *err = "cannot read " + from + ": " + std::strerror(errno);
      return false;
    }
    if (r == 0) return true;
    if (!ld::write_all(out, buf.data(), static_cast<size_t>(r))) {
      *err = std::string("cannot write into the library: ") + std::strerror(errno);
      return false;
    }
  }
}

}  // namespace

std::optional<tavu_data> read_thumb_marker(const std::string& path, int* error, bool* link) {
  *link = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *link = errno == ELOOP;
    *error = errno == ENOENT ? kJpegMissing : kJpegInvalid;
    return std::nullopt;
  }
  ld::UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = kJpegInvalid;
    return std::nullopt;
  }
  ld::UniqueFile f(::fdopen(owned.release(), "rb"));
  if (!f) {
    *error = kJpegInvalid;
    return std::nullopt;
  }
  return get_tavu_data(f.get(), error);
}

StagedFile::~StagedFile() {
  if (!hidden_.empty() && !placed_) ld::remove_file(hidden_);
}

bool StagedFile::stage(const std::string& from, const std::string& dir, std::string* err) {
  // A name of our own that no reader of the folder takes for a job or a thumbnail.
  std::string tmpl;
  ld::UniqueFd fd = library::make_scratch(dir, "import", "", &tmpl);
  if (!fd.valid()) {
    *err = "cannot create a file in " + dir + ": " + std::strerror(errno);
    return false;
  }
  from_ = from;
  dir_ = dir;
  hidden_ = tmpl;
  // A second name for the set's file beside the reserved one, not a rename: the upload folder
  // keeps its own name until the file is in place, so a power cut before that leaves it there
  // for the next import. (Renamed, the sync below would make the hidden name its only one.)
  const std::string linked = tmpl + ".link";
  if (::link(from.c_str(), linked.c_str()) == 0) {
    ld::remove_file(tmpl);
    hidden_ = linked;
    fd.reset(::open(hidden_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  } else {
    // Across file systems, or a file of another owner that protected links refuse: a copy.
    ::fchmod(fd.get(), 0644);
    if (!copy_into(from, fd.get(), err)) return false;
  }
  if (!fd.valid() || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
    *err = "cannot write " + hidden_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool StagedFile::replace(const std::string& to, std::string* err) {
  if (::rename(hidden_.c_str(), to.c_str()) != 0) {
    *err = "cannot put " + to + " in place: " + std::strerror(errno);
    return false;
  }
  placed_ = true;
  // Durable in its place first; only then does the set's file leave the upload folder.
  const bool synced = ld::fsync_dir(dir_, err);
  ld::remove_file(from_);
  return synced;
}

}  // namespace upload
