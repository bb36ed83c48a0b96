#include "spooler/jobname.h"

#include <string>

#include "common/hexcode.h"

namespace jobname {
namespace {

void fix_start(std::string* s) {
  if (s->empty()) *s = "_";
  else if ((*s)[0] == '.') (*s)[0] = '_';
}

}  // namespace

std::string decode_hex_name(std::string_view hex) {
  if (hex.empty()) return "Unknown";
  if (hex.size() % 2 != 0) return "Invalid";
  // A digit of either case is its value; any other byte is read as the printer's own decoder
  // reads it (the byte less 7 above '9', modulo 16), so such a name keeps the bytes it had.
  auto value = [](unsigned char c) {
    const int d = ld::hex_digit(static_cast<char>(c));
    if (d >= 0) return d;
    return (c > '9' ? c - 7 : c) % 16;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1])));
  return out;
}

std::string safe_name(std::string_view name) {
  if (name == ".") return "_";
  if (name == "..") return "__";
  std::string out(name);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
  }
  fix_start(&out);
  return out;
}

std::string cut_name(std::string_view name, size_t max) {
  std::string out(name);
  if (out.size() > max) {
    size_t cut = max;
    // Step back over UTF-8 continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  fix_start(&out);
  return out;
}

std::string job_file_name(std::string_view name, int suffix) {
  const std::string number = suffix > 0 ? std::to_string(suffix) : "";
  const size_t room = kFileNameMax - kJobSuffix.size() - number.size();
  return cut_name(safe_name(name), room) + number + std::string(kJobSuffix);
}

std::string base_name(std::string_view file_name) {
  size_t p = file_name.rfind(kJobSuffix);
  return std::string(p == std::string_view::npos ? file_name : file_name.substr(0, p));
}

}  // namespace jobname
