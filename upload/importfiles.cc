#include "upload/importfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/handles.h"
#include "library/prninfo.h"
#include "spooler/jobstream.h"

namespace upload {

namespace {

constexpr uint16_t kItem8600 = 0x8600;

// The numeric items of a START_DOC chunk, up to the first item of another kind (as the tag scan
// reads them); the rest of the chunk is stepped over by the next chunk read.
void read_doc_items(zjs::Reader& r, uint32_t count, UploadItems* items) {
  for (uint32_t i = 0; i < count; ++i) {
    zjs::Item it;
    if (r.next_item(&it) != zjs::Reader::kOk || !it.numeric()) return;
    take_upload_item(items, it.id, static_cast<int32_t>(it.value));
  }
}

bool same_file(const struct stat& a, int fd) {
  struct stat b;
  return ::fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void take_upload_item(UploadItems* items, uint16_t id, int32_t value) {
  if (id == library::ZJI_MODEL) items->v8403 = value;
  if (id == zjs::ZJI_SETTING_ZERO) items->v8510 = value;
  if (id == kItem8600) items->v8600 = value;
}

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

std::optional<library::tavu_data> read_thumb_marker(const std::string& path, int* error, bool* link) {
  *link = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *link = errno == ELOOP;
    *error = errno == ENOENT ? library::kJpegMissing : library::kJpegInvalid;
    return std::nullopt;
  }
  ld::UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = library::kJpegInvalid;
    return std::nullopt;
  }
  ld::UniqueFile f(::fdopen(owned.release(), "rb"));
  if (!f) {
    *error = library::kJpegInvalid;
    return std::nullopt;
  }
  return library::get_tavu_data(f.get(), error);
}

}  // namespace upload
