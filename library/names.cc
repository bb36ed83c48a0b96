#include "library/names.h"

#include <fcntl.h>
#include <stdlib.h>

namespace library {

bool is_hidden(std::string_view name) { return !name.empty() && name[0] == '.'; }

bool is_job_name(std::string_view name) {
  if (name.empty() || is_hidden(name)) return false;
  if (name.ends_with(kJobSuffix)) return true;
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && name.substr(0, dot).ends_with(kJobSuffix);
}

std::string job_file_of(std::string_view name) {
  std::string file(name);
  if (file.find(kJobSuffix) == std::string::npos) file += kJobSuffix;
  return file;
}

std::string thumbs_folder(std::string_view jobs_folder) { return std::string(jobs_folder) + "thumbs/"; }

std::string thumb_name(std::string_view job_file) { return base_name(job_file) + std::string(kThumbSuffix); }

std::string thumb_beside(std::string_view job_path) {
  const size_t slash = job_path.rfind('/');
  const std::string_view dir = slash == std::string_view::npos ? std::string_view(".") : job_path.substr(0, slash);
  const std::string_view name = slash == std::string_view::npos ? job_path : job_path.substr(slash + 1);
  return thumbs_folder(std::string(dir) + "/") + thumb_name(name);
}

std::string web_thumb(std::string_view job_file) { return thumbs_folder("") + thumb_name(job_file); }

ld::UniqueFd make_scratch(std::string_view dir, std::string_view tag, std::string_view ext, std::string* path) {
  *path = std::string(dir) + "." + std::string(tag) + "-XXXXXX" + std::string(ext);
  return ld::UniqueFd(::mkostemps(path->data(), static_cast<int>(ext.size()), O_CLOEXEC));
}

}  // namespace library
