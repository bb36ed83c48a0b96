#include "testkit/thumb_fixtures.h"

#include <cstdio>

#include "testkit/capture.h"
#include "thumbs/zxdoc.h"

namespace testkit {

void put_file(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

std::string write_temp(const TempRoot& root, const std::string& name, const std::string& data) {
  std::string path = root.path() + "/" + name;
  put_file(path, data);
  return path;
}

Decoded decode_file(const std::string& path, int page, bool full) {
  Decoded d;
  thumbs::ZxDoc doc;
  if (!doc.open(path, &d.err)) return d;
  d.read_rc = doc.read();
  const thumbs::ZxObject* pg = doc.find_page(page, &d.pages);
  if (pg == nullptr) return d;
  d.info_ok = thumbs::page_info(doc, pg, &d.info, &d.err);
  if (!d.info_ok) return d;
  d.g = full ? thumbs::full_geometry(d.info.width, d.info.height)
             : thumbs::thumb_geometry(d.info.width, d.info.height);
  thumbs::PageCanvas canvas;
  thumbs::ColorFormat fmt;
  fmt.format = d.info.format;
  if (!canvas.init(d.g, fmt)) return d;
  CapturedFile msg;
  d.rc = thumbs::decode_page(doc, pg, d.info, &canvas, msg.get(), &d.err);
  d.msgs = msg.text();
  d.rgb = canvas.rgb();
  return d;
}

Decoded decode_bytes(const TempRoot& root, const std::string& job, int page, bool full) {
  return decode_file(write_temp(root, "job.prn", job), page, full);
}

const DriverJob& tall_driver_job() {
  // Made once: the driver takes seconds over the 50 MB raster.
  static const DriverJob made = [] {
    std::string pbm = "P4\n1000 400000\n";
    std::string rows;  // two rows of alternating dots
    for (int i = 0; i < 250; ++i) rows.push_back(static_cast<char>((i < 125) == (i % 2 == 0) ? 0x55 : 0xAA));
    pbm.reserve(pbm.size() + rows.size() * 200000);
    for (int y = 0; y < 200000; ++y) pbm += rows;
    return driver_job_of_raster(pbm, 1000, 400000, DriverJobSpec());
  }();
  return made;
}

}  // namespace testkit
