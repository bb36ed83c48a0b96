// The USB page's actions: the scripts it leaves for the appliance's USB watcher (which runs
// them as root), the mode file that names the last action, the eject script, and what the page
// reads from the stick (its job sets and fill level). This program never runs a script itself.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace usb {

// Every fixed path, with the appliance root in front.
struct UsbPaths {
  std::string mode_file;      // /tmp/usb_mode
  std::string script;         // /tmp/do_usb.sh
  std::string active_script;  // /tmp/active_usb.sh (the watcher's name for a running script)
  std::string done_script;    // /tmp/usb_done.sh
  std::string pid_file;       // /tmp/usb_pid
  std::string kill_script;    // /tmp/kill_usb_kweb.sh
  std::string device;         // /mnt/backup_usb
  std::string prns_dir;       // /mnt/backup_usb/prns
  std::string var_log;        // /var/log
  std::string print_log;      // /print/log
  std::string print_prns;     // /print/prns
  std::string upload_script;  // /home/pi/upload_prns.sh
  std::string log_client;     // /home/pi/log_client
};
UsbPaths default_usb_paths();

// Script texts. Every path and name is one single-quoted shell word; the job and thumbnail
// globs stay outside the quotes. Each ends with the rename that tells the watcher it is done.
// The job backup copies one job at a time and logs, through the log client, every job it could
// not copy and then how many it copied.
std::string backup_logs_script(const UsbPaths& p, const std::string& name);
std::string backup_prns_script(const UsbPaths& p, const std::string& name);
std::string upload_prns_script(const UsbPaths& p, const std::string& set_name);

// "key=value" without a newline into the mode file, replacing it.
bool setup_upload_stat(const UsbPaths& p, std::string_view key, std::string_view value, std::string* err);
// The mode file, then the action script.
bool write_action(const UsbPaths& p, std::string_view key, std::string_view value, const std::string& script,
                  std::string* err);

// The eject script for the text read from the pid file: the kill line only for a process id
// (digits, a trailing newline allowed), so nothing else from that file reaches a root shell.
// False when the text is no process id.
bool eject_script(const UsbPaths& p, std::string_view pid_text, std::string* script);
// Reads up to 99 bytes of the pid file and writes the eject script; false (with *err) when the
// file is missing, empty, too long or holds no process id, or the script cannot be written.
bool write_eject_script(const UsbPaths& p, std::string* err);

// The job sets on the stick: the folders of the prns folder whose names do not begin with ".",
// sorted. False when the folder cannot be opened.
bool list_prn_dirs(const UsbPaths& p, std::vector<std::string>* names);
// Whether `name` is acceptable and names an existing job set.
bool job_set_exists(const UsbPaths& p, std::string_view name);

// The device's fill level in percent; false with "statvfs(<path>) failed" in *err.
bool disk_usage(const std::string& path, int* percent, std::string* err);

}  // namespace usb
