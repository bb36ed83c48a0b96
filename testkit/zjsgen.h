// Generated ZjStream jobs for tests, benchmarks and the demo: any number of pages, chosen
// START_DOC / START_PAGE items, page payloads of any size (streamed, never held in memory),
// and the capture form that a workstation sends to the job receiver.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "spooler/jobstream.h"

namespace testkit {

struct JobSpec {
  int pages = 1;
  bool with_pagecount = true;        // a ZJI_PAGECOUNT item in START_DOC
  std::vector<zjs::Item> doc_items;  // further START_DOC items
  std::vector<zjs::Item> page_items; // items of every START_PAGE (after copies 4 = 1)
  uint64_t payload = 256;            // bytes of opaque page data per page
  uint32_t payload_chunk = 1 << 20;  // largest image chunk
  uint32_t seed = 1;                 // payload bytes differ per page and seed
  // Capture form: the PJL preamble naming the job, then the stream, then the length trailer.
  bool capture = false;
  std::string name = "job";
  std::string pjl_extra = "\r\n@PJL SET RESOLUTION = 600\r\n";
};

// Writes the job to fd; false on a write error.
bool write_job(const JobSpec& gen, int fd);
// The job's exact length in bytes (what write_job writes).
uint64_t job_length(const JobSpec& gen);
// Small jobs in memory.
std::string make_job(const JobSpec& gen);

// The job name as the driver writes it: hexadecimal, upper case.
std::string hex_name(const std::string& name);
// The capture form around an existing job stream: preamble + stream + trailer.
std::string wrap_capture(const std::string& stream, const std::string& name,
                         const std::string& pjl_extra = "\r\n");

}  // namespace testkit
