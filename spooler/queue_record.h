// One job record of the queue file: its fields, its fixed 852-byte little-endian layout and how
// two records are known to be the same job.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace spooler {

constexpr size_t kQueueRecordSize = 852;
constexpr size_t kQueueTextSize = 200;  // path and displayname: at most 199 bytes and a NUL
constexpr int kQueueMaxTags = 50;
// Longest path whose record also carries the add serial: it is kept in the last four bytes of
// the path field, behind the path's NUL.
constexpr size_t kQueuePathRoom = 195;
constexpr size_t kQueueSerialOffset = 196;

struct queue_tag {
  int32_t id = 0;     // job item id
  int32_t value = 0;  // value the filter writes into it
};

// One job of the queue, as the file stores it (little-endian, offsets in the comments).
struct queue_record {
  char path[kQueueTextSize] = {};         //   0: the queued ".spl" copy, later the ".prn" file
  char displayname[kQueueTextSize] = {};  // 200: name shown to the user
  int32_t added_time = 0;                 // 400: seconds since the epoch
  int32_t printing = 0;                   // 404: 1 once a send has started
  int32_t print_time = 0;                 // 408: start of the latest send
  int32_t spooled = 0;                    // 412: 1 once filtered, ready to send
  int32_t quality = 0;                    // 416: item 113 value, 0 = keep the job's
  int32_t disp = 0;                       // 420: item 0x8514 value, 0 = keep the job's
  int32_t from = 0;                       // 424: first page, from 1
  int32_t to = 0;                         // 428: last page
  int32_t copies = 0;                     // 432
  int32_t copies_sent = 0;                // 436: sends started so far
  int32_t collate = 0;                    // 440
  int32_t send_copies = 0;                // 444: 1 = file holds one set, sent `copies` times
  int32_t ntags = 0;                      // 448: used entries of tags
  queue_tag tags[kQueueMaxTags] = {};     // 452: (id, value) pairs
  // 196 (inside the path field, behind its NUL; only when the path is at most kQueuePathRoom
  // bytes, else 0): a number drawn when the job was added. Paths are reused (a job deleted and
  // queued again gets the first free name), so a job is known by its path, added_time and this
  // serial together: see same_job.
  uint32_t serial = 0;
};

// True when both records are the same queued job: the same path, added_time and serial. A job
// deleted and queued again under the same path is another job.
bool same_job(const queue_record& a, const queue_record& b);

// Explicit little-endian layout. Decoding always leaves both texts NUL-terminated and ntags
// within 0..50, whatever the bytes say, so no reader of a damaged file runs past a field.
void encode_queue_record(const queue_record& r, unsigned char* out /* kQueueRecordSize */);
queue_record decode_queue_record(const unsigned char* in /* kQueueRecordSize */);
// True when the path leaves room for the add serial behind its NUL.
bool path_has_room(const char (&path)[kQueueTextSize]);
// Copies at most 199 bytes of text into a path or displayname field, always terminated.
void set_record_text(char (&field)[kQueueTextSize], std::string_view text);

}  // namespace spooler
