// What became of every job that left the print queue: a small text file, newest last, bounded
// to the last kHistoryMax jobs. The sender, the job browser and the status pages share it, so
// every writer takes the history lock and replaces the whole file (temp, fsync, rename): a
// reader sees the old file or the new one, never half of one, and a power cut loses at most
// the job being recorded.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ld {

// How a job left the queue.
enum class JobEnd { kSent, kCancelled, kRemoved, kFailed };

struct HistoryEntry {
  std::string name;  // display name; tabs and line ends are stored as blanks
  int32_t pages = 0;
  int32_t copies = 0;
  int64_t queued_at = 0;  // seconds since the epoch
  int64_t ended_at = 0;
  JobEnd end = JobEnd::kSent;
};

inline constexpr size_t kHistoryMax = 200;
// Longest name kept: longer names are cut, so one odd job cannot blow up the file.
inline constexpr size_t kHistoryNameMax = 200;

// "sent", "cancelled", "removed", "failed" (the word stored in the file).
std::string_view job_end_word(JobEnd end);

// One line of the file, without the line end; and back. parse refuses anything that is not a
// whole line (a file cut by a power failure ends in such a line).
std::string format_history_line(const HistoryEntry& e);
bool parse_history_line(std::string_view line, HistoryEntry* out);

// Every whole entry of a file's text, oldest first; broken lines are skipped.
std::vector<HistoryEntry> parse_history(std::string_view text);

// The history file and its lock, under the root prefix.
std::string history_path();
std::string history_lock_path();

// Appends one entry under the lock, keeping the newest `max` entries. Waits for the lock
// (another writer holds it only for a read and a rename).
bool record_job_end(const HistoryEntry& e, std::string* err = nullptr, size_t max = kHistoryMax);

// The queue's way in: the record of a job that just left the queue, and how. A history that
// cannot be written costs only the entry (a message on `err`), never the print.
}  // namespace ld
namespace spooler {
struct queue_record;
}  // namespace spooler
namespace ld {
HistoryEntry history_entry(const spooler::queue_record& r, JobEnd end, int64_t now);
void record_queue_job_end(const spooler::queue_record& r, JobEnd end, int64_t now, FILE* err);

// The entries, newest first (an absent file is an empty history).
std::vector<HistoryEntry> read_history();

}  // namespace ld
