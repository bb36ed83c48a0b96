#include "usb/usbactions.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/paths.h"
#include "library/folders.h"
#include "library/listing.h"
#include "library/names.h"
#include "usb/usbpage.h"

namespace usb {
namespace {

std::string q(const std::string& word) { return ld::shell_quote(word); }

std::string done_line(const UsbPaths& p) { return "mv " + q(p.active_script) + " " + q(p.done_script) + "\n"; }

}  // namespace

UsbPaths default_usb_paths() {
  UsbPaths p;
  p.mode_file = ld::rooted("/tmp/usb_mode");
  p.script = ld::rooted("/tmp/do_usb.sh");
  p.active_script = ld::rooted("/tmp/active_usb.sh");
  p.done_script = ld::rooted("/tmp/usb_done.sh");
  p.pid_file = ld::rooted("/tmp/usb_pid");
  p.kill_script = ld::rooted("/tmp/kill_usb_kweb.sh");
  p.device = ld::rooted("/mnt/backup_usb");
  p.prns_dir = ld::rooted("/mnt/backup_usb/prns");
  p.var_log = ld::rooted("/var/log");
  p.print_log = ld::rooted("/print/log");
  p.print_prns = library::jobs_dir();
  p.print_prns.pop_back();  // joined with "/" in the script texts
  p.upload_script = ld::rooted("/home/pi/upload_prns.sh");
  p.log_client = ld::rooted("/home/pi/log_client");
  return p;
}

std::string backup_logs_script(const UsbPaths& p, const std::string& name) {
  return "tar czf " + q(p.device + "/" + name + "_syslog.tgz") + " " + q(p.var_log) + "\n" + "tar czf " +
         q(p.device + "/" + name + ".tgz") + " " + q(p.print_log) + "\n" + done_line(p);
}

// One job at a time, so that a job the stick cannot take (a FAT stick holds no name with
// " * : < > ? \ |) is named in the event log instead of passing unseen, and the count of copied
// jobs is logged at the end. Job names stay inside shell variables. Each file is copied under a
// hidden name, synced and only then renamed to its own name, so a set never holds a cut job or
// thumbnail under a name the import would take, whenever the power goes or the stick is pulled;
// the set's folders are synced before the script says it is done, so a backup shown as done is
// on the stick.
std::string backup_prns_script(const UsbPaths& p, const std::string& name) {
  std::string set = p.prns_dir + "/" + name;
  const std::string part = q(set + "/.backup.part"), thumb_part = q(set + "/thumbs/.backup.part");
  return "mkdir " + q(p.prns_dir) + "\n" + "mkdir " + q(set) + "\n" + "mkdir " + q(set + "/thumbs") + "\n" +
         "say() { { printf '%s' \"$1\" | tr '\\r\\n' '  '; echo; } | " + q(p.log_client) + "; }\n" +
         "copied=0\nfailed=0\n" +
         "for job in " + q(p.print_prns + "/") + "*.prn; do\n" +
         "  if [ -L \"$job\" ] || [ ! -f \"$job\" ]; then continue; fi\n" +
         "  name=${job##*/}\n" +
         "  if cp \"$job\" " + part + " && sync " + part + " && mv -T " + part + " " + q(set + "/") + "\"$name\"; then\n" +
         "    copied=$((copied + 1))\n" +
         "    thumb=" + q(library::thumbs_folder(p.print_prns + "/")) + "\"${name%.prn}.jpeg\"\n" +
         "    if [ -f \"$thumb\" ] && ! { cp \"$thumb\" " + thumb_part + " && sync " + thumb_part + " && mv -T " +
         thumb_part + " " + q(set + "/thumbs/") + "\"${name%.prn}.jpeg\"; }; then\n" +
         "      rm -f " + thumb_part + "\n" +
         "      say \"Backup could not copy the thumbnail of $name\"\n" +
         "    fi\n" +
         "  else\n" +
         "    failed=$((failed + 1))\n" +
         "    rm -f " + part + "\n" +
         "    case $name in\n" +
         "      *[\\\"*:\\<\\>?\\\\\\|]*) say \"Backup could not copy $name (a FAT stick holds no name with \\\" * : < > ? \\\\ |)\" ;;\n" +
         "      *) say \"Backup could not copy $name\" ;;\n" +
         "    esac\n" +
         "  fi\n" +
         "done\n" +
         "sync " + q(set + "/thumbs") + " " + q(set) + " " + q(p.prns_dir) + " " + q(p.device) +
         " || say \"Backup to prns/" + name + " may not be whole on the stick: it could not be synced\"\n" +
         "say \"Backup to prns/" + name + ": $copied print jobs copied, $failed not copied\"\n" + done_line(p);
}

std::string upload_prns_script(const UsbPaths& p, const std::string& set_name) {
  return "echo \"run upload_prns ...\" | " + q(p.log_client) + "\n" + q(p.upload_script) + " " +
         q(p.prns_dir + "/" + set_name) + "\n" + "echo \"done upload_prns ...\" | " + q(p.log_client) + "\n" +
         done_line(p);
}

bool setup_upload_stat(const UsbPaths& p, std::string_view key, std::string_view value, std::string* err) {
  std::string text(key);
  text += "=";
  text += value;
  return ld::write_file_atomic(p.mode_file, text, err);
}

bool write_action(const UsbPaths& p, std::string_view key, std::string_view value, const std::string& script,
                  std::string* err) {
  return setup_upload_stat(p, key, value, err) && ld::write_file_atomic(p.script, script, err);
}

bool eject_script(const UsbPaths& p, std::string_view pid_text, std::string* script) {
  std::string_view digits = pid_text;
  if (!digits.empty() && digits.back() == '\n') digits.remove_suffix(1);
  if (digits.empty() || digits.size() > 10) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  *script = "sudo kill " + std::string(digits) + "\n" + "sudo umount -f " + q(p.device) + "\n";
  return true;
}

bool write_eject_script(const UsbPaths& p, std::string* err) {
  ld::UniqueFd fd(::open(p.pid_file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    *err = "cannot open " + p.pid_file;
    return false;
  }
  char buf[100];
  long n = ld::read_full(fd.get(), buf, sizeof buf);
  if (n < 1 || n > 99) {
    *err = p.pid_file + " is empty, unreadable or too long";
    return false;
  }
  std::string script;
  if (!eject_script(p, std::string_view(buf, static_cast<size_t>(n)), &script)) {
    *err = p.pid_file + " holds no process id";
    return false;
  }
  return ld::write_file_atomic(p.kill_script, script, err);
}

bool list_prn_dirs(const UsbPaths& p, std::vector<std::string>* names) {
  std::vector<std::string> found;
  if (!library::list_names(p.prns_dir, &found, [](std::string_view n) { return !library::is_hidden(n); }))
    return false;
  for (const std::string& n : found)
    if (valid_set_name(n) && ld::is_directory(p.prns_dir + "/" + n)) names->push_back(n);
  std::sort(names->begin(), names->end());
  return true;
}

bool job_set_exists(const UsbPaths& p, std::string_view name) {
  return valid_set_name(name) && ld::is_directory(p.prns_dir + "/" + std::string(name));
}

bool disk_usage(const std::string& path, int* percent, std::string* err) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0 || st.f_blocks == 0) {
    *err = "statvfs(" + path + ") failed";
    return false;
  }
  *percent = percent_used(st.f_bavail, st.f_blocks);
  return true;
}

}  // namespace usb
