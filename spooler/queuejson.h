// The queue report: the print queue as a JSON document for any client of the appliance's web
// server, one job block per record in queue order with the status a user sees. Read only: it
// takes no lock and changes nothing.
#pragma once
#include <string>
#include <vector>

namespace queuejson {

// What the report shows of one queue record.
struct Entry {
  std::string path;
  std::string displayname;
  int spooled = 0;
  int printing = 0;
};

// "Spooling" while the job still has to be filtered, else "Paused" while the queue is paused
// (even for the job being sent), else "Printing" or "Queued".
const char* job_status(const Entry& job, bool paused);

// The document as the lines the response is built from, each ending in a newline. Paths and
// names are written as JSON strings, so the document stays valid whatever a job is called.
std::vector<std::string> report_lines(const std::vector<Entry>& jobs, bool paused);

// The current queue and pause flag, read through the queue store.
std::vector<Entry> read_queue(bool* paused);

}  // namespace queuejson
