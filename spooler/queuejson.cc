#include "spooler/queuejson.h"

#include "webkit/html_utils.h"

namespace spooler::queuejson {

const char* job_status(const queue_record& job, bool paused) {
  if (job.spooled == 0) return "Spooling";
  if (paused) return "Paused";
  if (job.printing == 1) return "Printing";
  return "Queued";
}

std::vector<std::string> report_lines(const std::vector<queue_record>& jobs, bool paused) {
  std::vector<std::string> lines;
  lines.reserve(2 + 6 * jobs.size());
  lines.emplace_back("{ \"jobs\": [\n");
  for (size_t i = 0; i < jobs.size(); ++i) {
    const queue_record& j = jobs[i];
    lines.emplace_back("    {\n");
    lines.push_back("     \"index\": " + std::to_string(i) + ",\n");
    lines.push_back("     \"file\": \"" + webkit::json_escape(j.path) + "\",\n");
    lines.push_back("     \"displayname\": \"" + webkit::json_escape(j.displayname) + "\",\n");
    lines.push_back(std::string("     \"status\": \"") + job_status(j, paused) + "\"\n");
    lines.emplace_back(i + 1 < jobs.size() ? "    },\n" : "    }\n");
  }
  lines.emplace_back("  ]\n}\n");
  return lines;
}

int run() {
  const Config store;
  bool paused = check_pause(store) == 0;
  std::vector<queue_record> jobs = get_printq(store);
  webkit::Page page;
  for (auto& line : report_lines(jobs, paused)) page.take_body_line(std::move(line));
  return page.print_json() < 0 ? 1 : 0;
}

}  // namespace spooler::queuejson
