#include "jobdesk/jobops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/hexcode.h"
#include "common/paths.h"
#include "library/folders.h"
#include "library/listing.h"
#include "library/names.h"
#include "webkit/html_utils.h"

namespace jobdesk {

std::string js_escape(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\' || c == '\'' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {
constexpr std::string_view kUrlCoded = "\"#%&'+`";
}  // namespace

std::string esc_url(std::string_view name) {
  return ld::percent_encode(name, [](unsigned char c) {
    return kUrlCoded.find(static_cast<char>(c)) != std::string_view::npos;
  });
}

std::string unesc_url(std::string_view name) {
  // Exactly the sequences esc_url writes, in its upper case: "%2b" stays as it is, or the job
  // "x%2by.prn" would open, save, print and delete the job "x+y.prn". A "+" is a plus here.
  ld::PercentRule rule;
  rule.plus_is_space = false;
  rule.upper_only = true;
  rule.only = kUrlCoded;
  return ld::percent_decode(name, rule);
}

void show_popup(webkit::Page* page, std::string_view title, std::string_view message) {
  page->add_head_line("<script> var show_popup_flag = 1; </script>\n");
  page->add_head_line("<script> var popup_title=\"" + js_escape(title) + "\"; </script>\n");
  page->add_head_line("<script> var popup_msg=\"" + js_escape(message) + "\"; </script>\n");
}

bool is_plain_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool is_library_job(const std::string& file_name) {
  if (!is_plain_name(file_name) || !library::is_job_name(file_name)) return false;
  struct stat st;
  return ::lstat((library::jobs_dir() + file_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

std::vector<std::string> jobs_in(const std::string& dir) {
  std::vector<std::string> out;
  library::list_names(dir, &out, library::is_job_name);
  return out;
}

}  // namespace

bool name_taken(const std::string& new_name, FILE* err) {
  const std::string file = new_name + std::string(library::kJobSuffix);
  bool taken = prn_exists(file, err) == 1;
  // Another library job whose thumbnail has the new name ("c.prn.bak" shows thumbs/c.jpeg).
  for (const std::string& e : jobs_in(library::jobs_dir())) {
    if (library::base_name(e) == new_name) taken = true;
  }
  // A job waiting for its thumbnail: thumbmaker names the thumbnail after its base name and
  // then moves the job into the library under its own name.
  for (const std::string& e : jobs_in(library::waiting_dir())) {
    if (e == file || library::base_name(e) == new_name) taken = true;
  }
  return taken;
}

std::string library_lock_path() { return ld::rooted("/tmp/jobdesk.lock"); }

LibraryLock::LibraryLock(const std::string& path, long wait_ms, ld::Clock& clock) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd.valid()) {
    error_ = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  const int64_t until = clock.monotonic_ms() + wait_ms;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error_ = "cannot lock " + path + ": " + std::strerror(errno);
      return;
    }
    if (clock.monotonic_ms() >= until) {
      error_ = path + " is held by another run";
      return;
    }
    clock.sleep_ms(20);
  }
  fd_ = std::move(fd);
}

int do_delete(webkit::Page* page, const PrnList& l, const std::string& name) {
  if (!is_library_job(name)) {
    fprintf(l.err, "jobdesk ERROR refusing to delete %s: not a job of the library\n", name.c_str());
    return 0;
  }
  std::string err;
  const std::string job = library::jobs_dir() + name;
  const std::string thumb = library::web_thumbs_dir() + library::thumb_name(name);
  if (!ld::remove_file(job, &err)) fprintf(l.err, "%s\n", err.c_str());
  if (!ld::remove_file(thumb, &err)) fprintf(l.err, "%s\n", err.c_str());
  // A delete the screen showed done stays done after a power cut. The job's folder first: a
  // cut between the two syncs leaves a picture without a job, never a job without its picture.
  if (!ld::fsync_dir(ld::dir_name(job), &err) || !ld::fsync_dir(ld::dir_name(thumb), &err))
    fprintf(l.err, "%s\n", err.c_str());
  page->add_head_line("<script>var delete_prn='" + js_escape(name) + "';</script>\n");
  return 1;
}

int do_multi_delete(webkit::Page* page, PrnList* l, const char* query) {
  // The page script codes names with esc_url before the URL coding the toolkit undoes.
  std::vector<std::string> values, names;
  if (webkit::getParamValues(query, "delp", &values, 100) == 0) return 0;
  for (const std::string& v : values) {
    if (is_plain_name(unesc_url(v))) {
      names.push_back(v);
    } else {
      fprintf(l->err, "jobdesk ERROR delp %s is not a job name\n", v.c_str());
      show_popup(page, "Error", kInvalidName);
    }
  }
  if (names.empty()) return 0;
  load_prn_list(l, library::cache_file());
  for (const std::string& name : names) drop_prn_entry(l, unesc_url(name));
  save_prn_list(*l, library::cache_file());
  int n = 0;
  for (const std::string& name : names) {
    fprintf(l->err, "delete prn <%s>\n", name.c_str());
    n += do_delete(page, *l, unesc_url(name));
  }
  return n;
}

namespace {

// The new name under the job-name rule that the receiver applies, so the renamed job fits
// every request value, record and queue path that later carries its name.
bool new_name_acceptable(const std::string& name) {
  return is_plain_name(name) && library::safe_name(name) == name &&
         library::job_file_name(name) == name + std::string(library::kJobSuffix);
}

// The job's thumbnail also under the new name, durably, before the job moves: wherever the
// power goes, the job stands under its old or its new name with a thumbnail of that name (the
// list removes a job it finds without one, so moving either file first could lose the job). A
// picture left under the name not taken is shown by nobody. *carried: the new name was made.
bool thumb_under_new_name(const std::string& old_thumb, const std::string& new_thumb, bool* carried,
                          std::string* err) {
  if (!ld::file_exists(old_thumb)) return true;
  // No job owns the new name (name_taken said so): a picture there was left by a cut rename.
  if (!ld::remove_file(new_thumb, err)) return false;
  if (::link(old_thumb.c_str(), new_thumb.c_str()) != 0 && !ld::copy_file(old_thumb, new_thumb, err)) return false;
  *carried = true;
  return ld::fsync_dir(ld::dir_name(new_thumb), err);
}

}  // namespace

int do_rename(webkit::Page* page, PrnList* l, const char* old_name, const char* new_name) {
  if (!old_name) fprintf(l->err, "do_rename error prn is null\n");
  if (!new_name) fprintf(l->err, "do_rename error renameTo is null\n");
  if (!old_name || !new_name || !is_plain_name(old_name) || !new_name_acceptable(new_name)) {
    show_popup(page, "Rename", kInvalidName);
    return 0;
  }
  std::string from = old_name;
  std::string to = std::string(new_name) + std::string(library::kJobSuffix);
  if (!is_library_job(from)) {
    fprintf(l->err, "do_rename %s is not a job of the library\n", from.c_str());
    show_popup(page, "Error", kJobGone);
    return 0;
  }
  int found = name_taken(new_name, l->err) ? 1 : 0;
  fprintf(l->err, "do_rename %s %d\n", to.c_str(), found);
  if (found) {
    show_popup(page, "Error", "Duplicate filename!");
    return 0;
  }
  std::string err;
  const std::string old_base = library::base_name(from);
  const std::string thumbs = library::web_thumbs_dir();
  const std::string old_thumb = thumbs + library::thumb_name(from);
  const std::string new_thumb = thumbs + library::thumb_name(to);
  bool carried = false;
  if (!thumb_under_new_name(old_thumb, new_thumb, &carried, &err)) {
    fprintf(l->err, "%s\n", err.c_str());
    return 0;
  }
  fprintf(l->err, "do_rename /bin/mv /print/prns/%s /print/prns/%s\n", ld::esc_sh(from).c_str(),
          ld::esc_sh(to).c_str());
  // A job that arrived under the new name since the check (the receiver or the import place
  // jobs without asking jobdesk) is never replaced.
  const std::string lib = library::jobs_dir();
  const ld::MoveResult moved = ld::move_no_replace(lib + from, lib + to, &err, true);
  if (moved != ld::MoveResult::kMoved) {
    // The job stayed where it was; its thumbnail and the cache stay with it.
    if (carried) ld::remove_file(new_thumb);
    if (moved == ld::MoveResult::kExists) {
      show_popup(page, "Error", "Duplicate filename!");
    } else {
      fprintf(l->err, "%s\n", err.c_str());
    }
    return 0;
  }
  fprintf(l->err, "do_rename /bin/mv /var/www/html/thumbs/%s.jpeg /var/www/html/thumbs/%s.jpeg\n",
          ld::esc_sh(old_base).c_str(), ld::esc_sh(new_name).c_str());
  if (carried && (!ld::remove_file(old_thumb, &err) || !ld::fsync_dir(ld::dir_name(old_thumb), &err))) {
    fprintf(l->err, "%s\n", err.c_str());
  }
  l->list.clear();
  save_prn_list(*l, library::cache_file());
  fprintf(l->err, "JOBDESK do_rename done\n");
  return 1;
}

}  // namespace jobdesk
