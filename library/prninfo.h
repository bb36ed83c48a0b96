// The record that describes one stored job (`PrnInfo`): its paths, the settings read from its
// items and the list of its START_DOC option items, and the one reader that turns an item into
// the record's fields. The tag scan and the job browser's page-decoder path both fill it
// through that reader; the upload check scans into it, the job browser keeps one per stored job
// (with more option room, prnrecord holds its file layout) and the filter takes its settings
// from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "spooler/jobstream.h"

namespace library {

// The START_DOC item that tells which printer model a job was made for.
constexpr uint16_t ZJI_MODEL = 0x8403;

// The items the record keeps, by the chunk that carries them: the page count, the model item
// and the three display settings of the document; copies, page width and length (in dots) and
// the print quality of the first page.
inline constexpr uint16_t kRecordDocItems[] = {zjs::ZJI_PAGECOUNT, ZJI_MODEL, zjs::ZJI_SETTING_8512,
                                               zjs::ZJI_SETTING_8513, zjs::ZJI_DISP};
inline constexpr uint16_t kRecordPageItems[] = {zjs::ZJI_COPIES, zjs::ZJI_WIDTH, zjs::ZJI_LENGTH,
                                                zjs::ZJI_QUALITY};

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

// A START_DOC item into its field; false when the record keeps no field for `id`.
bool take_doc_item(PrnInfo* info, uint16_t id, int32_t value);
// An item of the first START_PAGE chunk into its field; width and length also set their sizes
// in inches (dots / 800) and millimetres. False when the record keeps no field for `id`.
bool take_page_item(PrnInfo* info, uint16_t id, int32_t value);
// An option entry met in a job: its value, found flag, scaled value and display text.
void take_option_value(PrnOption* o, int32_t value);

// The display text of a value shown with `decimals` places: "%d" for 0 or fewer, otherwise
// value / 10^decimals with that many places (*scaled receives the quotient), cut to the field.
std::string option_display(int32_t value, int32_t decimals, double* scaled);

}  // namespace library
