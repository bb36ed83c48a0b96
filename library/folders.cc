#include "library/folders.h"

#include "common/paths.h"
#include "library/names.h"

namespace library {

std::string jobs_dir() { return ld::rooted("/print/prns/"); }
std::string thumbs_dir() { return thumbs_folder(jobs_dir()); }
std::string waiting_dir() { return ld::rooted("/print/prns/tmp/"); }
std::string work_dir() { return thumbs_folder(waiting_dir()); }
std::string rejected_dir() { return ld::rooted("/print/prns/rejected/"); }
std::string upload_dir() { return ld::rooted("/print/tmp/"); }
std::string thumb_flag() { return ld::rooted("/tmp/run_prn2jpg"); }
std::string cache_file() { return jobs_dir() + "prn_meta"; }
std::string web_thumbs_dir() { return thumbs_folder(ld::rooted("/var/www/html/")); }

}  // namespace library
