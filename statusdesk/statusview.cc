#include "statusdesk/statusview.h"

#include <ctime>

#include "spooler/printer_send.h"
#include "webkit/html_utils.h"

namespace statusdesk {
namespace {

using webkit::html_escape;

std::string esc(const Words& w, const char* key, const char* fallback) { return html_escape(w(key, fallback)); }

std::string row(const std::string& label, const std::string& value, const std::string& id) {
  return "<tr id='" + id + "'><th>" + html_escape(label) + "</th><td>" + value + "</td></tr>\n";
}

// A whole number of seconds, or nothing for text that is not one.
std::optional<int64_t> seconds(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  int64_t v = 0;
  for (char c : text) v = v * 10 + (c - '0');
  return v;
}

std::string ago(int64_t now, int64_t then) {
  int64_t s = now > then ? now - then : 0;
  if (s < 120) return std::to_string(s) + " s";
  if (s < 7200) return std::to_string(s / 60) + " min";
  return std::to_string(s / 3600) + " h";
}

std::string when(int64_t t, const std::string& fmt) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm_buf;
  char buf[64];
  if (t <= 0 || localtime_r(&tt, &tm_buf) == nullptr || strftime(buf, sizeof buf, fmt.c_str(), &tm_buf) == 0)
    return "-";
  return buf;
}

// "<model> <serial or -> <power>" of one reader module, or "none".
std::string module_text(const std::string& v, const Words& w) {
  if (v.empty() || v == "none") return "<span class='warn'>" + esc(w, "ST_NOT_FOUND", "not found") + "</span>";
  size_t a = v.find(' ');
  std::string model = v.substr(0, a), serial, power;
  if (a != std::string::npos) {
    size_t b = v.find(' ', a + 1);
    serial = v.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) power = v.substr(b + 1);
  }
  std::string s = html_escape(model);
  if (!serial.empty() && serial != "-") s += ", " + esc(w, "ST_SERIAL", "serial") + " " + html_escape(serial);
  if (!power.empty()) s += ", " + esc(w, "ST_POWER", "power") + " " + html_escape(power);
  return s;
}

std::string event_word(const std::string& e, const Words& w) {
  if (e == "new") return w("ST_EV_NEW", "new tag");
  if (e == "exit") return w("ST_EV_EXIT", "tag at the exit");
  if (e == "write-ok") return w("ST_EV_WRITE_OK", "tag written");
  if (e == "write-failed") return w("ST_EV_WRITE_FAILED", "tag write failed");
  return e;
}

std::string end_word(ld::JobEnd e, const Words& w) {
  switch (e) {
    case ld::JobEnd::kSent: return w("ST_END_SENT", "Printed");
    case ld::JobEnd::kCancelled: return w("ST_END_CANCELLED", "Cancelled by the printer");
    case ld::JobEnd::kRemoved: return w("ST_END_REMOVED", "Removed from the queue");
    case ld::JobEnd::kFailed: return w("ST_END_FAILED", "Failed");
  }
  return "";
}

}  // namespace

std::map<std::string, std::string> parse_key_values(std::string_view text) {
  std::map<std::string, std::string> out;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0 || line.size() > kKeyValueLineMax) continue;
    out[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
  }
  return out;
}

std::string printer_text(const PrinterView& p, const Words& w) {
  if (!p.have_document) return "<span class='warn'>" + esc(w, "ST_NO_DATA", "no news from the printer") + "</span>";
  if (p.state == "Online") return html_escape(p.state) + " &ndash; " + esc(w, "ST_READY", "ready to print");
  return "<span class='warn'>" + html_escape(p.state.empty() ? "?" : p.state) + "</span> &ndash; " +
         esc(w, "ST_NOT_READY", "jobs wait");
}

std::string freshness_text(const PrinterView& p, const Words& w) {
  if (!p.have_document) return "<span class='warn'>" + esc(w, "ST_NO_DOC", "missing") + "</span>";
  const std::string age = std::to_string(p.age_s) + " s";
  // The same limit as the printer gate's: a copy this old lets no job through.
  if (p.age_s < kStatusMaxAgeSeconds) return esc(w, "ST_FRESH", "fresh") + " (" + age + ")";
  return "<span class='warn'>" + esc(w, "ST_STALE", "not fresh, printing waits") + " (" + age + ")</span>";
}

std::string queue_text(const QueueView& q, const Words& w, const std::string& date_format) {
  std::string s;
  if (q.jobs.empty()) s = esc(w, "ST_QUEUE_EMPTY", "empty");
  else s = std::to_string(q.jobs.size()) + " " + (q.jobs.size() == 1 ? esc(w, "ST_JOB", "job") : esc(w, "ST_JOBS", "jobs"));
  if (q.paused) s += ", <span class='warn'>" + esc(w, "EWS_PAUSED", "Paused") + "</span>";
  if (q.jobs.empty()) return s;
  const QueueJob& j = q.jobs[0];
  if (j.printing) {
    s += "<br>" + esc(w, "EWS_PRINTG", "Printing") + ": <b>" + html_escape(j.name) + "</b>";
    // A job sent once per copy counts its copies; otherwise the copies are inside one send.
    if (j.send_copies != 0 && j.copies > 1)
      s += ", " + esc(w, "ST_COPY", "copy") + " " + std::to_string(j.copies_sent) + " " + esc(w, "ST_OF", "of") + " " +
           std::to_string(j.copies);
    if (j.print_time > 0) s += ", " + esc(w, "ST_SINCE", "since") + " " + html_escape(when(j.print_time, date_format));
  } else if (!j.spooled) {
    s += "<br>" + esc(w, "EWS_SPOOLING", "Spooling") + ": " + html_escape(j.name);
  } else {
    s += "<br>" + esc(w, "ST_NEXT", "Next") + ": " + html_escape(j.name);
  }
  return s;
}

std::string rfid_text(const std::optional<RfidFile>& f, int64_t now, const Words& w) {
  if (!f) return "<span class='warn'>" + esc(w, "ST_RFID_DOWN", "not running") + "</span>";
  auto get = [&](const char* k) {
    auto it = f->find(k);
    return it == f->end() ? std::string() : it->second;
  };
  std::optional<int64_t> updated = seconds(get("updated"));
  if (!updated || now - *updated > kRfidStaleSeconds)
    return "<span class='warn'>" + esc(w, "ST_RFID_STOPPED", "not running") + "</span>" +
           (updated ? " (" + esc(w, "ST_LAST_NEWS", "last news") + " " + ago(now, *updated) + ")" : "");
  std::string s = esc(w, "ST_RFID_UP", "running") + ", " + esc(w, "ST_PRINTER_LINK", "printer") + " " +
                  (get("printer") == "connected" ? esc(w, "ST_CONNECTED", "connected")
                                                 : "<span class='warn'>" + esc(w, "ST_NOT_CONNECTED", "not connected") + "</span>");
  s += "<br>" + esc(w, "ST_ENTRY", "Entry") + ": " + module_text(get("entry"), w);
  s += "<br>" + esc(w, "EWS_EXIT_STR", "Exit") + ": " + module_text(get("exit"), w);
  // "<unix s> <new|exit|write-ok|write-failed> <EPC hex>"
  const std::string ev = get("last_event");
  size_t a = ev.find(' ');
  if (a != std::string::npos) {
    size_t b = ev.find(' ', a + 1);
    std::string kind = ev.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    std::string epc = b == std::string::npos ? "" : ev.substr(b + 1);
    std::optional<int64_t> t = seconds(ev.substr(0, a));
    s += "<br>" + esc(w, "ST_LAST_TAG", "Last tag") + ": " +
         (kind == "write-failed" ? "<span class='warn'>" + html_escape(event_word(kind, w)) + "</span>"
                                 : html_escape(event_word(kind, w))) +
         (t ? " " + html_escape(ago(now, *t)) + " " + esc(w, "ST_AGO", "ago") : "") +
         (epc.empty() ? "" : "<br><span class='epc'>" + html_escape(epc) + "</span>");
  }
  return s;
}

std::string disk_text(const DiskView& d, const Words& w) {
  if (!d.known) return esc(w, "ST_UNKNOWN", "unknown");
  std::string s = std::to_string(d.percent_used) + " % " + esc(w, "ST_USED", "used") + ", " + std::to_string(d.free_mb) +
                  " MB " + esc(w, "ST_FREE", "free");
  return d.percent_used >= 90 ? "<span class='warn'>" + s + "</span>" : s;
}

std::string stuck_html(const std::optional<ld::StuckNotice>& n, int64_t now, const Words& w) {
  if (!n) return "";
  return "<div id='stuck_notice'>" + html_escape(ld::stuck_notice_words(*n, now, w("ST_STUCK", ld::kStuckLead))) +
         "</div>\n";
}

std::string status_body(const StatusInput& in, const Words& w) {
  const PrinterView& p = in.printer;
  std::string b = "<table id='statustb' class='stbox'>\n";
  b += row(w("ST_PRINTER", "Printer"), printer_text(p, w), "st_printer");
  b += row(w("ST_DOC", "Status"), freshness_text(p, w), "st_doc");
  if (p.have_document) {
    b += row(w("ST_MEDIA", "Media"), html_escape(p.media.empty() ? "-" : p.media), "st_media");
    b += row(w("ST_CUTTER", "Cutter"),
             p.cutter.empty() || p.cutter == "0" ? esc(w, "EWS_NO", "No") : esc(w, "EWS_YES", "Yes"), "st_cutter");
    b += row(w("ST_FIRMWARE", "Firmware"), html_escape(p.firmware.empty() ? "-" : p.firmware), "st_firmware");
    b += row(w("ST_CLOCK", "Clock"), html_escape(p.clock.empty() ? "-" : p.clock), "st_clock");
  }
  b += row(w("EWS_DISK", "Disk"), disk_text(in.disk, w), "st_disk");
  b += "</table>\n<table id='statustb2' class='stbox'>\n";
  b += row(w("EWS_PRINTQ", "Print Queue"), queue_text(in.queue, w, in.date_format), "st_queue");
  b += row(w("ST_RFID", "RFID"), rfid_text(in.rfid, in.now, w), "st_rfid");
  b += "</table>\n";
  b += stuck_html(in.stuck, in.now, w);
  b += "<div id='eventlog'><div class='evhead'>" + esc(w, "ST_EVENTS", "Last events") + "</div>\n";
  if (in.log_lines.empty()) b += "<div>" + esc(w, "ST_NO_EVENTS", "none") + "</div>\n";
  for (const std::string& l : in.log_lines) b += "<div class='evline'>" + html_escape(l) + "</div>\n";
  b += "</div>\n";
  return b;
}

std::string history_body(const std::vector<ld::HistoryEntry>& all, const Words& w, const std::string& fmt) {
  std::string b = "<div id='historybox'><table id='historytb'>\n<tr class='hhead'><th>" + esc(w, "EWS_FILE", "File") +
                  "</th><th>" + esc(w, "EWS_PAGES", "Pages") + "</th><th>" + esc(w, "EWS_COPIES", "Copies") +
                  "</th><th>" + esc(w, "ST_QUEUED_AT", "Queued") + "</th><th>" + esc(w, "ST_ENDED_AT", "Ended") +
                  "</th><th>" + esc(w, "ST_HOW", "How it ended") + "</th></tr>\n";
  for (const auto& e : all) {
    b += "<tr class='h_" + std::string(ld::job_end_word(e.end)) + "'><td class='hname'>" + html_escape(e.name) +
         "</td><td>" + std::to_string(e.pages) + "</td><td>" + std::to_string(e.copies) + "</td><td>" +
         html_escape(when(e.queued_at, fmt)) + "</td><td>" + html_escape(when(e.ended_at, fmt)) + "</td><td>" +
         html_escape(end_word(e.end, w)) + "</td></tr>\n";
  }
  b += "</table>\n";
  if (all.empty()) b += "<p>" + esc(w, "ST_NO_HISTORY", "No job has left the queue yet.") + "</p>\n";
  b += "</div>\n";
  return b;
}

}  // namespace statusdesk
