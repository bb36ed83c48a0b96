#include "spooler/print_settings.h"

#include <algorithm>
#include <utility>

namespace spooler {

namespace {

int32_t bounded_copies(int32_t copies) { return std::clamp(copies, 1, kPrintCopiesMax); }

size_t kept_options(const print_settings& s) {
  return std::min(s.options.size(), static_cast<size_t>(kQueueMaxTags));
}

}  // namespace

print_settings settings_of(const queue_record& r) {
  print_settings s;
  s.from = r.from;
  s.to = r.to;
  s.copies = r.copies;
  s.collate = r.collate;
  s.quality = r.quality;
  s.disp = r.disp;
  const int n = std::clamp(r.ntags, 0, kQueueMaxTags);
  s.options.assign(r.tags, r.tags + n);
  return s;
}

void put_settings(const print_settings& s, queue_record* r) {
  r->from = std::max(s.from, 1);
  r->to = s.to;
  r->copies = bounded_copies(s.copies);
  r->collate = s.collate != 0 ? 1 : 0;
  r->quality = s.quality;
  r->disp = s.disp;
  const size_t n = kept_options(s);
  std::fill(std::begin(r->tags), std::end(r->tags), queue_tag{});
  std::copy(s.options.begin(), s.options.begin() + static_cast<std::ptrdiff_t>(n), r->tags);
  r->ntags = static_cast<int32_t>(n);
}

prnfilt_args filter_args(const print_settings& s, std::string input, std::string output) {
  prnfilt_args a;
  a.input = std::move(input);
  a.output = std::move(output);
  a.from = std::max(s.from, 1);
  a.to = s.to;
  a.copies = bounded_copies(s.copies);
  a.collate = s.collate != 0 ? 1 : 0;
  a.quality = s.quality;
  a.disp = s.disp;
  const size_t n = kept_options(s);
  for (size_t i = 0; i < n; ++i) {
    const queue_tag& t = s.options[i];
    if (t.id >= 0 && t.id <= 0xFFFF) a.overrides.push_back({static_cast<uint32_t>(t.id), t.value});
  }
  return a;
}

}  // namespace spooler
