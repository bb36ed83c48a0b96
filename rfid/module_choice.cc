#include "rfid/module_choice.h"

#include <charconv>
#include <cstring>

#include <cstdio>

namespace rfid {
namespace {

// The file is read in pieces of at most this many characters, so an overlong line is taken as
// several (each then fails to parse or names no module).
constexpr size_t kLinePiece = 98;

std::vector<std::string> pieces(std::string_view text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    const size_t take = std::min(end - pos, kLinePiece);
    out.emplace_back(text.substr(pos, take));
    pos += take;
  }
  return out;
}

}  // namespace

int decide_by_tags(int reads0, int reads1) {
  if (reads0 > 0 && reads1 == 0) return 1;
  if (reads1 > 0 && reads0 == 0) return 2;
  return 0;
}

bool parse_module_line(std::string_view line, ModuleFileLine* l) {
  const std::string text(line.substr(0, kLinePiece));
  char word[kLinePiece + 1], device[kLinePiece + 1], serial[kLinePiece + 1];
  char power_text[kLinePiece + 1];
  // Each field is shorter than the text it comes from, so the buffers always hold it.
  if (std::sscanf(text.c_str(), "%98s %98s %98s %98s", word, device, serial, power_text) != 4) return false;
  // The power is a whole number of at most the module's highest level; a number too large for
  // an int (which %d would turn into anything) or past that level is no power at all. Zero and
  // below stay, to be corrected to 1.
  long long power = 0;
  const char* end = power_text + std::strlen(power_text);
  const auto [p, ec] = std::from_chars(power_text, end, power);
  if (ec != std::errc() || p != end || power > kMaxModulePower || power < -kMaxModulePower) return false;
  *l = ModuleFileLine{word, device, serial, static_cast<int>(power)};
  return true;
}

FileDecision decide_from_file(std::string_view text, const std::vector<std::string>& devices,
                              std::string* out, std::string* err, std::string* log) {
  FileDecision d;
  d.opened = true;
  d.modules.resize(devices.size());
  for (const std::string& raw : pieces(text)) {
    *out += "loaded <" + raw + ">\n";
    ModuleFileLine l;
    if (!parse_module_line(raw, &l)) {
      *err += "error parsing input\n";
      continue;
    }
    const std::string shown = "loaded <" + l.word + "> <" + l.device + "> <" + l.serial + "> <" +
                              std::to_string(l.power) + ">\n";
    *out += shown;
    *log += shown;
    if (l.power <= 0) {
      *err += "Correcting power " + std::to_string(l.power) + "->1\n";
      l.power = 1;
      d.corrected = true;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      if (devices[i] != l.device) continue;
      if (l.word == "ENTRY") {
        d.modules[i] = {1, l.power};
      } else if (l.word == "EXIT") {
        d.modules[i] = {2, l.power};
      } else {
        *err += "ERROR could not find module loation " + l.word + " " + l.device + " " + l.serial;
      }
    }
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    if (d.modules[i].location == 0) {
      *err += "could not find location of " + devices[i] + "\n";
      return d;
    }
  }
  // Two lines naming the same word would leave the daemon without an exit (or entry) module.
  int entries = 0, exits = 0;
  for (const auto& m : d.modules) (m.location == 1 ? entries : exits)++;
  if (entries > 1 || exits > 1) {
    *err += "the module file does not name one entry and one exit module\n";
    return d;
  }
  *out += "done OK";
  d.all_assigned = true;
  return d;
}

std::string module_file_text(const std::string& entry_device, const std::string& entry_serial,
                             int entry_power, const std::string& exit_device,
                             const std::string& exit_serial, int exit_power) {
  return "ENTRY " + entry_device + " " + entry_serial + " " + std::to_string(entry_power > 0 ? entry_power : 1) +
         "\nEXIT " + exit_device + " " + exit_serial + " " + std::to_string(exit_power > 0 ? exit_power : 1) + "\n";
}

}  // namespace rfid
