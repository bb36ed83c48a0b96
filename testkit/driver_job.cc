#include "testkit/driver_job.h"

#include "common/fsops.h"
#include "common/run.h"

namespace testkit {

DriverJobSpec shade_pages(uint32_t w, uint32_t h, const std::vector<Shade>& shades) {
  DriverJobSpec wanted;
  for (Shade s : shades) wanted.pages.push_back(shade(w, h, s));
  return wanted;
}

DriverJob driver_job(const DriverJobSpec& wanted) {
  if (wanted.pages.empty()) return {DriverJob::kFailed, "", "no pages"};
  const uint32_t w = wanted.pages[0].width, h = wanted.pages[0].height;
  std::string raster;
  for (const Picture& p : wanted.pages) {
    if (p.width != w || p.height != h) return {DriverJob::kFailed, "", "pages of different sizes"};
    raster += wanted.colour ? bitcmyk_of(p) : pbm_of(p);
  }
  return driver_job_of_raster(raster, w, h, wanted);
}

DriverJob driver_job_of_raster(const std::string& raster, uint32_t w, uint32_t h, const DriverJobSpec& wanted) {
  std::string res = std::to_string(wanted.dpi);
  std::vector<std::string> argv = {"/usr/bin/foo2zjs", "-r" + res + "x" + res,
                                   "-g" + std::to_string(w) + "x" + std::to_string(h), "-p1",
                                   "-z" + std::to_string(wanted.model)};
  if (wanted.colour) argv.push_back("-c");
  DriverJob job;
  ld::RunOptions opt;
  opt.stdin_text = raster;
  opt.discard_output = false;
  opt.capture = &job.bytes;
  opt.timeout_ms = 300000;  // a tall page takes the driver seconds, more on a busy machine
  int rc = ld::run_program(argv, opt, &job.error);
  // -1: the program could not be started at all; 127: the same, told by a shell-like spawn.
  if (rc == -1 || (rc == 127 && job.bytes.empty())) {
    job.status = DriverJob::kCannotStart;
    if (job.error.empty()) job.error = "foo2zjs cannot be started from this process";
    return job;
  }
  if (rc != 0 || job.bytes.empty()) {
    job.error = "foo2zjs ended with status " + std::to_string(rc) + (job.error.empty() ? "" : ": " + job.error);
    return job;
  }
  if (!wanted.path.empty() && !ld::write_file_atomic(wanted.path, job.bytes, &job.error)) return job;
  job.status = DriverJob::kMade;
  return job;
}

}  // namespace testkit
