// jobsend: sends a file (or standard input) to host:port, as a workstation sends a job, then
// closes the connection. Options slow it down or stop it midway for tests of stalled senders.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fsops.h"
#include "common/net.h"
#include "common/run.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  long stop_after = -1;  // bytes, then stall for `stall` seconds before closing
  int stall = 0;
  int argi = 1;
  while (argi < argc && argv[argi][0] == '-' && argv[argi][1] != '\0') {
    std::string a = argv[argi++];
    if (a == "--stop-after" && argi < argc) stop_after = std::atol(argv[argi++]);
    else if (a == "--stall" && argi < argc) stall = std::atoi(argv[argi++]);
    else {
      argi = argc + 1;
      break;
    }
  }
  if (argc - argi != 2) {
    std::fprintf(stderr, "usage: jobsend [--stop-after BYTES] [--stall SECONDS] HOST:PORT FILE|-\n");
    return 2;
  }
  std::string target = argv[argi];
  size_t colon = target.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "jobsend: expected HOST:PORT, got %s\n", target.c_str());
    return 2;
  }
  std::string file = argv[argi + 1];
  int in = file == "-" ? 0 : ::open(file.c_str(), O_RDONLY);
  if (in < 0) {
    std::perror(file.c_str());
    return 1;
  }
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect(target.substr(0, colon), std::atoi(target.c_str() + colon + 1),
                                      5000, &err);
  if (!sock.valid()) {
    std::fprintf(stderr, "jobsend: %s\n", err.c_str());
    return 1;
  }
  static char buf[1 << 16];
  long sent = 0;
  for (;;) {
    size_t want = sizeof buf;
    if (stop_after >= 0) {
      if (sent >= stop_after) break;
      want = std::min<size_t>(want, static_cast<size_t>(stop_after - sent));
    }
    ssize_t r = ::read(in, buf, want);
    if (r < 0) {
      std::perror("jobsend: read");
      return 1;
    }
    if (r == 0) break;
    if (!ld::write_all(sock.get(), buf, static_cast<size_t>(r))) {
      std::perror("jobsend: send");
      return 1;
    }
    sent += r;
  }
  if (stall > 0) ::sleep(static_cast<unsigned>(stall));
  ::shutdown(sock.get(), SHUT_WR);
  // Wait for the receiver to close its side so the whole job is taken before we exit.
  char drain[256];
  while (::read(sock.get(), drain, sizeof drain) > 0) {
  }
  return 0;
}
