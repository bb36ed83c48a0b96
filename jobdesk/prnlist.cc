#include "jobdesk/prnlist.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/paths.h"
#include "common/ui_log.h"
#include "jobdesk/jobops.h"
#include "library/prnrecord.h"
#include "library/folders.h"
#include "library/listing.h"
#include "library/names.h"
#include "thumbs/zxdoc.h"
#include "spooler/jobstream.h"
#include "library/marker.h"
#include "library/tagscan.h"

namespace jobdesk {
namespace {

// The job folder's entries that count as jobs, in directory order.
std::vector<std::string> job_entries() {
  std::vector<std::string> out;
  library::list_names(library::jobs_dir(), &out, library::is_job_name);
  return out;
}

library::PrnInfo* make_prn_entry(PrnList* l, const std::string& name);

// One pass over the job folder: a record for every job that keeps one. Records already in the
// list are found by name (the first of a name, as get_prn_entry finds it), so a pass costs one
// look-up per job, not a walk of the list. Result: jobs counted, in *fitting those whose record
// the cache can hold, in *unmatched the records of the list that no job met.
int walk_jobs(PrnList* l, int* fitting, size_t* unmatched) {
  std::unordered_map<std::string_view, library::PrnInfo*> known;
  known.reserve(l->list.size());
  for (library::PrnInfo& info : l->list) known.emplace(info.file_name, &info);
  const size_t listed = l->list.size();
  size_t met = 0;
  int count = 0;
  *fitting = 0;
  for (const std::string& name : job_entries()) {
    std::string input = library::jobs_dir() + name;
    struct stat st;
    const bool stated = stat(input.c_str(), &st) == 0;
    auto it = known.find(name);
    library::PrnInfo* info = it != known.end() ? it->second : nullptr;
    if (info) ++met;
    // A job replaced under its own name since it was cached (a save whose record update a
    // power cut lost, an import of a job of that name) has another size than its record: the
    // record is read again, or the list and the job page would go on showing the old job.
    if (info && stated && info->file_size != static_cast<int32_t>(st.st_size)) {
      known.erase(it);
      drop_prn_entry(l, name);
      info = nullptr;
    }
    if (!info) info = make_prn_entry(l, name);
    if (!info) continue;
    if (info->filter_input != input) {
      info->filter_input = std::move(input);
      l->changed = true;
    }
    if (!stated) {
      fprintf(l->err, "jobdesk stat failed  %s\n", info->filter_input.c_str());
    } else if (info->file_size != static_cast<int32_t>(st.st_size)) {
      info->file_size = static_cast<int32_t>(st.st_size);
      l->changed = true;
    }
    ++count;
    if (record_fits(*info)) ++*fitting;
  }
  *unmatched = listed - met;
  return count;
}

// A list row from a record, read in place from the cache or decoded whole.
template <class Record>
void fill_row(ListRow& row, const Record& r) {
  row.file_name = r.file_name;
  row.display_name = r.display_name;
  row.thumb_path = r.thumb_path;
  row.file_size = r.file_size;
  row.pages = r.pages;
  row.copies = r.copies;
  row.mtime = r.mtime;
}

// Whether a cached record stands where its job is: the list would otherwise correct its paths
// and write the cache again.
bool in_place(const PrnInfoView& r, std::string_view dir) {
  auto at_dir = [&](std::string_view path) {
    return path.size() == dir.size() + r.file_name.size() && path.starts_with(dir) &&
           path.ends_with(r.file_name);
  };
  return at_dir(r.job_path) && at_dir(r.filter_input);
}

// The bytes of a record that the list reads: every field view_prn_info takes lies before the
// end of the modification time.
constexpr size_t kListedPrefix = library::info_at::kMtime + 4;

// The list page's rows straight from a cache in step with the folder, or false when anything is
// out of step (get_prn_list then brings it in line). Of each record only its first part, which
// holds the fields the list shows, is read: the whole cache is megabytes at a few hundred jobs,
// and neither reading it all nor holding it resident is needed. One read per record costs less
// than mapping the records, whose pages would be faulted in and unmapped again for a fraction
// of each. The cache is only ever replaced by a rename, never cut in place, so the file opened
// stays whole.
bool rows_from_cache(std::vector<ListRow>* rows) {
  rows->clear();
  ld::UniqueFd fd(open(library::cache_file().c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_size < 4) return false;
  unsigned char v[4];
  if (pread(fd.get(), v, 4, 0) != 4 || static_cast<int32_t>(ld::get_le32(v)) != kCacheVersion)
    return false;
  const size_t n = static_cast<size_t>((static_cast<uint64_t>(st.st_size) - 4) / kPrnInfoSize);
  const std::string dir = library::jobs_dir();
  rows->reserve(n);
  unsigned char rec[kListedPrefix];
  // The list holds the records in the reverse of the file order.
  for (size_t i = n; i-- > 0;) {
    const off_t at = static_cast<off_t>(4 + uint64_t{i} * kPrnInfoSize);
    if (pread(fd.get(), rec, sizeof rec, at) != static_cast<ssize_t>(sizeof rec)) return false;
    PrnInfoView r = view_prn_info(rec);
    if (!in_place(r, dir)) return false;
    fill_row(rows->emplace_back(), r);
  }

  // Every job must meet its own record, and every record its job, with the size unchanged.
  std::unordered_map<std::string_view, ListRow*> by_name;
  by_name.reserve(n);
  for (ListRow& row : *rows) {
    if (!by_name.emplace(row.file_name, &row).second) return false;  // a name twice
  }
  library::DirReader d(dir);
  if (!d.ok()) return false;
  size_t met = 0;
  while (const char* e = d.next()) {
    if (!library::is_job_name(e)) continue;
    auto it = by_name.find(e);
    struct stat js;
    if (it == by_name.end() || fstatat(d.fd(), e, &js, 0) != 0 ||
        static_cast<int32_t>(js.st_size) != it->second->file_size)
      return false;
    it->second->dated = true;
    it->second->file_mtime = js.st_mtime;
    ++met;
  }
  return met == n;
}

// The orders of sort_prn_list, for records and for rows alike.
template <class T>
std::function<bool(const T&, const T&)> order_of(std::string_view key) {
  auto by_name = [](const T& a, const T& b) {
    return strcasecmp(a.file_name.c_str(), b.file_name.c_str()) < 0;
  };
  if (key == "name") return by_name;
  if (key == "NAME") return [=](const T& a, const T& b) { return by_name(b, a); };
  if (key == "pages") return [](const T& a, const T& b) { return a.pages < b.pages; };
  if (key == "PAGES") return [](const T& a, const T& b) { return a.pages > b.pages; };
  if (key == "DATE") return [](const T& a, const T& b) { return a.mtime > b.mtime; };
  return [](const T& a, const T& b) { return a.mtime < b.mtime; };
}

// Jobs the scan cannot read (other byte order, a PJL wrapper) still show their first page's
// items through the page decoder, read into the record by the same item reader as the scan's:
// a page's attributes are its items, the document's are found through its parent. When that
// fails too the record keeps zeros.
void read_with_decoder(library::PrnInfo* info) {
  thumbs::ZxDoc doc;
  std::string err;
  if (!doc.open(info->job_path, &err)) return;
  doc.read();
  const thumbs::ZxObject* page = doc.find_page(0);
  if (!page) return;
  uint32_t v = 0;
  for (uint16_t id : library::kRecordPageItems)
    if (thumbs::find_attr(page, id, &v)) library::take_page_item(info, id, static_cast<int32_t>(v));
  for (uint16_t id : library::kRecordDocItems)
    if (thumbs::find_attr(page, id, &v)) library::take_doc_item(info, id, static_cast<int32_t>(v));
  for (library::PrnOption& o : info->options) {
    v = 0;
    const bool met = thumbs::has_own_attr(page, static_cast<uint16_t>(o.id), &v);
    library::take_option_value(&o, static_cast<int32_t>(v));
    o.found = met ? 1 : 0;
  }
}

}  // namespace

void log_line(const PrnList& l, std::string_view text) { ld::log_event(l.log, text); }

int load_prn_list(PrnList* l, const std::string& path) {
  ld::UniqueFile f(fopen(path.c_str(), "rb"));
  if (!f) {
    fprintf(l->err, "jobdesk ERROR cannot open %s\n", path.c_str());
    return 0;
  }
  unsigned char v[4];
  if (fread(v, 1, 4, f.get()) != 4) {
    fprintf(l->err, "cannot read from %s\n", path.c_str());
    return 0;
  }
  int32_t version = static_cast<int32_t>(ld::get_le32(v));
  if (version != kCacheVersion) {
    fprintf(l->err, "Wrong prn version %d %d\n", version, kCacheVersion);
    return 0;
  }
  std::vector<unsigned char> rec(kPrnInfoSize);
  int n = 0;
  while (fread(rec.data(), 1, kPrnInfoSize, f.get()) == kPrnInfoSize) {
    l->list.push_front(decode_prn_info(rec.data()));
    ++n;
  }
  return n;
}

int save_prn_list(const PrnList& l, const std::string& path) {
  std::string data(4 + l.list.size() * kPrnInfoSize, '\0');
  auto* p = reinterpret_cast<unsigned char*>(data.data());
  ld::put_le32(kCacheVersion, p);
  size_t at = 4;
  int n = 0;
  for (const library::PrnInfo& info : l.list) {
    if (!record_fits(info)) continue;
    encode_prn_info(info, p + at);
    at += kPrnInfoSize;
    ++n;
  }
  data.resize(at);
  if (!ld::write_file_atomic(path, data)) {
    fprintf(l.err, "jobdesk ERROR cannot open %s\n", path.c_str());
    return 0;
  }
  return n;
}

int get_prn_list(PrnList* l) {
  // Records an earlier step of the same call left (a multi-delete loads the cache too) would
  // stand in the list twice.
  l->list.clear();
  l->changed = false;
  int cached = load_prn_list(l, library::cache_file());
  int fitting = 0;
  size_t unmatched = 0;
  int count = walk_jobs(l, &fitting, &unmatched);
  // Jobs whose names do not fit a record never reach the cache, so they are not expected in it.
  // A record whose job is gone means the folder changed too, even when another job came in
  // its place and the counts agree: kept, it would list a job that is no longer there.
  if (fitting != cached || unmatched != 0) {
    fprintf(l->err, "ERROR - prn_list does not match number of prns %d in directory  %d\n",
            cached, count);
    // With nothing taken from the cache every record was just read from its job, so a second
    // pass would read the same jobs again.
    if (cached != 0 || unmatched != 0) {
      l->list.clear();
      count = walk_jobs(l, &fitting, &unmatched);
    }
  }
  // A cache in step with the folder and every record is left as it is: rewriting it would
  // cost more than the whole page.
  if (l->changed || fitting != cached) save_prn_list(*l, library::cache_file());
  return count;
}

int get_list_rows(PrnList* l, std::vector<ListRow>* rows) {
  l->list.clear();
  if (rows_from_cache(rows)) return static_cast<int>(rows->size());
  int count = get_prn_list(l);
  rows->clear();
  rows->reserve(l->list.size());
  for (const library::PrnInfo& info : l->list) {
    ListRow& row = rows->emplace_back();
    fill_row(row, info);
    struct stat st;
    row.dated = stat(info.job_path.c_str(), &st) == 0;
    if (row.dated) row.file_mtime = st.st_mtime;
  }
  return count;
}

namespace {
// Sorts references to the rows rather than the rows themselves, with the order known to the
// compiler, then puts the rows in that order.
template <class Less>
void sort_rows_by(std::vector<ListRow>* rows, Less less) {
  std::vector<ListRow*> refs;
  refs.reserve(rows->size());
  for (ListRow& r : *rows) refs.push_back(&r);
  std::stable_sort(refs.begin(), refs.end(),
                   [&](const ListRow* a, const ListRow* b) { return less(*a, *b); });
  std::vector<ListRow> sorted;
  sorted.reserve(rows->size());
  for (ListRow* r : refs) sorted.push_back(std::move(*r));
  rows->swap(sorted);
}
}  // namespace

void sort_list_rows(std::vector<ListRow>* rows, std::string_view key) {
  using R = ListRow;
  // Rows of an equal key in name order, as a sort by name and then by the key would leave them.
  auto cmp_name = [](const R& a, const R& b) { return strcasecmp(a.file_name.c_str(), b.file_name.c_str()); };
  auto then_name = [&](auto key_less) {
    return [=](const R& a, const R& b) {
      if (key_less(a, b)) return true;
      if (key_less(b, a)) return false;
      return cmp_name(a, b) < 0;
    };
  };
  if (key == "name") return sort_rows_by(rows, [&](const R& a, const R& b) { return cmp_name(a, b) < 0; });
  if (key == "NAME") return sort_rows_by(rows, [&](const R& a, const R& b) { return cmp_name(b, a) < 0; });
  if (key == "pages") return sort_rows_by(rows, then_name([](const R& a, const R& b) { return a.pages < b.pages; }));
  if (key == "PAGES") return sort_rows_by(rows, then_name([](const R& a, const R& b) { return a.pages > b.pages; }));
  if (key == "DATE") return sort_rows_by(rows, then_name([](const R& a, const R& b) { return a.mtime > b.mtime; }));
  sort_rows_by(rows, then_name([](const R& a, const R& b) { return a.mtime < b.mtime; }));
}

library::PrnInfo* get_prn_entry(PrnList* l, const std::string& name) {
  for (library::PrnInfo& info : l->list) {
    if (info.file_name == name) return &info;
  }
  return make_prn_entry(l, name);
}

namespace {
// A new record read from job `name`, put in front of the list (see get_prn_entry).
library::PrnInfo* make_prn_entry(PrnList* l, const std::string& name) {
  // A request value names a job, never a path: "../tmp/x.prn" would reach a job still waiting
  // for its thumbnail, a queued copy or a file outside the root, and the "no thumbnail" rule
  // below would delete it. Only a regular file standing in the library folder is a job here.
  if (!is_plain_name(name)) {
    fprintf(l->err, "jobdesk ERROR refusing job name <%s>\n", name.c_str());
    return nullptr;
  }
  library::PrnInfo info;
  info.options = l->schema;
  info.option_room = kMaxOptions;
  info.file_name = library::job_file_of(name);
  info.job_path = library::jobs_dir() + info.file_name;
  struct stat lst;
  if (lstat(info.job_path.c_str(), &lst) != 0 || !S_ISREG(lst.st_mode)) {
    fprintf(l->err, "jobdesk ERROR no job %s\n", info.job_path.c_str());
    return nullptr;
  }
  get_prn_data(l, &info);
  info.base = library::base_name(info.file_name);
  info.thumb_path = library::web_thumb(info.file_name);
  info.display_name = info.base;
  struct stat st;
  if (stat(info.job_path.c_str(), &st) == 0) info.mtime = st.st_mtime;
  int error = library::kJpegOk;
  std::optional<library::tavu_data> marker =
      library::jpeg_get_data(library::jobs_dir() + info.thumb_path, &error);
  if (!marker) {
    bool bad = error == library::kJpegInvalid;
    fprintf(l->err, "ERROR %s jpeg %s\n", bad ? "bad" : "no", info.thumb_path.c_str());
    log_line(*l, "reprint: removing '" + info.job_path + "' as no jpeg");
    ld::remove_file(info.job_path);
    if (bad) ld::remove_file(library::jobs_dir() + info.thumb_path);
    return nullptr;
  }
  if (info.pages == 0) {
    info.pages = marker->pages;
    info.copies = marker->value;
  }
  l->list.push_front(std::move(info));
  l->changed = true;
  return &l->list.front();
}
}  // namespace

void get_prn_data(PrnList* l, library::PrnInfo* info) {
  // The scan reads the items the schema names; their found flags tell the form what to show.
  if (library::prn_tag_scan(info, library::kScanUpdate, l->err) != 1 || info->pages == 0) {
    read_with_decoder(info);
  }
  info->driver_text = driver_text(info->job_path);
}

bool drop_prn_entry(PrnList* l, const std::string& name) {
  auto it = std::find_if(l->list.begin(), l->list.end(),
                         [&](const library::PrnInfo& i) { return i.file_name == name; });
  if (it == l->list.end()) return false;
  l->list.erase(it);
  return true;
}

void sort_prn_list(PrnList* l, int count, std::string_view key) {
  using Info = library::PrnInfo;
  // Only the first `count` records take part, as the caller counted them.
  auto end = l->list.begin();
  std::advance(end, std::clamp<long>(count, 0, static_cast<long>(l->list.size())));
  std::list<Info> head;
  head.splice(head.begin(), l->list, l->list.begin(), end);
  head.sort(order_of<Info>(key));
  l->list.splice(l->list.begin(), head);
}

std::string prn_date(const std::string& path, const std::string& format) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  return date_text(st.st_mtime, format);
}

std::string date_text(int64_t mtime, const std::string& format) {
  time_t t = static_cast<time_t>(mtime);
  struct tm tm;
  gmtime_r(&t, &tm);
  // A long format is cut to the page's 21 characters rather than giving nothing.
  char buf[256];
  size_t n = strftime(buf, sizeof buf, format.c_str(), &tm);
  return std::string(buf, std::min<size_t>(n, 21));
}

int prn_exists(const std::string& name, FILE* err) {
  for (const std::string& entry : job_entries()) {
    int same = entry == name;
    fprintf(err, "%s<>%s %d\n", entry.c_str(), name.c_str(), same);
    if (same) return 1;
  }
  return 0;
}

}  // namespace jobdesk

namespace jobdesk {
namespace {

constexpr size_t kOpaqueReadMax = 64 * 1024;  // driver data is small; never hold a whole image

// The driver text inside one "BMT" data body: records of a type byte, a big-endian length and
// the body; the first type 14 record after the type 10 one. Lengths are checked against the
// body, so a damaged record ends the search.
std::optional<std::string> bmt_text(const unsigned char* b, size_t n) {
  if (n < 13 || std::memcmp(b, "BMT", 3) != 0 || b[3] != 2) return std::nullopt;
  bool past_10 = false;
  for (size_t at = 12; at + 5 <= n;) {
    unsigned type = b[at];
    uint32_t len = char2val(b + at + 1, 4);
    if (len > n - at - 5) return std::nullopt;
    const unsigned char* body = b + at + 5;
    if (past_10 && type == 14) {
      std::string text(reinterpret_cast<const char*>(body), len);
      return text.substr(0, text.find('\0'));
    }
    if (type == 10) past_10 = true;
    at += 5 + len;
  }
  return std::nullopt;
}

}  // namespace

std::string driver_text(const std::string& job_path) {
  zjs::Reader r;
  std::string err;
  if (!r.open_regular(job_path, &err) || !r.read_signature(false, &err)) return "Unkown";
  zjs::ChunkHeader h;
  std::vector<unsigned char> body;
  while (r.next_chunk(&h) == zjs::Reader::kOk) {
    if (h.type == zjs::END_DOC) break;
    if (h.type != zjs::OPAQUE_DATA) continue;
    body.resize(static_cast<size_t>(std::min<uint64_t>(r.remaining(), kOpaqueReadMax)));
    body.resize(r.read_body(body.data(), body.size()));
    if (auto text = bmt_text(body.data(), body.size())) return *text;
  }
  return "Unkown";
}

}  // namespace jobdesk
