// What the thumbnail tests share beyond pictures and driver jobs: files in a temporary root,
// one page of a job decoded into a picture (with the decoder's messages), and a real driver job
// of a page far taller than a thumbnail run may hold whole.
#pragma once
#include <string>
#include <vector>

#include "common/fsops.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "thumbs/pagecanvas.h"
#include "thumbs/pagedecode.h"
#include "thumbs/zxdoc.h"

namespace testkit {

// A plain write (no sync): the truncation tests write thousands of files.
void put_file(const std::string& path, const std::string& data);
// Writes `data` to `name` in the root and returns its path.
std::string write_temp(const TempRoot& root, const std::string& name, const std::string& data);

struct Decoded {
  int read_rc = 0;
  bool info_ok = false;
  int rc = -100;
  int pages = 0;
  thumbs::PageInfo info;
  thumbs::Geometry g;
  std::vector<uint8_t> rgb;
  std::string msgs, err;
};

// Reads a job file and decodes one page, sampled for a thumbnail or (full) whole.
Decoded decode_file(const std::string& path, int page = 0, bool full = false);
Decoded decode_bytes(const TempRoot& root, const std::string& job, int page = 0, bool full = false);

// A real driver job of one 1000 x 400,000 grey page (a checkerboard of dots, 6.8 KB of job):
// its JBIG plane would take 48 MiB if held whole. Made once per test program.
const DriverJob& tall_driver_job();

}  // namespace testkit
