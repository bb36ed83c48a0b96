// The queue report: the print queue as a JSON document for any client of the appliance's web
// server, one job block per record in queue order with the status a user sees. Read only: it
// takes no lock (the store replaces the queue file whole, so it sees one version) and changes
// nothing.
#pragma once
#include <string>
#include <vector>

#include "spooler/printq.h"

namespace spooler::queuejson {

// "Spooling" while the job still has to be filtered, else "Paused" while the queue is paused
// (even for the job being sent), else "Printing" or "Queued".
const char* job_status(const queue_record& job, bool paused);

// The document as the lines the response is built from, each ending in a newline. Paths and
// names are written as JSON strings, so the document stays valid whatever a job is called.
std::vector<std::string> report_lines(const std::vector<queue_record>& jobs, bool paused);

// One CGI run: reads the pause flag and the queue, answers with the document on standard
// output. The exit status: 0, or 1 when the response could not be written.
int run();

}  // namespace spooler::queuejson
