// The event log server: takes event lines "<tag>,<message>" from any number of clients at once
// in one poll loop and appends each, time-stamped, to the day file of its tag. A client that
// stalls holds up no one and is let go when idle too long; no accepted line is lost. Only clients
// on this machine are served: a connection from another host is closed at once, and said so.
#pragma once
#include <poll.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/handles.h"
#include "eventlog/logfiles.h"
#include "eventlog/logline.h"

struct sockaddr;

namespace eventlog {

// A client on this machine: a loopback address, or one of `own_addresses` (address bytes as
// own_addresses() gives them; IPv4-mapped IPv6 counts as IPv4).
bool is_local_client(const sockaddr* peer, const std::vector<std::string>& own_addresses);
// The address bytes of every interface address of this machine (4 or 16 bytes each).
std::vector<std::string> own_addresses();

struct Config {
  std::string log_dir;            // "/print/log" under the root
  int idle_timeout_s = 60;        // a client silent this long loses its connection
  size_t max_clients = 64;        // beyond this a client that never sent, else the longest idle, is let go
  ld::Clock* clock = &ld::system_clock();
  FILE* out = stdout;             // the refused-line messages
  FILE* err = stderr;             // problems of the server itself
};

// The log folder on this machine: "/print/log" under the root prefix.
std::string log_dir();

class Server {
 public:
  // listen_fd may be -1: then connections come only through add_connection().
  Server(int listen_fd, const Config& cfg);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void add_connection(ld::UniqueFd fd);
  // One round of the loop: waits up to timeout_ms for something to do, takes new clients,
  // reads once from every client with input, writes the records, lets idle clients go.
  // False when waiting itself failed.
  bool step(int timeout_ms);
  size_t connections() const { return conns_.size(); }

 private:
  struct Conn {
    ld::UniqueFd fd;
    LineSplitter lines;
    int64_t last_input_ms;  // monotonic: when it last sent, or connected
    bool heard = false;     // it has sent something
  };
  enum class ReadResult { kData, kNothing, kEnded };

  void accept_clients();
  // The client to let go when there are too many: one that never sent (the oldest of them),
  // else the one silent for longest.
  size_t eviction_victim() const;
  ReadResult read_from(Conn* c);
  // Takes in what the client sent before it is let go: the bytes the socket holds right now.
  void drain(Conn* c);
  void end(size_t i);
  void handle_line(std::string_view line, bool cut);

  int listen_fd_;
  Config cfg_;
  LogStore store_;
  std::vector<Conn> conns_;
  std::vector<pollfd> fds_;
  std::vector<char> buf_;
  LineSplitter::Sink sink_;
};

// The accept loop; returns non-zero only when waiting for clients fails.
int serve(int listen_fd, const Config& cfg);

}  // namespace eventlog
