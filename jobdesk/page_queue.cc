// The print-queue page: the queue's jobs with their states and the links that pause, resume,
// reorder and delete them.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "jobdesk/pages.h"
#include "spooler/printq.h"
#include "spooler/stuckwatch.h"
#include "webkit/html_utils.h"

namespace jobdesk {
using spooler::check_pause;
using spooler::get_printq;
using spooler::pause_printing;
using spooler::printq_delete;
using spooler::printq_movedown;
using spooler::printq_moveup;
using spooler::queue_record;
using spooler::resume_printing;

namespace {

using webkit::html_escape;

std::optional<int> queue_index(const std::optional<std::string>& value) {
  if (!value || value->empty() || value->size() > 9) return std::nullopt;
  int n = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

void queue_actions(const webkit::Page& page, const spooler::Config& store, const char* q,
                   bool* paused) {
  std::string printq = page.getParam(q, "printq").value_or("");
  if (printq == "pause") {
    pause_printing(store);
    *paused = true;
  } else if (printq == "resume") {
    resume_printing(store);
    *paused = false;
  }
  // An index that is not a whole number ("", "x", "1x", "-1", one past int) acts on no row: read
  // as atoi would, it became 0 and deleted or moved the job at the head of the queue.
  if (auto i = queue_index(page.getParam(q, "moveup"))) printq_moveup(store, *i);
  if (auto i = queue_index(page.getParam(q, "movedown"))) printq_movedown(store, *i);
  if (auto i = queue_index(page.getParam(q, "delete"))) printq_delete(store, *i);
}

std::string queue_state(const queue_record& r, bool paused, JsonNode* local) {
  if (!r.spooled) return local_text(local, "EWS_SPOOLING");
  if (paused) return local_text(local, "EWS_PAUSED");
  return local_text(local, r.printing ? "EWS_PRINTG" : "EWS_QUEUED");
}

void queue_row(webkit::Page* page, const queue_record& r, size_t i, size_t n, bool paused,
               JsonNode* local) {
  const std::string grey = "<td style='color:grey;width:";
  std::string name(r.displayname, strnlen(r.displayname, sizeof r.displayname));
  long long sheets = (static_cast<long long>(r.to) - r.from + 1) * r.copies;
  std::string row = "<tr><td class='vpdq'>" + html_escape(name) + "</td>";
  row += grey + "80px;'>" + html_escape(queue_state(r, paused, local)) + "</td>";
  row += "<td>" + std::to_string(sheets) + " " +
         html_escape(local_text(local, sheets == 1 ? "EWS_PAGE_STR" : "EWS_PAGES")) + "</td>";
  row += grey + "40px;'>" + std::to_string(r.copies_sent) + "</td>" + grey + "40px;'>" +
         std::to_string(r.copies) + "</td>";
  const std::string link = "<td class='vpdqb' style='border:1px solid green;' "
                           "onclick=\"window.location='?printq=1&";
  const std::string idx = std::to_string(i);
  row += i == 0 ? grey + "40px;'>&#9650;</td>" : link + "moveup=" + idx + "';\">&#9650;</td>";
  row += i + 1 == n ? grey + "40px;'>&#9660;</td>"
                    : link + "movedown=" + idx + "';\">&#9660;</td>";
  row += "<td class='vpdqbdel' style='width:80px;border:1px solid green;' "
         "onclick=\"window.location='?printq=1&delete=" + idx +
         "';\"><img src='/img/recycle.png' width='30'></td></tr>\n";
  page->add_body_line(row);
}

}  // namespace

void show_queue(webkit::Page* page, const PageContext& ctx, const spooler::Config& store,
                const char* job_name) {
  bool paused = !check_pause(store);
  page->add_head_line("<script>\nvar show_printq_flag = 1;\n</script>");
  page->add_head_line("<script>\nvar vlist = 1;\n</script>");
  page->add_head_line("<script>\nvar nvis = 8;\n</script>");
  page->add_head_line("<script>\nvar listboxid = 'printqbox';\n</script>");
  page->add_body_line("<BODY style='background-color:black'><div id='maindiv' class='nosel'>\n");
  page->add_body_line("<table><tr><td style='width:800px;border-bottom:1px solid white;'><b>" +
                      html_escape(local_text(ctx.local, "EWS_PRINTQ")) +
                      "</b></td></tr></table>\n");
  queue_actions(*page, store, ctx.query, &paused);
  std::string base = html_escape(js_escape(ctx.base));
  // Each icon leads to the view it shows: the list (list=1) and the gallery (list=0), as on
  // the list page.
  page->add_body_line("<div id='list_thumbs3' onclick=\"list_thumbs('" + base +
                      "',1);\"><img src='/img/list.png'></div>");
  page->add_body_line("<div id='list_thumbs2' onclick=\"list_thumbs('" + base +
                      "',0);\"><img class='rotateimg90' src='/img/gallery.png'></div>");
  exit_div(page, ctx);
  page->add_body_line("<div id='sliderbox'><div id='slider'> </div></div>");
  page->add_body_line(
      "<div id='history_btn' onclick=\"window.location='/cgi-bin/statusdesk?history=1';\">" +
      html_escape(getJSONKeyVal("status-local.ST_HISTORY", ctx.local, "Job history")) + "</div>\n");
  std::vector<queue_record> queue = get_printq(store);
  if (auto stuck = ld::current_stuck_notice(queue))
    page->add_body_line("<div id='queue_stuck'>" +
                        html_escape(ld::stuck_notice_words(
                            *stuck, std::time(nullptr),
                            getJSONKeyVal("status-local.ST_STUCK", ctx.local, ld::kStuckLead))) +
                        "</div>\n");
  if (!paused) {
    if (!queue.empty()) page->add_head_line("<script>\nvar refresh_page = 1;\n</script>");
    page->add_body_line(
        "<div id='printQdiv' onclick=\"window.location='?printq=pause';\">"
        "<img src='/img/pause.png'></div>");
  } else {
    page->add_body_line(
        "<div id='printQdiv' onclick=\"window.location='?printq=resume';\">"
        "<img src='/img/play.png'></div>");
  }
  page->add_body_line(
      "<div id='printqbox'><div id='tablebox'><table id='listtb' style='width:800px;'>");
  page->add_head_line("<script>var n_thumbs=" + std::to_string(queue.size()) + ";</script>\n");
  for (size_t i = 0; i < queue.size(); i++)
    queue_row(page, queue[i], i, queue.size(), paused, ctx.local);
  page->add_body_line("</table></div></div>\n\n");
  if (job_name != nullptr) show_popup(page, "Job already in queue", job_name);
}

}  // namespace jobdesk
