// The job receiver: takes one job per TCP connection (PJL preamble with the hex-coded job name,
// the ZjStream, a 4-byte length trailer), checks it, and stores the bare stream in the waiting
// directory "/print/prns/tmp/" with a page-count item, then raises "/tmp/run_prn2jpg".
// A job is stored whole or not at all.
//
// Several workstations may send at once: up to kMaxConnections connections are received at the
// same time, each by its own thread into its own capture file, so a slow sender only ever holds
// its own connection; further senders wait in a listen backlog of kListenBacklog, and there is
// no pause between jobs. Every connection is bounded as a whole: it may last the idle time-out
// plus one second for every kMinRate bytes it has brought (see connection_time_left), so a
// sender that trickles its bytes loses its connection instead of holding a slot for days.
// Storing is race-free between the threads: each job is written under its own hidden name and
// put in place by a link that never replaces a file.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/ui_log.h"

namespace jobcatcher {

// Limits of the receiver. Input beyond them is rejected, never written past.
constexpr size_t kPreambleMax = 65536;     // preamble up to and including the magic
constexpr size_t kMaxRead = 0xFFFE;        // largest single receive
constexpr size_t kHeaderWindow = 4096;     // bytes examined by the header check
constexpr size_t kNameSearch = 970;        // positions searched for the closing quote
constexpr size_t kDocItemsMax = 4096;      // START_DOC items area
constexpr int kMaxSuffix = 999999;
constexpr int kMaxConnections = 16;        // received at the same time
constexpr int kListenBacklog = 64;         // connections the kernel holds until a slot is free
constexpr int64_t kMinRate = 16384;        // bytes a second that keep a connection's allowance
// The trailer states the capture's length in 32 bits: a longer capture can never be a job.
constexpr int64_t kCaptureMax = 0xFFFFFFFFLL;

struct Config {
  int idle_timeout_s = 60;           // a sender silent this long loses its connection
  ld::Clock* clock = &ld::system_clock();  // read by every receiving thread at once
  FILE* out = stdout;  // the console lines (accept, pages, the name, writing ...)
  FILE* err = stderr;  // why a connection or a capture was refused
  // Event-log lines. Unset: serve gives the run a UiLog of its own; a direct call of receive or
  // _process logs each line through ld::log_event.
  ld::EventSink log;
};

// The capture of the connection in receiving slot `slot`: "/print/tmp/upload.pjl" under the root
// for the first, "/print/tmp/upload-<slot>.pjl" for the others. One file per slot, so a
// refused capture stays for inspection until its slot takes the next connection.
std::string capture_path(int slot = 0);

// Seconds that a connection `elapsed_s` seconds old which has brought `bytes` bytes may still
// take: idle_timeout_s + bytes / kMinRate - elapsed_s. Below zero: its time is up.
int64_t connection_time_left(int idle_timeout_s, int64_t bytes, int64_t elapsed_s);

// Receives one connection into the capture file (preamble phase, chunk phase) and prints the
// console lines. Returns the number of START_PAGE chunks seen, or -1 when the capture was
// rejected while receiving (it is then not checked or stored): among others a stream that does
// not end with whole chunks followed by the 4-byte trailer.
int receive(int conn_fd, const Config& cfg, const std::string& capture = capture_path());

// Checks the capture and stores its job; 1 when a job was stored.
int _process(const Config& cfg, int pagecount, const std::string& capture = capture_path());

// Chooses the name (the job name rules of spooler/jobname: safe, cut to the one length limit,
// numbered when taken), writes the job file, removes the capture, raises the flag. 1 on success.
int _move_tempfile(const Config& cfg, const std::string& name, int64_t length, int64_t offset,
                   int pagecount, const std::string& capture = capture_path());

// The job name from its hexadecimal form: "Unknown" when empty, "Invalid" when of odd length.
std::string _char2utf8(const std::string& hex);

// The accept loop: hands each connection to a free receiving slot (waiting for one when all are
// busy); returns only when the listening socket fails, once every slot has finished.
int serve(int listen_fd, const Config& cfg);

}  // namespace jobcatcher
