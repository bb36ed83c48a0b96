// The changes a user makes to the job library from the touch screen: delete one job, delete
// several, rename one. Every name comes from a query, so each is checked to stay a plain name
// inside the job folder before any file is touched.
#pragma once
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/handles.h"
#include "jobdesk/prnlist.h"
#include "webkit/html_utils.h"

namespace jobdesk {

// The popups of a request the library cannot serve as asked.
constexpr const char* kInvalidName = "Invalid filename!";
constexpr const char* kJobGone = "Job not found!";
constexpr const char* kBusyTitle = "Busy";
constexpr const char* kBusyText = "The jobs are being changed on another screen. Please try again.";

// Text for a single-quoted or double-quoted script string inside a <script> element: quotes,
// backslashes, "<", ">", "&" and control bytes as escapes, so a name can neither end the
// string nor the element.
std::string js_escape(std::string_view text);

// The page script's own URL coding of job names: `esc_url` codes the seven characters
// '"', '#', '%', '&', '\'', '+' and '`' as %XX, `unesc_url` turns exactly those back (after the
// toolkit's decoding) and copies every other byte.
std::string esc_url(std::string_view name);
std::string unesc_url(std::string_view name);

// The popup the page script opens at load: three head lines with the title and message.
void show_popup(webkit::Page* page, std::string_view title, std::string_view message);

// A name that stays inside its folder: not empty, not "." or "..", no "/" and no control byte.
bool is_plain_name(std::string_view name);
// Whether `file_name` is a job of the library right now: a plain job name whose entry in the
// job folder is a regular file (not a link, a folder or a name the folder lacks).
bool is_library_job(const std::string& file_name);
// Whether a rename to `new_name` (without ".prn") would meet another job: a library job whose
// file or thumbnail has that name, or a job waiting in the folder of new jobs that thumbmaker
// will place under it. Job entries compared in the library are written to `err` as
// "%s<>%s %d\n".
bool name_taken(const std::string& new_name, FILE* err);


// The lock every jobdesk run holds while it reads or changes the library (list, job page, save,
// print, rename, delete), so two screens never act on the library at the same moment: a rename
// never meets a list that takes its half-moved job for one without a thumbnail, a save never
// puts back a job that was deleted or renamed meanwhile. flock(2) on a file of its own, so a run
// that dies (even by kill -9) leaves nothing held. The wait is bounded.
std::string library_lock_path();  // ".../tmp/jobdesk.lock"
constexpr long kLibraryLockWaitMs = 15000;
class LibraryLock {
 public:
  LibraryLock(const std::string& path, long wait_ms, ld::Clock& clock);
  bool held() const { return fd_.valid(); }
  // Why the lock was not had ("" when held).
  const std::string& error() const { return error_; }

 private:
  ld::UniqueFd fd_;  // closing it releases the lock
  std::string error_;
};

// Removes the job and its thumbnail and tells the page script which job went. Only a job of
// the library is removed (is_library_job); result 1 when the job was taken, else 0.
int do_delete(webkit::Page* page, const PrnList& l, const std::string& name);
// Deletes every "delp" value of the query (at most 100), dropping their records from the cache
// first so the next list needs no rebuild. Values that are not plain names are refused before
// anything is touched. Result: number of names taken.
int do_multi_delete(webkit::Page* page, PrnList* l, const char* query);
// Renames job `old_name` (with ".prn") to `new_name` + ".prn", its thumbnail with it, and
// empties the cache. A missing, not plain or too long name shows "Rename" / "Invalid
// filename!", a name taken (name_taken, or by a job placed meanwhile) "Error" / "Duplicate
// filename!", a job no longer in the library "Error" / "Job not found!". The job is moved
// without ever replacing another. Result 1 when renamed.
int do_rename(webkit::Page* page, PrnList* l, const char* old_name, const char* new_name);

}  // namespace jobdesk
