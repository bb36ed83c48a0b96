// The USB maintenance page's decisions: the backup name, which job-set names are acceptable,
// the fill level, and the head and body lines of the page. Plain functions over plain data;
// reading the device and writing the action files lives in usbactions.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

// The page as it grows: head lines, body lines, and whether an action is now pending.
struct Page {
  std::vector<std::string> head;
  std::vector<std::string> body;
  bool waiting = false;
};

// The three values a backup is named after, as read from the status documents ("" if absent).
struct BackupSource {
  std::string firmware;  // system.FirmwareVersion
  std::string rtc;       // system.RTC, "DD/MM/YY HH:MM:SS"
  std::string serial;    // system-diagnostics.SerialNumber
};

// The firmware up to and including its first "_" (else its first 3 characters), the serial,
// "_", then the RTC as YYMMDDHHMM. When a value is missing or the RTC does not have digits where
// they are taken from, "backup_" and the local time `now` as YYMMDDHHMM. The name becomes a file
// and folder name on the stick and a word in a script: any byte other than letters, digits,
// ".", "_" and "-" is replaced by "_", so it never holds "/" or names a parent.
std::string backup_name(const BackupSource& src, time_t now);

// backup_name, adding the head lines that hand the name to the page's script.
std::string get_backup_filename(Page* page, const BackupSource& src, time_t now);

// A job-set name from a request: one non-empty folder name without "/", control bytes, and not
// "." or "..". (Whether the folder exists is the caller's check.)
bool valid_set_name(std::string_view name);

// A text inside a single-quoted JavaScript string: nothing in it can end the string or the
// script element around it.
std::string js_string(std::string_view text);

// The fixed head lines and the header of the body; the serial and time shown when the
// system document was loaded.
void add_page_start(Page* page, bool system_loaded, std::string_view serial, std::string_view rtc);

// The job-set list for the given names (nothing at all for none).
void add_prn_dirs(Page* page, const std::vector<std::string>& names);

// 100 - (available * 100 / total), whole-number division without overflow for any block
// counts; -1 when total is 0.
int percent_used(uint64_t available, uint64_t total);
void add_disk_usage(Page* page, int percent);

}  // namespace usb
