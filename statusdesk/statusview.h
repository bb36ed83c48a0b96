// What the status and history pages say, built from plain data that statusread gathers: the
// printer and its status document, the queue, the RFID encoder's status file, the library's disk
// and the event log, in words a person reads. No file or clock is touched here.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spooler/jobhistory.h"
#include "spooler/stuckwatch.h"

namespace statusdesk {

// Localised words: the text for a key, or the English default.
using Words = std::function<std::string(const char* key, const char* fallback)>;

struct PrinterView {
  bool have_document = false;
  int64_t age_s = 0;  // of the status document
  std::string state, media, cutter, firmware, clock;
};

struct QueueJob {
  std::string name;
  bool spooled = false, printing = false;
  int copies = 0, copies_sent = 0, send_copies = 0;
  int64_t print_time = 0;
};

struct QueueView {
  bool paused = false;
  std::vector<QueueJob> jobs;
};

// The encoder's status file, as key -> value.
using RfidFile = std::map<std::string, std::string>;

struct DiskView {
  bool known = false;
  int percent_used = 0;
  uint64_t free_mb = 0;
};

struct StatusInput {
  PrinterView printer;
  QueueView queue;
  std::optional<RfidFile> rfid;        // none: no status file
  DiskView disk;
  std::vector<std::string> log_lines;  // newest first
  std::optional<ld::StuckNotice> stuck;
  int64_t now = 0;
  std::string date_format = "%d-%m-%y %H:%M";
};

// The encoder rewrites its status file every few seconds while it runs; older news means it
// has stopped.
inline constexpr int64_t kRfidStaleSeconds = 30;
// Lines longer than this in the encoder's file are not the encoder's.
inline constexpr size_t kKeyValueLineMax = 400;

std::map<std::string, std::string> parse_key_values(std::string_view text);

// Each section's value cell, HTML; every outside text escaped.
std::string printer_text(const PrinterView& p, const Words& w);
std::string freshness_text(const PrinterView& p, const Words& w);
std::string queue_text(const QueueView& q, const Words& w, const std::string& date_format);
std::string rfid_text(const std::optional<RfidFile>& f, int64_t now, const Words& w);
std::string disk_text(const DiskView& d, const Words& w);
std::string stuck_html(const std::optional<ld::StuckNotice>& n, int64_t now, const Words& w);

// The body of each page, inside the common frame.
std::string status_body(const StatusInput& in, const Words& w);
std::string history_body(const std::vector<ld::HistoryEntry>& newest_first, const Words& w,
                         const std::string& date_format);

}  // namespace statusdesk
