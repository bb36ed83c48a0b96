// The names of the job library: which entries of its folders are jobs, what a job's thumbnail
// is called, and the hidden scratch files a writer works in. The stored name of a job and its
// base name are the job-name rules of the job stream layer, named here too so that a program
// needs this one header for every name.
#pragma once
#include <string>
#include <string_view>

#include "common/handles.h"
#include "spooler/jobname.h"

namespace library {

inline constexpr std::string_view kJobSuffix = jobname::kJobSuffix;  // ".prn"
inline constexpr std::string_view kThumbSuffix = ".jpeg";

// The file name a job is stored under, and the name up to its last ".prn".
using jobname::base_name;
using jobname::job_file_name;
// A name made safe as a file name (no "/", control bytes, hidden or empty names).
using jobname::safe_name;

// A name starting with ".": a file still being written or a scratch file, never a job.
bool is_hidden(std::string_view name);

// Whether a folder entry is taken for a job: not hidden, and ending in ".prn", or in ".prn"
// and one extension more (a copy such as "x.prn.bak" is still a job, stored as it is named).
// "prn_meta", "notes.txt" or "a.prnx" are not.
bool is_job_name(std::string_view name);

// The file name a request's job name stands for: the name, with ".prn" added when it holds none.
std::string job_file_of(std::string_view name);

// The thumbnail folder of a folder of jobs (ending in "/"): "<folder>thumbs/".
std::string thumbs_folder(std::string_view jobs_folder);
// The thumbnail of a job file: "<base>.jpeg".
std::string thumb_name(std::string_view job_file);
// The thumbnail beside a job path, in the thumbs/ folder of the job's folder:
// "<dir>/thumbs/<base>.jpeg" ("./thumbs/..." for a bare name).
std::string thumb_beside(std::string_view job_path);
// The thumbnail of a job as the web pages name it: "thumbs/<base>.jpeg".
std::string web_thumb(std::string_view job_file);

// Creates a scratch file "<dir>.<tag>-XXXXXX<ext>" (dir ends in "/") exclusively, mode 0600,
// close-on-exec: hidden, so no reader of the folder takes it for a job or a thumbnail. An
// invalid handle with errno set when it cannot be made; *path holds the name either way.
ld::UniqueFd make_scratch(std::string_view dir, std::string_view tag, std::string_view ext, std::string* path);

}  // namespace library
