// Job names: from the hexadecimal form a sender gives them to the file name a job is stored
// under, and back to the base name that its thumbnail and queue copies are named after. Every
// program that names a job file (receiver, upload check, job browser's rename, thumbnail maker)
// uses these rules, so the names fit every record that later carries them.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace jobname {

// Longest file name of a stored job, number suffix and ".prn" included: the job browser's
// request values hold at most 99 bytes (its records 200, a queue path 199), so a longer name
// could not be named again by the programs that handle the job later.
constexpr size_t kFileNameMax = 99;
constexpr std::string_view kJobSuffix = ".prn";

// The name from its hexadecimal form: "Unknown" when empty, "Invalid" when of odd length.
// Pairs of characters become bytes by the drivers' arithmetic; NUL bytes stay in the result.
std::string decode_hex_name(std::string_view hex);

// A name made safe as a file name: "/", NUL and other control bytes become "_", the names
// "." and ".." become "_" and "__", a leading "." becomes "_" (a hidden file is never taken up
// as a job) and an empty name becomes "_". Not cut.
std::string safe_name(std::string_view name);

// Cuts a name to at most `max` bytes without splitting a UTF-8 sequence; a result that is empty
// becomes "_" and a leading "." becomes "_", so no cut ever gives a hidden or empty name.
std::string cut_name(std::string_view name, size_t max);

// The file name a job named `name` is stored under: the safe name, cut so that with the suffix
// number (none when 0) and ".prn" it holds at most kFileNameMax bytes.
std::string job_file_name(std::string_view name, int suffix = 0);

// The base name of a job file, which its thumbnail ("BASE.jpeg") and queue copies are named
// after: the file name up to its last ".prn" (the whole name when it has none).
std::string base_name(std::string_view file_name);

}  // namespace jobname
