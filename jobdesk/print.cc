#include "jobdesk/print.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/endpoints.h"
#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/ui_log.h"
#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "library/folders.h"
#include "library/listing.h"
#include "spooler/enqueue.h"
#include "spooler/jobstream.h"
#include "spooler/print_settings.h"
#include "spooler/prnfilt.h"
#include "webkit/html_utils.h"

namespace jobdesk {
using spooler::check_pause;
using spooler::enqueue_job;
using spooler::queue_record;

namespace {

std::string job_base(const std::string& name) {
  if (name.size() >= 4 && name[name.size() - 4] == '.') return name.substr(0, name.size() - 4);
  return name;
}

// False when the job could not be queued (every copy name taken, the copy or the queue file
// could not be written).
bool queue_copy(PrnList* l, const std::string& name, const std::string& display,
                const spooler::print_settings& s) {
  queue_record rec;
  spooler::put_settings(s, &rec);
  std::string queued, err;
  if (enqueue_job(l->queue, library::jobs_dir() + name, display, rec, &queued, &err)) return true;
  fprintf(l->err, "jobdesk ERROR %s\n", err.c_str());
  return false;
}

constexpr const char* kSavePrefix = ".jobdesk-save-";

// Save outputs that a run which died mid-save left behind. Saves run one at a time under the
// library lock, so every such file found while holding it is a leftover.
void remove_stale_saves(PrnList* l) {
  const std::string dir = library::jobs_dir();
  std::vector<std::string> stale;
  library::list_names(dir, &stale, [](std::string_view n) { return n.starts_with(kSavePrefix); });
  for (const std::string& name : stale) {
    fprintf(l->err, "jobdesk removing the leftover %s%s\n", dir.c_str(), name.c_str());
    ld::remove_file(dir + name);
  }
}

// The save's output: a new hidden file of its own in the job folder (so putting it in place is
// one rename on the same file system), under a name no other program or run can own. It holds
// no ".prn", so no list and no import takes it for a job. "" when none can be made.
std::string new_save_output(PrnList* l) {
  std::string path = library::jobs_dir() + kSavePrefix + "XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) {
    fprintf(l->err, "jobdesk ERROR cannot create a file in %s: %s\n", library::jobs_dir().c_str(), std::strerror(errno));
    return "";
  }
  ::fchmod(fd, 0644);  // stored jobs are read by the web server's user too
  ::close(fd);
  return path;
}

// The filter wrote through its own descriptor; the bytes reach the disk before the rename makes
// them the job.
bool sync_file(const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

// A saved page range leaves fewer pages than the job's page-count item says: the item is set
// to the pages the output holds (START_PAGE chunks), so the file, the list and the job page
// agree. A job without the item keeps none. False with *err when the output cannot be read or
// written.
bool set_page_count(const std::string& path, std::string* err) {
  zjs::Reader r;
  if (!r.open_regular(path, err) || !r.read_signature(false, err)) return false;
  zjs::ChunkHeader h;
  if (r.next_chunk(&h, err) != zjs::Reader::kOk || h.type != zjs::START_DOC) {
    if (err->empty()) *err = path + ": no START_DOC chunk first";
    return false;
  }
  int64_t value_at = -1;
  uint32_t stated = 0;
  for (uint32_t i = 0; i < h.items; ++i) {
    const uint64_t at = r.offset();
    zjs::Item it;
    if (r.next_item(&it) != zjs::Reader::kOk) break;
    if (it.id == zjs::ZJI_PAGECOUNT && it.numeric() && it.size >= zjs::kNumericItemSize) {
      value_at = static_cast<int64_t>(at + zjs::kItemHeaderSize);
      stated = it.value;
      break;
    }
  }
  uint32_t pages = 0;
  zjs::Reader::Status st;
  while ((st = r.next_chunk(&h, err)) == zjs::Reader::kOk) {
    if (h.type == zjs::START_PAGE) ++pages;
  }
  if (st != zjs::Reader::kEnd) return false;
  if (value_at < 0 || stated == pages) return true;
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  const unsigned char be[4] = {static_cast<unsigned char>(pages >> 24), static_cast<unsigned char>(pages >> 16),
                               static_cast<unsigned char>(pages >> 8), static_cast<unsigned char>(pages)};
  if (!fd.valid() || ::pwrite(fd.get(), be, sizeof be, static_cast<off_t>(value_at)) != sizeof be) {
    *err = "cannot write the page count of " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The job changed under its name, so its cached record (page count, size, option values) is
// read again from the file; the number of records stays, so the next list needs no rebuild.
void refresh_record(PrnList* l, const std::string& name) {
  load_prn_list(l, library::cache_file());
  drop_prn_entry(l, name);
  get_prn_entry(l, name);
  save_prn_list(*l, library::cache_file());
}

// Rewrites the stored job through the filter; the job is replaced only by a whole filtered file.
void save_job(const webkit::Page& page, PrnList* l, const std::string& name, const std::string& out,
              spooler::print_settings s, const char* query) {
  s.from = page.getIntParam(query, "from");
  if (s.from == 0) s.from = 1;
  s.to = std::max(page.getIntParam(query, "to"), s.from);
  s.copies = page.getIntParam(query, "dm_copies_orig");
  const prnfilt_args args = spooler::filter_args(s, library::jobs_dir() + name, out);
  int32_t too_large = 0;
  int pages = prnfilt(args, &too_large, l->err);
  std::string err;
  if (pages >= 0 && too_large == 0 && zjs::stream_is_whole(out) && set_page_count(out, &err) &&
      sync_file(out)) {
    if (ld::move_file(out, library::jobs_dir() + name, &err)) {
      // The saved job is the one a power cut leaves: the screen shows it saved.
      if (!ld::fsync_dir(library::jobs_dir(), &err)) fprintf(l->err, "%s\n", err.c_str());
      refresh_record(l, name);
    } else {
      fprintf(l->err, "%s\n", err.c_str());
    }
    return;
  }
  if (!err.empty()) fprintf(l->err, "jobdesk ERROR %s\n", err.c_str());
  if (too_large) fprintf(l->err, "jobdesk ERROR - file too large %s\n", out.c_str());
  fprintf(l->err, "/bin/rm %s\n", ld::esc_sh(out).c_str());
  ld::remove_file(out);
}

}  // namespace

spooler::print_settings read_print_settings(const webkit::Page& page, const char* query) {
  spooler::print_settings s;
  s.from = std::max(page.getIntParam(query, "from_disp"), 1);
  s.to = std::max(page.getIntParam(query, "to_disp"), 1);
  s.copies = page.getIntParam(query, "dm_copies");
  s.disp = page.getIntParam(query, "disp_units");
  s.collate = page.getParam(query, "Collate") ? 1 : 0;
  std::string q = page.getParam(query, "quality").value_or("");
  s.quality = q == "-3" ? -3 : q == "-4" ? -4 : 0;
  return s;
}

int32_t option_write_value(const webkit::Page& page, const char* query,
                           const library::PrnOption& o) {
  if (o.decimals == 0) return page.getIntParam(query, o.field_id.c_str());
  auto text = page.getParam(query, o.field_id.c_str());
  if (!text) return 0;
  double scaled = strtod(text->c_str(), nullptr) * std::pow(10.0, o.decimals);
  if (std::isnan(scaled)) return 0;
  // A typed value such as 2.51 has no exact double: scaled, it lands a hair below 251 and would
  // be cut to 250. A result within rounding error of a whole number is that number.
  double whole = std::nearbyint(scaled);
  if (std::fabs(scaled - whole) <= 1e-9 * std::max(1.0, std::fabs(scaled))) scaled = whole;
  double v = std::trunc(scaled);
  // A value past the item's range would be undefined to convert; it is held at the limit.
  v = std::clamp(v, double(std::numeric_limits<int32_t>::min()),
                 double(std::numeric_limits<int32_t>::max()));
  return static_cast<int32_t>(v);
}

std::string queue_display_name(const std::string& name, int32_t first, int32_t last) {
  std::string base = job_base(name);
  if (last == 1) return base;
  return base + "_" + std::to_string(first) + "_" + std::to_string(last);
}

int do_print(webkit::Page* page, PrnList* l, const std::string& name, int mode, const char* query,
             const std::string& schema_path) {
  load_print_options(page, &l->schema, schema_path, l->err);
  page->add_body_line("<body style='background-color:black'>");
  if (!is_plain_name(name)) {
    // A name from the query that is not a plain name would read or replace a file elsewhere.
    fprintf(l->err, "jobdesk ERROR invalid job name %s\n", name.c_str());
    return 1;
  }
  spooler::print_settings s = read_print_settings(*page, query);
  for (const library::PrnOption& o : l->schema)
    s.options.push_back({o.id, option_write_value(*page, query, o)});
  std::string display = queue_display_name(name, s.from, s.to);
  std::string out;
  if (mode == kSaveMode) {
    remove_stale_saves(l);
    out = new_save_output(l);
    if (out.empty()) return 1;
  }
  char line[160];
  snprintf(line, sizeof line, "prnfilt from=%d to=%d dm=%d collate=%d quality=%d noptions=%zu",
           s.from, s.to, s.copies, s.collate, s.quality, s.options.size());
  log_line(*l, line);
  // The queue copy's name is enqueue's to choose: when it finds none free (or cannot queue),
  // the caller shows the job as already queued.
  if (mode == kPrintMode) {
    if (!queue_copy(l, name, display, s)) return 0;
    if (check_pause(l->queue) == 1) {  // 1: not paused
      page->add_head_line("<meta http-equiv='refresh' content='0; url=http://" +
                          webkit::html_escape(ld::printer_host()) + "/?touch=true'>\n");
    }
  } else {
    save_job(*page, l, name, out, s, query);
  }
  return 1;
}

}  // namespace jobdesk
