// Real driver jobs for tests: the foo2zjs driver (a real ZjStream driver) run on pages drawn
// from pictures, so that readers, filters and the printer link meet what a workstation sends.
// Where the driver cannot be started (tests run under an emulator), the result says so and the
// test skips rather than fails.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "testkit/pictures.h"

namespace testkit {

struct DriverJobSpec {
  // One picture per page, all of one size; the page size in dots is the pictures' size.
  std::vector<Picture> pages;
  // Four CMYK planes (-c) from pictures in the eight primaries; otherwise one black plane
  // (black where red is below half).
  bool colour = false;
  int model = 0;      // the driver's -z model: 0 writes JBIG planes plainly, 1 and up add items
  int dpi = 600;      // the driver's -r, in both directions
  std::string path;   // when set, the job is also written to this file
};

struct DriverJob {
  enum Status { kMade, kCannotStart, kFailed };
  Status status = kFailed;
  std::string bytes;  // the job stream
  std::string error;  // why it was not made

  bool ok() const { return status == kMade; }
  bool cannot_start() const { return status == kCannotStart; }
};

// `pages` pages of one shade, w x h dots each: the shades in turn.
DriverJobSpec shade_pages(uint32_t w, uint32_t h, const std::vector<Shade>& shades);

DriverJob driver_job(const DriverJobSpec& wanted);
// The same from a raster already in the driver's input form (PBM pages, or bitcmyk with
// colour) of w x h dots, for pages too large to hold as pictures; wanted.pages is not used.
DriverJob driver_job_of_raster(const std::string& raster, uint32_t w, uint32_t h, const DriverJobSpec& wanted);

}  // namespace testkit
