// The PJL job sender and the send loop: a filtered job goes to the printer's raw print port
// behind a PJL job header that names it and asks for status reports, which are watched for a
// cancellation; the loop takes ready jobs from the head of the print queue while the printer
// is online and the queue is not paused, and removes each job after its last send.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "common/clock.h"

// Bytes of the job file sent per step, and the most read back from the printer at a time.
constexpr size_t kPjlFileBuffer = 100000;
constexpr size_t kPjlReplyBuffer = 99999;
// Attempts to take a finished job out of the queue before it is left at the head.
constexpr int kRemoveAttempts = 20;

// The job name of the JOB line: the file's base name, each byte as two lower-case hex digits.
std::string pjl_hex_name(std::string_view path);
// The eight pieces of the job header, in the order they are sent.
std::string pjl_header(std::string_view path);

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
// on standard error and 0.
int send_header(int fd, const std::string& text);

// Sends the job file to the printer (host alias and raw port from the endpoints): the header,
// then the file in kPjlFileBuffer pieces, reading the printer's reports without waiting after
// each, and after the last piece until the printer closes (finish_send). 1 when the printer
// took the whole file; 0, with a message on standard error, when the name does not resolve, the
// connection fails or breaks, the file cannot be opened or read, a send fails or the printer
// reports "CANCEL". Connection and file are closed on every return.
int print_pjl(const std::string& path);

// One send of the head job: 1 when a job was sent (or its send failed and it was dropped), 0
// when nothing was sent (queue empty, head not spooled, no lock, queue not writable).
// `clock` gives the send time and the pause between removal attempts.
int print_first(ld::Clock& clock = ld::system_clock());

// The send loop: waits ("wait  %d\n" once a second) until the printer is online and the queue
// is not paused, sends the head job, pauses a second, and again, until print_first sends
// nothing. Returns 1.
int print_all(ld::Clock& clock = ld::system_clock());
