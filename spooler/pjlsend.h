// The PJL job sender and the send loop: a filtered job goes to the printer's raw print port
// behind a PJL job header that names it and asks for status reports, which are watched for a
// cancellation; the loop takes ready jobs from the head of the print queue while the printer
// is online and the queue is not paused, and removes each job after its last send.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "spooler/printq.h"
#include "spooler/stuckwatch.h"

namespace spooler {

// Bytes of the job file sent per step, and the most read back from the printer at a time.
constexpr size_t kPjlFileBuffer = 100000;
constexpr size_t kPjlReplyBuffer = 99999;
// The printer may take no data for this long (seconds) before a send is given up, unless the
// environment variable LABELDOCK_SEND_TIMEOUT holds a whole number of seconds from 1 to 86400.
constexpr int kDefaultSendTimeout = 300;
int send_timeout_seconds();

// The job name of the JOB line: the file's base name, each byte as two lower-case hex digits.
std::string pjl_hex_name(std::string_view path);

// One piece of what goes ahead of a job's bytes, sent on its own. A piece that cannot be sent
// is reported as the command it is (send_header's message) or, for the parts of the job's name
// line, as bytes of the job file.
struct HeaderPiece {
  std::string text;
  bool command = false;
};
// The eight pieces of the PJL job header for the file at `path`, in the order they are sent.
std::vector<HeaderPiece> pjl_job_header(std::string_view path);

// Finds "CANCEL" in the printer's reports even when one report arrives in two reads: the tail
// of the previous read is kept in front of the next.
class CancelWatch {
 public:
  // True once the reports seen so far contain the word.
  bool feed(std::string_view text);

 private:
  std::string tail_;
};

// Sends `text` on the connection. 1 on success; else "ERROR: Failed to send <%s>  errno %d.\n"
// on `err` and 0.
int send_header(int fd, const std::string& text, FILE* err);

// How a send ended. A printer that takes no data for the time-out (out of media or ribbon, a
// door open) has not refused the job: the job is not at fault and is sent again later.
enum class SendResult { kSent, kFailed, kStalled, kCancelled };

// The one raw send of a job on the open printer connection `fd`: the header pieces, then the
// bytes of `file_fd` from where it stands to its end (`path` names it in messages) in
// kPjlFileBuffer pieces, each moved by the kernel (sendfile) where the file allows it,
// reading the printer's reports without waiting after each piece and after the last until the
// printer closes (finish_send). A report with "CANCEL" ends it as kCancelled. kStalled when the
// printer took no data for `timeout_ms`; kFailed, with a message, when the file cannot be read
// or a send fails otherwise. The printer's reports and the messages go to `err`. `on_progress`
// as for pjl_send.
SendResult send_job(FILE* err, int fd, const std::vector<HeaderPiece>& header, int file_fd,
                    const std::string& path, int timeout_ms,
                    const std::function<void(int64_t taken)>& on_progress = {});

// Sends the job file to the printer (host alias and raw port from the endpoints): connects and
// hands the connection to send_job behind the PJL job header. `file_fd` is the job file open for
// reading, or -1 to open `path` here. Results as for send_job; kFailed also, with a message on
// cfg.err, when the name does not resolve, the connection fails or the file cannot be
// opened; the printer's addresses are listed on cfg.out. The connection (and a file opened here) is
// closed on every return. `on_progress`, when given, hears about once a second how many bytes of
// the connection the printer has taken so far, also while a piece waits.
SendResult pjl_send(const Config& cfg, const std::string& path, int file_fd, int timeout_ms,
                    const std::function<void(int64_t taken)>& on_progress = {});

// True when the record says that the job went out whole and only its removal is left: no
// send under way, and the sends made are all it needs.
bool job_finished(const queue_record& r);

// One send of the head job: 1 when a job was sent, its send was given up or failed, or a job
// sent before was removed; 0 when nothing was sent (queue empty, head not spooled, no lock,
// queue not writable, another program sending the head right now).
// The record tells the progress: before a send `printing` 1 and `copies_sent` counting it,
// after a whole send `printing` 0 (or the record removed after its last send). A head with
// `printing` 1 was being sent when its sender died; it cannot be known whether that copy went
// out, so the same copy is sent again. A head that went out whole is only removed. Once a copy
// went out, its result is recorded however long the queue lock stays taken or the disk full
// (a message, a second's pause, again): it is never sent again for a failed write.
// cfg.clock gives the send time and those pauses; progress goes to cfg.out, problems to cfg.err.
// `watch`, when given, hears of each send and its progress (the stuck-job watchdog).
int print_first(const Config& cfg, ld::StuckWatchdog* watch = nullptr);

// The send loop: waits ("wait  %d\n" once a second) until the printer is online and the queue
// is not paused, sends the head job, pauses a second, and again, until print_first sends
// nothing. Returns 1. A head job whose send does not move while the printer says it is online
// is reported by the stuck-job watchdog (event log and notice file).
int print_all(const Config& cfg);

}  // namespace spooler
