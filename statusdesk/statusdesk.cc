#include "statusdesk/statusdesk.h"

#include <cstdlib>
#include <ctime>

#include "spooler/jobhistory.h"
#include "statusdesk/statusread.h"
#include "statusdesk/statusview.h"
#include "webkit/html_utils.h"
#include "webkit/json.h"

namespace statusdesk {
namespace {

using webkit::html_escape;

// A button of the right-hand column that leads to another page.
std::string nav_button(const char* id, const std::string& href, const std::string& text) {
  return "<div id='" + std::string(id) + "' class='navbtn' onclick=\"window.location='" + href + "';\">" +
         html_escape(text) + "</div>\n";
}

void add_frame(webkit::Page* page, const std::string& title, bool refresh) {
  page->add_head_line("<meta http-equiv='Content-Type' content='text/html;charset=UTF-8'>\n");
  page->add_head_line("<style type='text/css'>body{background-color:#000}</style>\n");
  page->add_head_line("<TITLE>" + html_escape(title) + "</TITLE>\n");
  // The status page follows the printer by itself, as the queue page does while it prints.
  if (refresh) page->add_head_line("<meta http-equiv='refresh' content='5'>\n");
  page->add_head_line("<link rel='stylesheet' href='../css/toolbox.css'>\n");
  page->add_head_line("<link rel='stylesheet' href='../css/statusdesk.css'>\n");
  page->add_body_line("<BODY style='background-color:black'><div id='maindiv' class='nosel'>\n");
  page->add_body_line("<table id='titlebar'><tr><td><b>" + html_escape(title) +
                      "</b></td></tr></table>\n");
}

}  // namespace

int run_statusdesk(const DeskConfig& cfg) {
  webkit::Page page;
  JsonTree local = JsonTree::load("local.json");
  JsonNode* top = local.top();
  Words w = [top](const char* key, const char* fallback) {
    return std::string(getJSONKeyVal(std::string("status-local.") + key, top, fallback));
  };
  const std::string date_format = w("DateFormatStr", "%d-%m-%y %H:%M");
  const std::string exit_text = w("EWS_EXIT_STR", "Exit");
  const std::string home = "http://'+window.location.host+'/?touch=true";
  if (webkit::searchParam(cfg.query.c_str(), "history")) {
    add_frame(&page, w("ST_HISTORY", "Job history"), false);
    page.add_body_line(history_body(ld::read_history(), w, date_format));
    page.add_body_line(
        nav_button("queue_btn", "/cgi-bin/jobdesk?printq=1", w("EWS_PRINTQ", "Print Queue")));
    page.add_body_line(
        nav_button("status_btn", "/cgi-bin/statusdesk", w("ST_TITLE", "Printer status")));
  } else {
    add_frame(&page, w("ST_TITLE", "Printer status"), true);
    StatusInput in = read_status(cfg.now);
    in.date_format = date_format;
    page.add_body_line(status_body(in, w));
    page.add_body_line(
        nav_button("queue_btn", "/cgi-bin/jobdesk?printq=1", w("EWS_PRINTQ", "Print Queue")));
    page.add_body_line(
        nav_button("hist_btn", "/cgi-bin/statusdesk?history=1", w("ST_HISTORY", "Job history")));
  }
  page.add_body_line("<div id='returndiv' onclick=\"window.location='" + home + "';\">" +
                     html_escape(exit_text) + "</div>\n");
  page.add_body_line("</div>\r\n</BODY>\r\n");
  return page.print_html(cfg.out) < 0 ? 1 : 0;
}

DeskConfig config_from_environment() {
  DeskConfig cfg;
  const char* q = std::getenv("QUERY_STRING");
  cfg.query = q ? q : "";
  cfg.now = static_cast<int64_t>(std::time(nullptr));
  return cfg;
}

}  // namespace statusdesk
