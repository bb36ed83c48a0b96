// zjsfilter: runs the job filter over one job from the command line, for the benchmark and
// the demo. Prints the page count and the too-large flag; exits 1 on a fatal filter error.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/run.h"
#include "spooler/prnfilt.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: zjsfilter INPUT OUTPUT [--from N] [--to N] [--copies N] [--collate]\n"
               "                 [--quality N] [--disp N] [--item ID=VALUE]... [--peak-kib]\n"
               "--peak-kib prints the filter's peak resident memory (KiB) to standard error.\n");
}

// VmHWM of this process, in KiB; -1 when unknown.
long peak_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kib;
}

bool parse_int(const char* text, int32_t* out) {
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 0);
  if (end == text || *end != '\0' || v < INT32_MIN || v > UINT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  if (argc < 3) {
    usage();
    return 2;
  }
  prnfilt_args a;
  a.input = argv[1];
  a.output = argv[2];
  a.from = 1;
  a.to = INT32_MAX;
  bool report_peak = false;
  for (int i = 3; i < argc; ++i) {
    std::string opt = argv[i];
    const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = true;
    if (opt == "--collate") a.collate = 1;
    else if (opt == "--peak-kib") report_peak = true;
    else if (val == nullptr) ok = false;
    else if (opt == "--from") ok = parse_int(argv[++i], &a.from);
    else if (opt == "--to") ok = parse_int(argv[++i], &a.to);
    else if (opt == "--copies") ok = parse_int(argv[++i], &a.copies);
    else if (opt == "--quality") ok = parse_int(argv[++i], &a.quality);
    else if (opt == "--disp") ok = parse_int(argv[++i], &a.disp);
    else if (opt == "--item") {
      std::string v = argv[++i];
      size_t eq = v.find('=');
      prnfilt_override o;
      int32_t id = 0;
      ok = eq != std::string::npos && parse_int(v.substr(0, eq).c_str(), &id) &&
           parse_int(v.substr(eq + 1).c_str(), &o.value);
      o.id = static_cast<uint32_t>(id);
      a.overrides.push_back(o);
    } else {
      ok = false;
    }
    if (!ok) {
      usage();
      return 2;
    }
  }
  int32_t send_copies = 0;
  int pages = prnfilt(a, &send_copies);
  if (report_peak) std::fprintf(stderr, "peak_kib %ld\n", peak_kib());
  if (pages < 0) return 1;
  std::printf("pages=%d send_copies=%d\n", pages, send_copies);
  return 0;
}
