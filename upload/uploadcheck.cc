#include "upload/uploadcheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/fsops.h"
#include "common/paths.h"
#include "common/ui_log.h"
#include "library/folders.h"
#include "library/listing.h"
#include "library/names.h"
#include "library/placing.h"
#include "spooler/prnfilt.h"
#include "library/marker.h"
#include "webkit/json.h"

namespace upload {

namespace {

// Suffix numbers tried for a name that is taken in the library, as the receiver does.
constexpr int kMaxSuffix = 999999;
// The filter's output: a name of its own, created here and hidden in the upload directory, so
// that no file of the set (nor anything a link in the set points to) is overwritten and no later
// pass takes it for a job.
constexpr std::string_view kFilterTag = "uploadcheck", kFilterExt = ".cp";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char* s = nullptr;
  const int n = vasprintf(&s, fmt, ap);
  va_end(ap);
  std::string r = n < 0 ? std::string() : std::string(s, static_cast<size_t>(n));
  std::free(s);
  return r;
}

std::string no_slash(const std::string& dir) {
  return dir.size() > 1 && dir.back() == '/' ? dir.substr(0, dir.size() - 1) : dir;
}

void say(const UploadConfig& cfg, const std::string& text) { ld::log_event(cfg.log, text); }
void command(const UploadConfig& cfg, const std::string& text) {
  std::fprintf(cfg.out, "%s\n", text.c_str());
  std::fflush(cfg.out);
}

bool filter_pass(const std::string& path, const std::string& dir, const UploadConfig& cfg) {
  prnfilt_args a;
  a.input = path;
  // Created exclusively: a link or file of that name is never opened.
  ld::UniqueFd out = library::make_scratch(dir, kFilterTag, kFilterExt, &a.output);
  if (!out.valid()) {
    say(cfg, format("Filter failed %s: cannot create a file in %s: %s", path.c_str(), dir.c_str(), std::strerror(errno)));
    return false;
  }
  ::fchmod(out.get(), 0644);
  out.reset();
  a.copies = 1;
  a.collate = 0;
  a.from = 1;
  a.to = 65535;
  int32_t send_copies = 0;
  if (prnfilt(a, &send_copies, cfg.err) < 0) {
    say(cfg, format("Filter failed %s", path.c_str()));
    ld::remove_file(a.output);
    return false;
  }
  command(cfg, format("mv \"%s\" \"%s\"", a.output.c_str(), path.c_str()));
  std::string why;
  if (!ld::move_file(a.output, path, &why)) {
    say(cfg, why);
    ld::remove_file(a.output);
    return false;
  }
  return true;
}

// The thumbnail of a job in the upload folder, or "" when that folder's thumbs/ is a link:
// through it a dropped job would remove, and an imported one take, thumbnails that are not the
// set's (the library's own, say). Such a set's thumbnails are not used at all.
std::string set_thumb(const std::string& path, const UploadConfig& cfg, UploadRun* run) {
  const std::string thumbs = ld::dir_name(path) + "/thumbs";
  struct stat st;
  if (::lstat(thumbs.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return get_jpeg_fullname(path);
  if (!run->thumbs_link_said) say(cfg, format("Refuse %s: a link, its thumbnails are not used", thumbs.c_str()));
  run->thumbs_link_said = true;
  return "";
}

void remove_thumb(const std::string& thumb, const UploadConfig& cfg) {
  if (thumb.empty()) return;
  command(cfg, format("rm -f \"%s\"", thumb.c_str()));
  ld::remove_file(thumb);
}

void drop_job(const std::string& path, const UploadConfig& cfg, UploadRun* run) {
  const std::string thumb = set_thumb(path, cfg, run);
  command(cfg, format("rm \"%s\"", path.c_str()));
  std::string why;
  if (!ld::remove_file(path, &why)) {
    say(cfg, why);
    return;
  }
  remove_thumb(thumb, cfg);
  ++run->dropped;
}

// What is not a whole job never enters the library, whatever the printer model: the name is
// removed from the upload folder (unlinking a link or a FIFO touches nothing behind it), a
// folder is left as it is.
void refuse(const std::string& path, JobFile file, const UploadConfig& cfg, UploadRun* run) {
  if (file == JobFile::kNotJob || file == JobFile::kCut) say(cfg, format("error scanning %s", path.c_str()));
  say(cfg, format("Refuse %s: %s", path.c_str(), job_file_text(file)));
  ++run->dropped;
  if (ld::is_directory(path) && file != JobFile::kLink) return;
  const std::string thumb = set_thumb(path, cfg, run);
  command(cfg, format("rm \"%s\"", path.c_str()));
  std::string why;
  if (!ld::remove_file(path, &why)) say(cfg, why);
  remove_thumb(thumb, cfg);
}

// Into the library, replacing a job of the same name there: thumbnail and job are made whole
// on the library's disk, then renamed over the old ones, the thumbnail first (a job that stood
// in the library without its thumbnail would be taken for a broken one). Until then the old job
// stays as it was, and on a failure the new files stay in the upload folder.
bool import_job(const std::string& name, const std::string& path, const std::string& thumb,
                const UploadConfig& cfg) {
  const std::string& lib = cfg.paths.library;
  const std::string lib_thumbs = library::thumbs_folder(lib);
  std::string why, stored;
  if (!ld::make_dirs(lib_thumbs, &why)) {
    say(cfg, why);
    return false;
  }
  library::Placement p;
  p.job = path;
  p.thumb = thumb;
  p.dir = lib;
  p.thumbs = lib_thumbs;
  p.name = library::job_file_name(library::base_name(name));
  p.replace = true;
  command(cfg, format("mv \"%s\" %s", thumb.c_str(), no_slash(lib_thumbs).c_str()));
  command(cfg, format("mv \"%s\" %s", path.c_str(), no_slash(lib).c_str()));
  if (library::place_job(p, &stored, &why) != library::Placed::kPlaced) {
    say(cfg, why);
    return false;
  }
  return true;
}

// To the waiting directory, for the thumbnail maker.
bool requeue_job(const std::string& name, const std::string& path, const UploadConfig& cfg,
                 UploadRun* run) {
  const std::string& wait = cfg.paths.waiting;
  std::string why, stored;
  command(cfg, format("mkdir -p %s", no_slash(wait).c_str()));
  command(cfg, format("mkdir -p %sthumbs", wait.c_str()));
  if (!ld::make_dirs(wait + "thumbs", &why)) {
    say(cfg, why);
    return false;
  }
  // The file name the receiver would give it (safe bytes, the one length limit), numbered when
  // the job or its thumbnail-to-be is taken in the library or the waiting folder.
  library::Placement p;
  p.job = path;
  p.dir = wait;
  p.thumbs = library::thumbs_folder(cfg.paths.library);
  p.free_in = {cfg.paths.library};
  p.name = library::job_file_name(library::base_name(name));
  p.max_suffix = kMaxSuffix;
  command(cfg, format("mv \"%s\" %s", path.c_str(), no_slash(wait).c_str()));
  const library::Placed placed = library::place_job(p, &stored, &why);
  if (placed == library::Placed::kNoName) {
    say(cfg, format("No free name for %s", path.c_str()));
    return false;
  }
  if (placed == library::Placed::kFailed) {
    say(cfg, why);
    return false;
  }
  run->want_thumbs = true;
  return true;
}

// The thumbnail check and the move of a job that stays.
void place_job(const std::string& name, const std::string& path, const UploadConfig& cfg,
               UploadRun* run) {
  const std::string thumb = set_thumb(path, cfg, run);
  int error = library::kJpegMissing;
  bool link = false;
  if (!thumb.empty()) say(cfg, format("Checking jpeg %s", thumb.c_str()));
  if (!thumb.empty() && read_thumb_marker(thumb, &error, &link)) {
    say(cfg, format("Import %s", path.c_str()));
    if (import_job(name, path, thumb, cfg)) ++run->copied;
    return;
  }
  // A thumbnail that is a link is never trusted; removing it removes the link alone.
  if (link) say(cfg, format("Refuse %s: a link", thumb.c_str()));
  if (error == library::kJpegInvalid) {
    say(cfg, "Invalid jpeg");
    command(cfg, format("rm \"%s\"", thumb.c_str()));
    ld::remove_file(thumb);
  }
  say(cfg, "Recreate jpeg");
  if (requeue_job(name, path, cfg, run)) ++run->copied;
}

}  // namespace

UploadPaths default_upload_paths() {
  return {library::upload_dir(),   library::jobs_dir(),
          library::waiting_dir(),  ld::rooted("/tmp/upload_stat"),
          library::thumb_flag(),   ld::rooted("/var/www/html/cgi-bin/system.json")};
}

int get_model_type(std::string_view firmware) {
  const std::string_view prefix = firmware.substr(0, firmware.find('_'));
  if (prefix == "QX9" || prefix == "T4400C" || prefix == "K2") return 0;
  if (prefix == "R7") return 2;
  return 1;
}

int model_type_of(JsonNode* system_top) {
  if (!system_top) return -1;
  const std::string_view fw = getJSONObjectVal("system.FirmwareVersion", system_top);
  return fw.empty() ? -1 : get_model_type(fw);
}

std::string get_jpeg_fullname(std::string_view job_path) { return library::thumb_beside(job_path); }

UploadItems upload_items(const library::PrnInfo& info) {
  UploadItems it;
  for (const library::PrnOption& o : info.options) take_upload_item(&it, static_cast<uint16_t>(o.id), o.value);
  return it;
}

Verdict decide(int model, const UploadItems& items) {
  const bool has_8403 = items.v8403 != -1;
  if ((model == 0) != has_8403) return Verdict::kInvalid;
  if (items.v8510 == 1) return Verdict::kFilter;
  if (items.v8510 == -1 && items.v8600 != -1) return Verdict::kDropOksa;
  return Verdict::kImport;
}

int check_prn(const std::string& name, const std::string& dir, int model, const UploadConfig& cfg,
              UploadRun* run) {
  say(cfg, format("Upload checking %s ...", name.c_str()));
  const std::string path = dir + name;
  UploadItems items;
  const JobFile file = read_job_file(path, &items);
  if (file != JobFile::kWhole) {
    refuse(path, file, cfg, run);
    return 1;
  }
  Verdict v = decide(model, items);
  if (v == Verdict::kDropOksa) say(cfg, "Drop OKSA file");
  if (v == Verdict::kInvalid || v == Verdict::kDropOksa) {
    say(cfg, format("Remove invalid %s %d%d", path.c_str(), model, items.v8403));
    drop_job(path, cfg, run);
    return 1;
  }
  // A job whose filter pass failed stays in the upload directory as it came.
  if (v == Verdict::kFilter && !filter_pass(path, dir, cfg)) return 0;
  place_job(name, path, cfg, run);
  return 0;
}

namespace {

// The job files of the upload directory, listed before any of them moves.
std::vector<std::string> job_files(const std::string& dir) {
  std::vector<std::string> names;
  library::list_names(dir, &names, library::is_job_name);
  return names;
}

// Appends the statistics lines in one write, straight to the file.
void append_stats(const UploadConfig& cfg, const std::string& lines) {
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    command(cfg, format("echo %s >> %s", lines.substr(at, end - at).c_str(), cfg.paths.stat_file.c_str()));
    at = end + 1;
  }
  const int fd = ::open(cfg.paths.stat_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || !ld::write_all(fd, lines.data(), lines.size()))
    std::fprintf(cfg.err, "ERROR cannot write %s: %s\n", cfg.paths.stat_file.c_str(), std::strerror(errno));
  if (fd >= 0) ::close(fd);
}

}  // namespace

void load_prn_dirs(int model, const UploadConfig& cfg, UploadRun* run) {
  say(cfg, "Uploading files ...");
  for (const std::string& name : job_files(cfg.paths.upload_dir))
    check_prn(name, cfg.paths.upload_dir, model, cfg, run);
  append_stats(cfg, format("dropped=%d\ncopied=%d\n", run->dropped, run->copied));
  if (run->want_thumbs) {
    command(cfg, "touch " + cfg.paths.flag_file);
    ld::touch_file(cfg.paths.flag_file);
  }
}

int uploadcheck(const UploadConfig& given) {
  ld::UiLog events(given.err);
  UploadConfig cfg = given;
  if (!cfg.log) cfg.log = events.sink();
  if (!cfg.pause) cfg.pause = [] { ::sleep(1); };
  JsonTree doc;
  for (int i = 0; i < cfg.load_attempts && !doc; ++i) {
    if (i > 0) cfg.pause();
    doc = JsonTree::load(cfg.paths.system_json);
  }
  const int model = model_type_of(doc.top());
  UploadRun run;
  if (model < 0) {
    // Without the printer model no job can be judged; dropping them all would lose the set, so
    // the upload directory stays as it is.
    say(cfg, "Upload skipped: no firmware version in " + cfg.paths.system_json);
    append_stats(cfg, "dropped=0\ncopied=0\nskipped=no firmware version\n");
    return 0;
  }
  load_prn_dirs(model, cfg, &run);
  return 0;
}

}  // namespace upload
