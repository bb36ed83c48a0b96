// The record that describes one stored job: its paths, the settings read from its items and the
// list of its START_DOC option items. The upload check fills it from the tag scan; the job
// browser keeps one per stored job (with more option room) and the filter takes its settings
// from it. Held in memory only here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upload {

// Option room of the record that the upload check scans into.
constexpr size_t kUploadOptionRoom = 19;
// Longest display text of an option, as the job browser's fixed field holds it (NUL excluded).
constexpr size_t kDisplayTextMax = 31;

// One option item of a job.
struct PrnOption {
  int32_t id = 0;
  int32_t decimals = 0;  // decimal places the value is shown with
  int32_t value = 0;
  int32_t found = 0;     // 1 when the last scan met the item
  double scaled = 0;     // value / 10^decimals
  std::string display;   // the value as shown, at most kDisplayTextMax bytes
  int32_t write_value = 0;  // what the filter writes into the item
  // What the job browser's option schema says about the item (empty in the upload check).
  std::string name;        // label shown in the form
  std::string field_id;    // form field name and element id
  std::string css_class;   // extra attribute text of the input element
  int32_t size = 0;        // input width in characters
  int32_t min = 0, max = 0;
  int32_t attr = 0;        // flag bits: media, cutter only, modes, one-only
  int32_t type = 0;        // 4 checkbox, 5 list of choices, else a number field
  std::vector<std::string> choices;
};

struct PrnInfo {
  // Names and paths the job browser keeps with each stored job.
  std::string file_name;     // with ".prn"
  std::string base;          // the file name up to its last ".prn"
  std::string thumb_path;    // "thumbs/" + base + ".jpeg", relative to the web root
  std::string display_name;  // the base name
  std::string driver_text;   // text the driver put into the job, "Unkown" when none
  int32_t file_size = 0;
  int32_t value_8403 = 0;
  int64_t mtime = 0;         // modification time of the job file, seconds
  std::string job_path;
  std::string filter_input;
  std::string filter_output;
  int32_t pages = 0;
  int32_t copies = 0;
  int32_t collate = 0;
  int32_t first_page = 0, last_page = 0;
  int32_t width = 0, length = 0;  // dots
  int32_t quality = 0;
  int32_t value_8514 = 0, value_8513 = 0, value_8512 = 0;
  float width_in = 0, length_in = 0;
  float width_mm = 0, length_mm = 0;
  // The option list: in a fresh scan never more than option_room entries.
  std::vector<PrnOption> options;
  size_t option_room = kUploadOptionRoom;
};

}  // namespace upload
