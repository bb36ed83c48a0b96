#include "spooler/queuejson.h"

#include "common/json_escape.h"

namespace queuejson {

const char* job_status(const Entry& job, bool paused) {
  if (job.spooled == 0) return "Spooling";
  if (paused) return "Paused";
  if (job.printing == 1) return "Printing";
  return "Queued";
}

std::vector<std::string> report_lines(const std::vector<Entry>& jobs, bool paused) {
  std::vector<std::string> lines;
  lines.reserve(2 + 6 * jobs.size());
  lines.emplace_back("{ \"jobs\": [\n");
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Entry& j = jobs[i];
    lines.emplace_back("    {\n");
    lines.push_back("     \"index\": " + std::to_string(i) + ",\n");
    lines.push_back("     \"file\": \"" + ld::json_escape(j.path) + "\",\n");
    lines.push_back("     \"displayname\": \"" + ld::json_escape(j.displayname) + "\",\n");
    lines.push_back(std::string("     \"status\": \"") + job_status(j, paused) + "\"\n");
    lines.emplace_back(i + 1 < jobs.size() ? "    },\n" : "    }\n");
  }
  lines.emplace_back("  ]\n}\n");
  return lines;
}

}  // namespace queuejson

// Interim reader until the queue store joins the spooler library.
#include <cstdio>

#include <cstring>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/paths.h"

namespace queuejson {

std::vector<Entry> read_queue(bool* paused) {
  *paused = ld::file_exists(ld::rooted("/print/printq/pause"));
  std::vector<Entry> jobs;
  std::string path = ld::rooted("/print/printq/printq");
  std::string data;
  if (!ld::read_file(path, &data)) {
    std::fprintf(stderr, "cannot open print queue %s\n", path.c_str());
    return jobs;
  }
  size_t n = data.size() / 852;
  std::fprintf(stderr, "Number of jobs in printq = %d\n", static_cast<int>(n));
  for (size_t i = 0; i < n; ++i) {
    const unsigned char* r = reinterpret_cast<const unsigned char*>(data.data()) + i * 852;
    Entry e;
    e.path = std::string(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 200));
    e.displayname = std::string(reinterpret_cast<const char*>(r + 200), strnlen(reinterpret_cast<const char*>(r + 200), 200));
    e.printing = static_cast<int>(ld::get_le32(r + 404));
    e.spooled = static_cast<int>(ld::get_le32(r + 412));
    jobs.push_back(e);
  }
  return jobs;
}

}  // namespace queuejson
