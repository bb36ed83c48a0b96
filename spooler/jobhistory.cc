#include "spooler/jobhistory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/paths.h"
#include "spooler/printq.h"

namespace ld {
namespace {

constexpr std::string_view kWords[] = {"sent", "cancelled", "removed", "failed"};

template <typename T>
bool parse_number(std::string_view s, T* out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

// Splits at tabs into exactly n fields (the last may hold anything but a line end).
bool split_fields(std::string_view line, std::string_view* f, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    f[i] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  f[n - 1] = line;
  return true;
}

bool fail(std::string* err, std::string msg) {
  if (err) *err = std::move(msg);
  return false;
}

}  // namespace

std::string_view job_end_word(JobEnd end) { return kWords[static_cast<int>(end)]; }

// A line: "H1", ended_at, queued_at, end, pages, copies, name, "." (tab-separated). The
// closing dot tells a whole line from one cut inside its name.
std::string format_history_line(const HistoryEntry& e) {
  std::string name = e.name.substr(0, kHistoryNameMax);
  for (char& c : name)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  std::string line = "H1\t" + std::to_string(e.ended_at) + "\t" + std::to_string(e.queued_at) + "\t";
  line += job_end_word(e.end);
  line += "\t" + std::to_string(e.pages) + "\t" + std::to_string(e.copies) + "\t" + name + "\t.";
  return line;
}

bool parse_history_line(std::string_view line, HistoryEntry* out) {
  std::string_view f[8];
  if (!split_fields(line, f, 8) || f[0] != "H1" || f[7] != ".") return false;
  HistoryEntry e;
  if (!parse_number(f[1], &e.ended_at) || !parse_number(f[2], &e.queued_at) ||
      !parse_number(f[4], &e.pages) || !parse_number(f[5], &e.copies))
    return false;
  auto w = std::find(std::begin(kWords), std::end(kWords), f[3]);
  if (w == std::end(kWords)) return false;
  e.end = static_cast<JobEnd>(w - std::begin(kWords));
  if (f[6].size() > kHistoryNameMax || f[6].find('\t') != std::string_view::npos) return false;
  e.name = std::string(f[6]);
  *out = std::move(e);
  return true;
}

std::vector<HistoryEntry> parse_history(std::string_view text) {
  std::vector<HistoryEntry> out;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) break;  // a last line without its end was cut
    HistoryEntry e;
    if (parse_history_line(text.substr(0, nl), &e)) out.push_back(std::move(e));
    text.remove_prefix(nl + 1);
  }
  return out;
}

std::string history_path() { return rooted("/print/jobhistory"); }
std::string history_lock_path() { return rooted("/tmp/jobhistory.lock"); }

bool record_job_end(const HistoryEntry& e, std::string* err, size_t max) {
  UniqueFd lock(::open(history_lock_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid()) return fail(err, "cannot open " + history_lock_path());
  // flock ends with the descriptor, so a writer that dies cannot leave the lock held.
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return fail(err, "cannot lock " + history_lock_path());
  std::string text;
  if (file_exists(history_path()) && !read_file(history_path(), &text, err)) return false;
  std::vector<HistoryEntry> all = parse_history(text);
  all.push_back(e);
  size_t first = all.size() > max ? all.size() - max : 0;
  std::string out;
  for (size_t i = first; i < all.size(); ++i) out += format_history_line(all[i]) + "\n";
  return write_file_atomic(history_path(), out, err);
}

HistoryEntry history_entry(const spooler::queue_record& r, JobEnd end, int64_t now) {
  HistoryEntry e;
  e.name = std::string(r.displayname, strnlen(r.displayname, sizeof r.displayname));
  // A range whose end lies before its start still prints one page.
  e.pages = r.to >= r.from ? r.to - r.from + 1 : 1;
  e.copies = r.copies;
  e.queued_at = r.added_time;
  e.ended_at = now;
  e.end = end;
  return e;
}

void record_queue_job_end(const spooler::queue_record& r, JobEnd end, int64_t now, FILE* err) {
  std::string why;
  if (!record_job_end(history_entry(r, end, now), &why))
    std::fprintf(err, "job history: %s not recorded: %s\n", r.displayname, why.c_str());
}

std::vector<HistoryEntry> read_history() {
  std::string text;
  if (!read_file(history_path(), &text)) return {};
  std::vector<HistoryEntry> all = parse_history(text);
  std::reverse(all.begin(), all.end());
  return all;
}

}  // namespace ld
