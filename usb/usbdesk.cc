#include "usb/usbdesk.h"

#include <cstdlib>

#include "webkit/html_utils.h"
#include "webkit/json.h"

namespace usb {
namespace {

struct Request {
  const UsbConfig& cfg;
  Page page;
  BackupSource src;
};

// An action whose script could not be left for the watcher never runs: the page says so and
// offers the action again, instead of a "done" button for work that will not happen.
bool start_action(Request* r, const char* what, const char* action, std::string_view key, std::string_view value,
                  const std::string& script) {
  std::string err;
  if (write_action(r->cfg.paths, key, value, script, &err)) return true;
  std::fprintf(r->cfg.err, "%s: %s\n", action, err.c_str());
  r->page.body.push_back(std::string("<div class='usb_error'>Could not start ") + what + ": " +
                         webkit::html_escape(err) + "</div>");
  return false;
}

const char* kLogsActive = "<input class='btn btn_active' type='submit' value='Backup Logs' name='backup_logs'>";
const char* kPrnsActive =
    "<input class='btn btn_active' type='submit' value='Backup Print Jobs' name='backup_prns'>";

std::string logs_cell(Request* r) {
  std::string name = get_backup_filename(&r->page, r->src, r->cfg.now);
  if (!start_action(r, "the log backup", "backup_logs", "backuplog", name + "_syslog.tgz",
                    backup_logs_script(r->cfg.paths, get_backup_filename(&r->page, r->src, r->cfg.now))))
    return kLogsActive;
  r->page.head.push_back("<script>var waiting_for_completion = 1;</script>\n");
  r->page.waiting = true;
  return "<button type='button' class='btn btn_done' id='backup_logs_div'>Logs backed up to<br> " +
         webkit::html_escape(name + ".tgz") + "</button>";
}

std::string prns_cell(Request* r) {
  std::string name = get_backup_filename(&r->page, r->src, r->cfg.now);
  if (!start_action(r, "the print job backup", "backup_prns", "backupprn", "prns/" + name,
                    backup_prns_script(r->cfg.paths, name)))
    return kPrnsActive;
  r->page.head.push_back("<script>var waiting_for_completion = 1;</script>\n");
  r->page.waiting = true;
  return "<button type='button' class='btn btn_done' id='backup_logs_div'>Print jobs backed up to <br>prns/" +
         webkit::html_escape(name) + "</button>";
}

const char* kUploadActive =
    "<button type='button' class='btn btn_active' onclick='show_prns_div()' id='upload_prns'>Upload Print "
    "Jobs</button>";

// The set name comes from the request and ends up in a script run as root: only the name of a
// job set that is there is taken; anything else is refused on the page and writes nothing.
std::string upload_cell(Request* r, const std::string& set) {
  if (!job_set_exists(r->cfg.paths, set)) {
    // The web server's error log is line-based: a control byte in the request cannot forge a line.
    std::string shown = set;
    for (char& c : shown)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    std::fprintf(r->cfg.err, "upload_prns: no job set named \"%s\"\n", shown.c_str());
    r->page.body.push_back("<div class='usb_error'>No job set " + webkit::html_escape(set) +
                           " on the device</div>");
    return kUploadActive;
  }
  if (!start_action(r, "the upload", "upload_prns", "import", set, upload_prns_script(r->cfg.paths, set)))
    return kUploadActive;
  r->page.head.push_back("<script>var waiting_for_completion = 1;</script>\n");
  r->page.head.push_back("<script>var backup_fname='" + js_string(set) + "';</script>\n");
  r->page.head.push_back("<script>var saving_dir = 0;</script>\n");
  r->page.waiting = true;
  return "<button type='button' class='btn btn_done'  onclick='show_prns_div()' id='upload_prns'>Print jobs "
         "uploaded done</button>";
}

void add_form(Request* r) {
  const char* q = r->cfg.query.c_str();
  std::string row = "<div class='tbl' id='tb1'><form ><table><tr><td>";
  row += webkit::searchParam(q, "backup_logs") ? logs_cell(r) : kLogsActive;
  row += "</td><td>";
  row += webkit::searchParam(q, "backup_prns") ? prns_cell(r) : kPrnsActive;
  row += "</td></tr><tr><td>";
  std::optional<std::string> set = webkit::searchParam(q, "upload_prn");
  row += set ? upload_cell(r, *set) : kUploadActive;
  row += "</td><td><input class='btn btn_active' type='submit' value='Quit' name='quit'></td>";
  row += "</tr></table></form></div>";
  r->page.body.push_back(row);
}

}  // namespace

Page build_page(const UsbConfig& cfg) {
  Request r{cfg, {}, {}};
  JsonTree system = JsonTree::load(cfg.system_json);
  JsonTree diag = JsonTree::load(cfg.diagnostics_json);
  r.src.firmware = getJSONObjectVal("system.FirmwareVersion", system.top());
  r.src.rtc = getJSONObjectVal("system.RTC", system.top());
  r.src.serial = getJSONObjectVal("system-diagnostics.SerialNumber", diag.top());
  add_page_start(&r.page, static_cast<bool>(system), r.src.serial, r.src.rtc);

  std::vector<std::string> sets;
  if (list_prn_dirs(cfg.paths, &sets)) add_prn_dirs(&r.page, sets);

  if (webkit::searchParam(cfg.query.c_str(), "quit")) {
    std::string err;
    if (write_eject_script(cfg.paths, &err)) r.page.body.push_back("ejecting usb device");
    else std::fprintf(cfg.err, "quit: %s\n", err.c_str());
  } else {
    add_form(&r);
  }
  if (!r.page.waiting) r.page.head.push_back("<script>var waiting_for_completion = 0;</script>\n");

  int percent = 0;
  std::string err;
  if (disk_usage(cfg.paths.device, &percent, &err)) add_disk_usage(&r.page, percent);
  else std::fprintf(cfg.err, "%s\n", err.c_str());
  r.page.body.push_back("</div>\r\n");
  r.page.body.push_back("</BODY>\r\n");
  return r.page;
}

int usbdesk(const UsbConfig& cfg) {
  Page page = build_page(cfg);
  webkit::Page response;
  for (const auto& l : page.head) response.add_head_line(l);
  for (const auto& l : page.body) response.add_body_line(l);
  return response.print_html(cfg.out) < 0 ? 1 : 0;
}

UsbConfig config_from_environment() {
  UsbConfig cfg;
  const char* q = std::getenv("QUERY_STRING");
  cfg.query = q ? q : "";
  cfg.now = std::time(nullptr);
  return cfg;
}

}  // namespace usb
