#include "library/tagscan.h"

#include "spooler/jobstream.h"

namespace library {

namespace {

void reset_values(PrnInfo* info) {
  info->pages = info->copies = info->quality = 0;
  info->width = info->length = 0;
  info->value_8512 = info->value_8513 = info->value_8514 = info->value_8403 = 0;
}

void scan_doc_item(PrnInfo* info, int mode, const zjs::Item& it) {
  const int32_t v = static_cast<int32_t>(it.value);
  if (mode == kScanFresh && info->options.size() < info->option_room) {
    PrnOption o;
    o.id = it.id;
    o.value = v;
    info->options.push_back(o);
  }
  // The model item is a field of the record and an option the upload check decides by.
  if (take_doc_item(info, it.id, v) && it.id != ZJI_MODEL) return;
  if (mode != kScanUpdate) return;
  for (PrnOption& o : info->options) {
    if (o.id != it.id) continue;
    take_option_value(&o, v);
    return;
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
      read_items(r, h.items, [&](const zjs::Item& it) { scan_doc_item(info, mode, it); });
    } else if (h.type == zjs::START_PAGE) {
      read_items(r, h.items, [&](const zjs::Item& it) { take_page_item(info, it.id, static_cast<int32_t>(it.value)); });
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

}  // namespace library
