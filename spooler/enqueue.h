// Putting a stored job into the print queue, as the job browser's Print and the queuejob tool
// do: a copy of the job under the first free "<base>_<n>.spl" name of the queue directory and a
// queue record with the print options. Owns the choice of that name and the roll-back.
#pragma once
#include <string>
#include <string_view>

#include "spooler/printq.h"

namespace spooler {

// Names tried: "<base>_0" to "<base>_99".
constexpr int kEnqueueNames = 100;

// The base of a stored job's queued copies: its file name without a four-character extension
// (the fourth character from the end is "."; "label.prn" gives "label"), cut at a character
// boundary so that "<queue dir><base>_99.spl" fits in kQueuePathRoom bytes: a record names the
// whole path, with room for its serial. Empty when the queue directory leaves no room.
std::string enqueue_base(const Config& cfg, std::string_view job_path);

// Copies `job` into cfg's queue directory as "<base>_<n>.spl", n the first of 0..99 for which
// neither that name nor "<base>_<n>.prn" exists (the name is taken by an exclusive create, so
// two programs queueing at once never share one), and appends a record with `options` and
// `displayname` (add_to_queue fills the rest). On success *queued is the copy's path. On failure
// nothing is left behind: false and *err says why (every name taken, the copy or the queue
// cannot be written).
bool enqueue_job(const Config& cfg, const std::string& job, std::string_view displayname,
                 const queue_record& options, std::string* queued, std::string* err);

}  // namespace spooler
