// queuejob: queues a stored job for printing as the job browser does (enqueue_job): a copy in
// the queue directory as "<base name>_<n>.spl" (the first free n) and a queue record with the
// options. For the demo, the benchmarks and the tests, which have no browser to click.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/fsops.h"
#include "common/run.h"
#include "spooler/enqueue.h"

using spooler::enqueue_job;
using spooler::kQueueMaxTags;
using spooler::queue_record;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: queuejob JOB [--from N] [--to N] [--copies N] [--collate] [--send-copies]\n"
               "                [--quality N] [--disp N] [--item ID=VALUE]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  if (argc < 2) return usage();
  const std::string job = argv[1];
  queue_record r;
  r.from = 1;
  r.to = 1;
  r.copies = 1;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--collate") r.collate = 1;
    else if (a == "--send-copies") r.send_copies = 1;
    else if (a == "--from" && has_value) r.from = std::atoi(argv[++i]);
    else if (a == "--to" && has_value) r.to = std::atoi(argv[++i]);
    else if (a == "--copies" && has_value) r.copies = std::atoi(argv[++i]);
    else if (a == "--quality" && has_value) r.quality = std::atoi(argv[++i]);
    else if (a == "--disp" && has_value) r.disp = std::atoi(argv[++i]);
    else if (a == "--item" && has_value && r.ntags < kQueueMaxTags) {
      char* end = nullptr;
      const char* text = argv[++i];
      long id = std::strtol(text, &end, 0);
      if (end == nullptr || *end != '=') return usage();
      r.tags[r.ntags++] = {static_cast<int32_t>(id), static_cast<int32_t>(std::strtol(end + 1, nullptr, 0))};
    } else {
      return usage();
    }
  }
  std::string spl, err;
  if (!enqueue_job(spooler::named_config("queuejob"), job, ld::base_name(job), r, &spl, &err)) {
    std::fprintf(stderr, "queuejob: %s\n", err.c_str());
    return 1;
  }
  std::printf("%s\n", spl.c_str());
  return 0;
}
