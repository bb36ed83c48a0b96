#include "statusdesk/statusread.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "common/fsops.h"
#include "common/listing.h"
#include "common/paths.h"
#include "spooler/printq.h"
#include "webkit/json.h"

namespace statusdesk {
namespace {

// The log server starts a new day file past 100 kB; one much bigger is no day file of ours.
constexpr int64_t kLogFileMax = 4 << 20;
constexpr size_t kLogFilesRead = 6;
constexpr size_t kLogLineMax = 300;

PrinterView read_printer(int64_t now) {
  PrinterView p;
  struct stat st;
  if (::stat(kSystemDoc, &st) != 0) return p;
  JsonTree doc = JsonTree::load(kSystemDoc);
  if (!doc) return p;
  p.have_document = true;
  p.age_s = now - static_cast<int64_t>(st.st_mtime);
  if (p.age_s < 0) p.age_s = -p.age_s;  // a copy from the future is no fresher
  auto val = [&](const char* path) { return std::string(getJSONKeyVal(path, doc.top(), "")); };
  p.state = val("system.SystemState");
  p.media = val("system.Media");
  p.cutter = val("system.Cutter");
  p.firmware = val("system.FirmwareVersion");
  p.clock = val("system.RTC");
  return p;
}

QueueView read_queue(const spooler::Config& store, const std::vector<spooler::queue_record>& q) {
  QueueView v;
  v.paused = spooler::check_pause(store) != 1;
  for (const spooler::queue_record& r : q) {
    QueueJob j;
    j.name = std::string(r.displayname, strnlen(r.displayname, sizeof r.displayname));
    j.spooled = r.spooled != 0;
    j.printing = r.printing != 0;
    j.copies = r.copies;
    j.copies_sent = r.copies_sent;
    j.send_copies = r.send_copies;
    j.print_time = r.print_time;
    v.jobs.push_back(std::move(j));
  }
  return v;
}

DiskView read_disk() {
  DiskView d;
  struct statvfs vs;
  if (::statvfs(ld::rooted("/print").c_str(), &vs) != 0 || vs.f_blocks == 0) return d;
  d.known = true;
  const uint64_t total = vs.f_blocks, avail = std::min<uint64_t>(vs.f_bavail, vs.f_blocks);
  d.percent_used = static_cast<int>(100 - (100 * avail) / total);
  d.free_mb = avail * static_cast<uint64_t>(vs.f_frsize) / (1024 * 1024);
  return d;
}

struct LogFile {
  int64_t mtime;
  std::string path, tag, date;
};

// "<tag>_<YYYY-MM-DD>.log" or the rotated "<tag>_<YYYY-MM-DD-HHMM>.log".
bool log_file_name(const std::string& name, std::string* tag, std::string* date) {
  if (name.size() < 16 || name.compare(name.size() - 4, 4, ".log") != 0) return false;
  size_t us = name.rfind('_');
  if (us == std::string::npos || us == 0 || name.size() - us - 5 < 10) return false;
  *tag = name.substr(0, us);
  *date = name.substr(us + 1, 10);
  return true;
}

}  // namespace

std::vector<std::string> last_log_lines(const std::string& dir, size_t n) {
  std::vector<LogFile> files;
  ld::DirReader d(dir);
  while (const char* name = d.next()) {
    LogFile f;
    if (!log_file_name(name, &f.tag, &f.date)) continue;
    f.path = dir + "/" + name;
    struct stat st;
    if (::stat(f.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLogFileMax)
      continue;
    f.mtime = static_cast<int64_t>(st.st_mtime);
    files.push_back(std::move(f));
  }
  std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) { return a.mtime > b.mtime; });
  if (files.size() > kLogFilesRead) files.resize(kLogFilesRead);
  // (date, time, order in its file, text): the day files of several tags interleave by time.
  std::vector<std::tuple<std::string, std::string, size_t, std::string>> records;
  for (const LogFile& f : files) {
    std::string text;
    if (!ld::read_file(f.path, &text)) continue;
    size_t start = 0, order = 0;
    while (start < text.size()) {
      size_t nl = text.find('\n', start);
      std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      start = nl == std::string::npos ? text.size() : nl + 1;
      while (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() < 10 || line[8] != ',') continue;
      std::string msg = line.substr(9, kLogLineMax);
      records.emplace_back(f.date, line.substr(0, 8), order++, f.date + " " + line.substr(0, 8) + " " + f.tag + ": " + msg);
    }
  }
  std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a)) > std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b));
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < records.size() && i < n; ++i) out.push_back(std::get<3>(records[i]));
  return out;
}

StatusInput read_status(int64_t now) {
  StatusInput in;
  in.now = now;
  in.printer = read_printer(now);
  const spooler::Config store;
  const std::vector<spooler::queue_record> q = spooler::get_printq(store);
  in.queue = read_queue(store, q);
  in.stuck = ld::current_stuck_notice(q);
  std::string text;
  const std::string rfid = ld::rooted("/tmp/rfid_status");
  if (ld::file_size(rfid) >= 0 && ld::file_size(rfid) <= static_cast<int64_t>(kRfidFileMax) && ld::read_file(rfid, &text))
    in.rfid = parse_key_values(text);
  in.disk = read_disk();
  in.log_lines = last_log_lines(ld::rooted("/print/log"), 6);
  return in;
}

}  // namespace statusdesk
