// The job library: one PrnInfo per stored job in /print/prns/, kept as a list for one run and
// cached in "/print/prns/prn_meta" between runs, so that listing does not read every job file
// each time. Also the small questions the pages ask about a job (its date, whether it exists).
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "common/ui_log.h"
#include "library/prninfo.h"
#include "library/prnrecord.h"
#include "spooler/queue_config.h"

namespace jobdesk {

// The cache file's layout is the library's (library/prnrecord): the list reads and writes it
// under these names.
using library::decode_prn_info;
using library::encode_prn_info;
using library::kCacheVersion;
using library::kMaxOptions;
using library::kPrnInfoSize;
using library::PrnInfoView;
using library::record_fits;
using library::view_prn_info;

// One run's view of the library. `schema` is the option schema every new record starts from;
// messages go to `err`, event lines through `log` (ld::log_event's own log when empty).
struct PrnList {
  std::list<library::PrnInfo> list;  // front is the head
  std::vector<library::PrnOption> schema;
  FILE* err = stderr;
  ld::EventSink log;
  // The print queue that Print adds to and the queue page shows (and its messages).
  spooler::Config queue;
  // Set when a record was made or changed since the cache was read: only then is the cache
  // worth writing again (it is megabytes at a few hundred jobs).
  bool changed = false;
};

// An event-log line through the list's log function (the run's, or a test's), else through a
// log of its own.
void log_line(const PrnList& l, std::string_view text);

// Reads the cache into the list (each record in front, so the list ends in reverse file
// order). Result: records read; 0 with a message when the file is missing, unreadable or of
// another version. A cut last record is not taken.
int load_prn_list(PrnList* l, const std::string& path);
// Writes the version and the records in list order under a temporary name and renames it over
// `path`, so an overlapping run reads the old cache or the new one, never a part. Records whose
// names do not fit their fields are left out (they are read afresh each run). Result: records
// written, 0 on failure.
int save_prn_list(const PrnList& l, const std::string& path);

// Brings the list in line with the job folder and rewrites the cache. Result: number of jobs.
int get_prn_list(PrnList* l);
// The record of job `name` from the list, or a new one read from the job and put in front.
// None when the job has no usable thumbnail: the job (and a bad thumbnail) is then removed.
library::PrnInfo* get_prn_entry(PrnList* l, const std::string& name);
// Fills a record's values from its job file (job_path) and the driver text.
void get_prn_data(PrnList* l, library::PrnInfo* info);
// Removes the first record named `name`; false when none is.
bool drop_prn_entry(PrnList* l, const std::string& name);
// Reorders the first `count` records by key ("name", "NAME", "pages", "PAGES", "date",
// "DATE"; anything else is "date").
void sort_prn_list(PrnList* l, int count, std::string_view key);

// One row of the list page: what it shows of a job and sorts by.
struct ListRow {
  std::string file_name, display_name, thumb_path;
  int32_t file_size = 0, pages = 0, copies = 0;
  int64_t mtime = 0;       // the record's, the key of the date orders
  bool dated = false;      // the job file could be read for its date
  int64_t file_mtime = 0;  // the job file's modification time, shown as its date
};

// get_prn_list for the list page: the same records, messages and cache, each job as a row in
// list order. When the cache is in step with the folder (every job has its record, every record
// its job, with paths and sizes unchanged) the records are read in place and only as far as the
// list shows them, and l->list stays empty; otherwise get_prn_list runs and l->list holds the
// records the rows come from. Result: number of jobs.
int get_list_rows(PrnList* l, std::vector<ListRow>* rows);
// The list page's order in one pass: sort_prn_list's order of `key`, rows of an equal key by
// name (case-insensitive), rows of an equal name as they came; so the same as a stable sort by
// name followed by one by the key.
void sort_list_rows(std::vector<ListRow>* rows, std::string_view key);

// A modification time as UTC text in `format`, at most 21 characters.
std::string date_text(int64_t mtime, const std::string& format);
// The job file's modification time as UTC text in `format`, at most 21 characters ("" when the
// file cannot be read).
std::string prn_date(const std::string& path, const std::string& format);
// 1 when the job folder holds an entry named exactly `name`; each compared entry is written
// to `err` as "%s<>%s %d\n".
int prn_exists(const std::string& name, FILE* err = stderr);

// The driver text a job carries in its "BMT" data, or "Unkown".
std::string driver_text(const std::string& job_path);

}  // namespace jobdesk
