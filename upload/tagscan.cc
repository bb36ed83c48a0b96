#include "upload/tagscan.h"

#include <cmath>

#include "spooler/jobstream.h"

namespace upload {

namespace {

void reset_values(PrnInfo* info) {
  info->pages = info->copies = info->quality = 0;
  info->width = info->length = 0;
  info->value_8512 = info->value_8513 = info->value_8514 = 0;
}

void take_doc_item(PrnInfo* info, int mode, const zjs::Item& it) {
  const int32_t v = static_cast<int32_t>(it.value);
  if (mode == kScanFresh && info->options.size() < info->option_room) {
    PrnOption o;
    o.id = it.id;
    o.value = v;
    info->options.push_back(o);
  }
  switch (it.id) {
    case zjs::ZJI_PAGECOUNT: info->pages = v; return;
    case zjs::ZJI_SETTING_8512: info->value_8512 = v; return;
    case zjs::ZJI_SETTING_8513: info->value_8513 = v; return;
    case zjs::ZJI_DISP: info->value_8514 = v; return;
    default: break;
  }
  if (mode != kScanUpdate) return;
  for (PrnOption& o : info->options) {
    if (o.id != it.id) continue;
    o.found = 1;
    o.value = v;
    o.display = option_display(v, o.decimals, &o.scaled);
    return;
  }
}

void take_page_item(PrnInfo* info, const zjs::Item& it) {
  const int32_t v = static_cast<int32_t>(it.value);
  switch (it.id) {
    case zjs::ZJI_COPIES: info->copies = v; break;
    case zjs::ZJI_WIDTH:
      info->width = v;
      info->width_in = static_cast<float>(v / 800.0);
      info->width_mm = static_cast<float>(info->width_in * 25.4);
      break;
    case zjs::ZJI_LENGTH:
      info->length = v;
      info->length_in = static_cast<float>(v / 800.0);
      info->length_mm = static_cast<float>(info->length_in * 25.4);
      break;
    case zjs::ZJI_QUALITY: info->quality = v; break;
    default: break;
  }
}

// Reads the numeric items of the current chunk, stopping at the first item of another kind;
// whatever is left of the chunk is stepped over by the next chunk read.
template <typename Take>
void read_items(zjs::Reader& r, uint32_t count, Take take) {
  for (uint32_t i = 0; i < count; ++i) {
    zjs::Item it;
    if (r.next_item(&it) != zjs::Reader::kOk || !it.numeric()) return;
    take(it);
  }
}

}  // namespace

std::string option_display(int32_t value, int32_t decimals, double* scaled) {
  char text[kDisplayTextMax + 1];
  if (decimals <= 0) {
    std::snprintf(text, sizeof text, "%d", value);
  } else {
    *scaled = value / std::pow(10.0, decimals);
    std::snprintf(text, sizeof text, "%.*f", decimals, *scaled);
  }
  return text;
}

int prn_tag_scan(PrnInfo* info, int mode, FILE* err) {
  reset_values(info);
  zjs::Reader r;
  std::string why;
  if (!r.open_regular(info->job_path, &why)) {
    std::fprintf(err, "ERROR: File %s not found.\n", info->job_path.c_str());
    return 0;
  }
  if (!r.read_signature(false, &why)) {
    std::fprintf(err, "Error: invalid file format!\n");
    return 0;
  }
  if (mode == kScanFresh) {
    info->options.clear();
  } else {
    for (PrnOption& o : info->options) o.found = 0;
  }
  zjs::ChunkHeader h;
  while (r.next_chunk(&h) == zjs::Reader::kOk) {
    if (h.type == zjs::START_DOC) {
      read_items(r, h.items, [&](const zjs::Item& it) { take_doc_item(info, mode, it); });
    } else if (h.type == zjs::START_PAGE) {
      read_items(r, h.items, [&](const zjs::Item& it) { take_page_item(info, it); });
      break;
    }
  }
  return 1;
}

int find_option(const PrnInfo& info, int32_t id, int32_t* value) {
  for (const PrnOption& o : info.options) {
    if (o.id != id) continue;
    *value = o.value;
    return 1;
  }
  return 0;
}

}  // namespace upload
