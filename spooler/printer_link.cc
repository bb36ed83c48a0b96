#include "spooler/printer_link.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/endpoints.h"
#include "common/handles.h"
#include "common/net.h"
#include "common/paths.h"
#include "webkit/json.h"

std::string printer_status_path() { return ld::rooted("/var/www/html/cgi-bin/system.json"); }

int check_printer_status(ld::Clock& clock) {
  const std::string path = printer_status_path();
  // A document that cannot be examined counts as one modified at the epoch: stale.
  struct stat st;
  time_t modified = ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
  long long age = static_cast<long long>(clock.now()) - static_cast<long long>(modified);
  // A modification time in the future (a clock set back) cannot vouch for the printer either.
  if (age >= kStatusMaxAgeSeconds || age <= -kStatusMaxAgeSeconds) {
    char when[64] = "?\n";
    ::ctime_r(&modified, when);
    std::fprintf(stderr, "Last modified time: %s diff %lu\n", when,
                 static_cast<unsigned long>(age < 0 ? -age : age));
    return 0;
  }

  JsonNode* doc = get_json(path);
  if (doc == nullptr) {
    std::fprintf(stderr, "could not load %s\n", path.c_str());
    return 0;
  }
  JsonNode* state = getJSONObject("system.SystemState", doc);
  int result = 0;
  if (state == nullptr || state->type == JSON_OBJECT || state->type == JSON_ARRAY) {
    std::fputs("could not get printer status\n", stderr);
  } else if (state->value == "Online") {
    std::fputs("check_printer_status ok\n", stderr);
    result = 1;
  } else {
    std::fprintf(stderr, "printer status %s\n", state->value.c_str());
  }
  free_json(doc);
  return result;
}

int print_prn(const std::string& address, const std::string& path) {
  // The file first: a missing job must not cost the printer an empty connection.
  ld::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    std::fprintf(stderr, "ERROR: File %s not found.\n", path.c_str());
    return 0;
  }
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect(address, ld::printer_raw_port(), kPrintConnectTimeoutMs, &err);
  if (!sock.valid()) {
    std::fputs("ERROR: Failed to connect to the printer!\n", stderr);
    return 0;
  }
  ld::set_socket_timeouts(sock.get(), 0, kPrintSendTimeoutMs);

  std::vector<char> buf(kPrintSendBuffer);
  for (;;) {
    ssize_t n = ::read(file.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "ERROR: Cannot read %s %d.\n", path.c_str(), errno);
      return 0;
    }
    if (n == 0) return 1;
    // MSG_NOSIGNAL: a printer that hangs up must fail this send, not end the program.
    for (ssize_t sent = 0; sent < n;) {
      ssize_t w = ::send(sock.get(), buf.data() + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        std::fprintf(stderr, "ERROR: Failed to send %d bytes from file %s %d.\n", static_cast<int>(n),
                     path.c_str(), errno);
        return 0;
      }
      sent += w;
    }
  }
}
