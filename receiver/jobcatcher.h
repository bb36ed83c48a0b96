// The job receiver: takes one job per TCP connection (PJL preamble with the hex-coded job name,
// the ZjStream, a 4-byte length trailer), checks it, and stores the bare stream in the waiting
// directory "/print/prns/tmp/" with a page-count item, then raises "/tmp/run_prn2jpg".
// A job is stored whole or not at all.
#pragma once
#include <cstdint>
#include <string>

#include "common/clock.h"

namespace jobcatcher {

// Limits of the receiver. Input beyond them is rejected, never written past.
constexpr size_t kPreambleMax = 65536;     // preamble up to and including the magic
constexpr size_t kMaxRead = 0xFFFE;        // largest single receive
constexpr size_t kHeaderWindow = 4096;     // bytes examined by the header check
constexpr size_t kNameSearch = 970;        // positions searched for the closing quote
constexpr size_t kDocItemsMax = 4096;      // START_DOC items area
constexpr int kMaxSuffix = 999999;

struct Config {
  int idle_timeout_s = 60;           // a sender silent this long loses its connection
  ld::Clock* clock = &ld::system_clock();
};

// The capture of the current connection, "/print/tmp/upload.pjl" under the root.
std::string capture_path();

// Receives one connection into the capture file (preamble phase, chunk phase) and prints the
// console lines. Returns the number of START_PAGE chunks seen, or -1 when the capture was
// rejected while receiving (it is then not checked or stored).
int receive(int conn_fd, const Config& cfg);

// Checks the capture and stores its job; 1 when a job was stored.
int _process(int pagecount);

// Chooses the name (the job name rules of spooler/jobname: safe, cut to the one length limit,
// numbered when taken), writes the job file, removes the capture, raises the flag. 1 on success.
int _move_tempfile(const std::string& name, int64_t length, int64_t offset, int pagecount);

// The job name from its hexadecimal form: "Unknown" when empty, "Invalid" when of odd length.
std::string _char2utf8(const std::string& hex);

// The accept loop; returns only when the listening socket fails.
int serve(int listen_fd, const Config& cfg);

}  // namespace jobcatcher
