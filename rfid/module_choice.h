// Which found module is the entry module and which the exit module: decided by which of the two
// sees tags, or remembered in the module file with their power levels. Plain functions over the
// file's text and the modules' counts; the daemon applies what they decide.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace rfid {

// Decided by tags: 1 when module 0 is the entry module (it saw tags, module 1 none), 2 when
// module 1 is, 0 when the counts do not tell.
int decide_by_tags(int reads0, int reads1);

// One line of the module file: "ENTRY|EXIT device serial power".
// The highest power level a module file line may name (as the printer may set).
constexpr int kMaxModulePower = 30;
struct ModuleFileLine {
  std::string word, device, serial;
  int power = 0;
};
// Four blank-separated fields, the last a number; false when fewer parse.
bool parse_module_line(std::string_view line, ModuleFileLine* l);

struct ModuleAssignment {
  int location = 0;  // 1 entry, 2 exit, 0 none
  int power = 0;
};
// What the file says about the found modules (by device path, in their order). The messages
// the reading prints go to *out and *err as they would appear.
struct FileDecision {
  bool opened = false;
  bool all_assigned = false;  // every module got a location
  bool corrected = false;     // a power of 0 or less was raised to 1
  std::vector<ModuleAssignment> modules;
};
FileDecision decide_from_file(std::string_view text, const std::vector<std::string>& devices,
                              std::string* out, std::string* err, std::string* log);

// The file's two lines. Powers of 0 or less are written as 1.
std::string module_file_text(const std::string& entry_device, const std::string& entry_serial,
                             int entry_power, const std::string& exit_device,
                             const std::string& exit_serial, int exit_power);

}  // namespace rfid
