#include "library/prnrecord.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/bytes.h"

namespace library {
namespace {

void put_text(const std::string& text, unsigned char* out, size_t field) {
  std::memset(out, 0, field);
  std::memcpy(out, text.data(), std::min(text.size(), field - 1));
}

std::string_view view_text(const unsigned char* in, size_t field) {
  const void* nul = std::memchr(in, 0, field);
  size_t n = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - in) : field;
  return std::string_view(reinterpret_cast<const char*>(in), n);
}

std::string get_text(const unsigned char* in, size_t field) {
  return std::string(view_text(in, field));
}

void put_i32(int32_t v, unsigned char* out) { ld::put_le32(static_cast<uint32_t>(v), out); }
int32_t get_i32(const unsigned char* in) { return static_cast<int32_t>(ld::get_le32(in)); }
void put_f32(float v, unsigned char* out) { ld::put_le32(std::bit_cast<uint32_t>(v), out); }
float get_f32(const unsigned char* in) { return std::bit_cast<float>(ld::get_le32(in)); }

void put_f64(double v, unsigned char* out) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  ld::put_le32(static_cast<uint32_t>(bits), out);
  ld::put_le32(static_cast<uint32_t>(bits >> 32), out + 4);
}
double get_f64(const unsigned char* in) {
  uint64_t bits = uint64_t(ld::get_le32(in)) | uint64_t(ld::get_le32(in + 4)) << 32;
  return std::bit_cast<double>(bits);
}

}  // namespace

bool record_fits(const PrnInfo& info) {
  for (const std::string* s : {&info.file_name, &info.base, &info.job_path, &info.filter_input,
                               &info.thumb_path, &info.display_name, &info.filter_output,
                               &info.driver_text}) {
    if (s->size() >= kNameField) return false;
  }
  return true;
}

void encode_prn_option(const PrnOption& opt, unsigned char* out) {
  using namespace opt_at;
  std::memset(out, 0, kPrnOptionSize);
  put_text(opt.name, out + kName, kNameSize);
  put_text(opt.field_id, out + kId, kIdSize);
  put_text(opt.css_class, out + kClass, kClassSize);
  put_i32(opt.size, out + kSize);
  put_i32(opt.id, out + kItem);
  put_i32(opt.min, out + kMin);
  put_i32(opt.max, out + kMax);
  put_i32(opt.decimals, out + kDecimals);
  put_i32(opt.attr, out + kAttr);
  put_i32(opt.value, out + kValue);
  put_i32(opt.found, out + kFound);
  put_f64(opt.scaled, out + kScaled);
  put_text(opt.display, out + kDisplay, kDisplaySize);
  put_i32(opt.write_value, out + kWrite);
  put_i32(static_cast<int32_t>(opt.choices.size()), out + kChoiceCount);
  put_i32(opt.type, out + kType);
}

PrnOption decode_prn_option(const unsigned char* in) {
  using namespace opt_at;
  PrnOption opt;
  opt.name = get_text(in + kName, kNameSize);
  opt.field_id = get_text(in + kId, kIdSize);
  opt.css_class = get_text(in + kClass, kClassSize);
  opt.size = get_i32(in + kSize);
  opt.id = get_i32(in + kItem);
  opt.min = get_i32(in + kMin);
  opt.max = get_i32(in + kMax);
  opt.decimals = get_i32(in + kDecimals);
  opt.attr = get_i32(in + kAttr);
  opt.value = get_i32(in + kValue);
  opt.found = get_i32(in + kFound);
  opt.scaled = get_f64(in + kScaled);
  opt.display = get_text(in + kDisplay, kDisplaySize);
  opt.write_value = get_i32(in + kWrite);
  opt.type = get_i32(in + kType);
  // The choice texts live in the schema; the caller takes them from there.
  return opt;
}

void encode_prn_info(const PrnInfo& info, unsigned char* out) {
  using namespace info_at;
  std::memset(out, 0, kPrnInfoSize);
  put_text(info.file_name, out + kFileName, kNameField);
  put_text(info.base, out + kBase, kNameField);
  put_text(info.job_path, out + kJobPath, kNameField);
  put_text(info.filter_input, out + kFilterInput, kNameField);
  put_text(info.thumb_path, out + kThumb, kNameField);
  put_text(info.display_name, out + kDisplay, kNameField);
  put_text(info.filter_output, out + kFilterOutput, kNameField);
  put_text(info.driver_text, out + kDriverText, kNameField);
  const int32_t ints[] = {info.file_size, info.pages,     info.copies,    info.collate,
                          info.first_page, info.last_page, info.width,    info.length,
                          info.quality,   info.value_8514, info.value_8513, info.value_8512,
                          info.value_8403};
  for (size_t i = 0; i < std::size(ints); ++i) put_i32(ints[i], out + kFileSize + 4 * i);
  put_f32(info.width_in, out + kWidthIn);
  put_f32(info.length_in, out + kLengthIn);
  put_f32(info.width_mm, out + kWidthMm);
  put_f32(info.length_mm, out + kLengthMm);
  // The 32-bit stat block keeps seconds in 32 bits; later times wrap as they would there.
  put_i32(static_cast<int32_t>(info.mtime), out + kMtime);
  size_t n = std::min(info.options.size(), kMaxOptions);
  for (size_t i = 0; i < n; ++i) encode_prn_option(info.options[i], out + kOptions + i * kPrnOptionSize);
  put_i32(static_cast<int32_t>(n), out + kOptionCount);
}

PrnInfo decode_prn_info(const unsigned char* in) {
  using namespace info_at;
  PrnInfo info;
  info.file_name = get_text(in + kFileName, kNameField);
  info.base = get_text(in + kBase, kNameField);
  info.job_path = get_text(in + kJobPath, kNameField);
  info.filter_input = get_text(in + kFilterInput, kNameField);
  info.thumb_path = get_text(in + kThumb, kNameField);
  info.display_name = get_text(in + kDisplay, kNameField);
  info.filter_output = get_text(in + kFilterOutput, kNameField);
  info.driver_text = get_text(in + kDriverText, kNameField);
  int32_t* ints[] = {&info.file_size, &info.pages,     &info.copies,    &info.collate,
                     &info.first_page, &info.last_page, &info.width,    &info.length,
                     &info.quality,   &info.value_8514, &info.value_8513, &info.value_8512,
                     &info.value_8403};
  for (size_t i = 0; i < std::size(ints); ++i) *ints[i] = get_i32(in + kFileSize + 4 * i);
  info.width_in = get_f32(in + kWidthIn);
  info.length_in = get_f32(in + kLengthIn);
  info.width_mm = get_f32(in + kWidthMm);
  info.length_mm = get_f32(in + kLengthMm);
  info.mtime = get_i32(in + kMtime);
  int32_t n = std::clamp<int32_t>(get_i32(in + kOptionCount), 0, int32_t(kMaxOptions));
  info.option_room = kMaxOptions;
  for (int32_t i = 0; i < n; ++i) {
    info.options.push_back(decode_prn_option(in + kOptions + size_t(i) * kPrnOptionSize));
  }
  return info;
}

PrnInfoView view_prn_info(const unsigned char* in) {
  using namespace info_at;
  PrnInfoView v;
  v.file_name = view_text(in + kFileName, kNameField);
  v.job_path = view_text(in + kJobPath, kNameField);
  v.filter_input = view_text(in + kFilterInput, kNameField);
  v.thumb_path = view_text(in + kThumb, kNameField);
  v.display_name = view_text(in + kDisplay, kNameField);
  v.file_size = get_i32(in + kFileSize);
  v.pages = get_i32(in + kPages);
  v.copies = get_i32(in + kCopies);
  v.mtime = get_i32(in + kMtime);
  return v;
}

}  // namespace library
