// The job list page (a table with one row per job, or a gallery of thumbnails), the popup and
// confirmation boxes every page carries, and the small figures the list shows.
#include <sys/statvfs.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common/endpoints.h"
#include "common/paths.h"
#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "jobdesk/pages.h"
#include "webkit/html_utils.h"

namespace jobdesk {
namespace {

using webkit::html_escape;

// A script string argument inside a double-quoted onclick attribute: first a valid script
// string, then valid attribute text.
std::string js_attr(std::string_view text) { return html_escape(js_escape(text)); }

// One sort button of the list's header: it offers the reverse order of the column's key while
// the list is sorted by it, and marks the current direction.
std::string sort_button(const PageContext& ctx, const std::string& sortby, const char* classes,
                        const char* lower, const char* upper, const std::string& text,
                        const char* up_arrow) {
  std::string offer = lower, arrow;
  if (sortby == lower) {
    offer = upper;
    arrow = "&#9660";
  } else if (sortby == upper) {
    arrow = up_arrow;
  }
  return "<td class='" + std::string(classes) + "' onclick=\"sortby('" + js_attr(ctx.base) +
         "','" + offer + "');\">" + html_escape(text) + arrow + "</td>";
}

void list_header(webkit::Page* page, const PageContext& ctx, const std::string& sortby) {
  page->add_head_line("<script>\nvar listboxid = 'photobox';\n</script>");
  std::string row = "<table id='listhd'><tr>";
  row += sort_button(ctx, sortby, "lalign hdbutton plfile", "name", "NAME",
                     local_text(ctx.local, "EWS_FILE"), "&#9650;");
  row += sort_button(ctx, sortby, "ralign hdbutton plpages", "pages", "PAGES",
                     local_text(ctx.local, "EWS_PAGES"), "&#9650;");
  // The date column writes its up arrow without the semicolon, as the style sheet expects.
  row += sort_button(ctx, sortby, "hdbutton pldate", "date", "DATE",
                     local_text(ctx.local, "EWS_STMG_DATE"), "&#9650");
  row += "<td class='hdplain plcopies'>" + html_escape(local_text(ctx.local, "EWS_COPIES")) +
         "</td><td class='hdplain pldel'>Del</td></tr></table>\n";
  page->add_body_line(row);
}

void list_tools(webkit::Page* page, const PageContext& ctx, bool list_view,
                const std::string& filter) {
  page->add_body_line(
      "<div id='filter_div'><table style='width:100%;'><tr><td colspan='2'>"
      "<input type='text' class='ctext' name='filter' id='filter' value='" +
      html_escape(filter) +
      "'></td></tr><tr><td><input type='submit' name='doFilter' value='Filter'></td>"
      "<td><input type='button' name='cancel_rename' value='Cancel' "
      "onclick='close_filter_div();'></td></tr></table></div>\n");
  page->add_body_line(std::string("<div id='popup_filter' onclick='popup_filter_div();'") +
                      (filter.empty() ? "" : " style='background-color:green;'") +
                      "><img src='/img/search.png'></div>\n");
  if (list_view) {
    page->add_body_line("<div id='list_thumbs' onclick=\"list_thumbs('" + js_attr(ctx.base) +
                        "',0);\"><img class='rotateimg90' src='/img/gallery.png'></div>\n");
  } else {
    page->add_body_line("<div id='list_thumbs2' onclick=\"list_thumbs('" + js_attr(ctx.base) +
                        "',1);\"><img src='/img/list.png'></div>\n");
  }
  exit_div(page, ctx);
}

// Whether a text comes through every coding the rows use (HTML, script string, the page
// script's URL coding) unchanged, as most job names do: such a text is copied as it is.
bool passes_codings(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
      case '"': case '#': case '%': case '&': case '\'': case '+': case '`': case '<':
      case '>': case '\\':
        return false;
      default:
        break;
    }
  }
  return true;
}

void append_html(std::string* o, std::string_view text) {
  if (passes_codings(text)) {
    *o += text;
  } else {
    *o += html_escape(text);
  }
}

// The texts every row of one page shares, coded once. Each coding works character by
// character, so a coded address is the coded pieces put together.
struct RowTexts {
  std::string link_head;   // the row's address up to the job name, as a script string
  std::string link_pages;  // the address between the name and the page count
  std::string page_word, pages_word;
};

// One job's row (list view) or cell (gallery view), appended to `line`.
void job_item(const PageContext& ctx, const RowTexts& t, const ListRow& p, bool list_view,
              std::string* line) {
  const bool plain = passes_codings(p.file_name);
  const std::string coded = plain ? std::string() : esc_url(p.file_name);
  const std::string_view name = plain ? std::string_view(p.file_name) : std::string_view(coded);
  const std::string pages = std::to_string(p.pages);
  std::string& o = *line;
  o += list_view ? "<tr><td class='vpd'" : "<td class='pd'";
  o += " onclick=\"printthis('";
  o += t.link_head;
  if (plain) {
    o += name;
  } else {
    o += js_attr(name);
  }
  o += t.link_pages;
  o += pages;
  o += "');\">";
  if (list_view) {
    o += "<div class='fnamestr plfile'>";
    append_html(&o, p.display_name);
    o += "\n";
    o += size_text(p.file_size);
    o += "</div></td><td class='plpages plcell'>";
    o += pages;
    o += "</td><td class='pldate plcell'>";
    if (p.dated) append_html(&o, date_text(p.file_mtime, ctx.date_format));
    o += "</td><td class='plcopies plcell'>";
    o += std::to_string(p.copies);
    o += "</td><td class='pldel plcell'><input type='checkbox' name='delp' value='";
    append_html(&o, name);
    o += "'></td></tr>\n";
  } else {
    o += "<div class='frownstr '>";
    append_html(&o, p.display_name);
    o += "</div>\n<div class='imgdiv'><img border='1' src='../";
    if (passes_codings(p.thumb_path)) {
      o += p.thumb_path;
    } else {
      o += html_escape(esc_url(p.thumb_path));
    }
    o += "?";
    o += std::to_string(static_cast<long long>(std::time(nullptr)));
    o += "' width='195'></div><div>";
    o += pages;
    if (p.copies < 2) {
      o += " ";
      o += p.pages == 1 ? t.page_word : t.pages_word;
    } else {
      o += "x";
      o += std::to_string(p.copies);
      o += " ";
      o += t.pages_word;
    }
    o += "</div><!-- /a --></td>\n\n";
  }
}

void disk_gauge(webkit::Page* page, const PageContext& ctx) {
  struct statvfs st {};
  if (statvfs(ld::rooted("/print").c_str(), &st) != 0) {
    std::fprintf(stderr, "statfs() failed\n");
    return;
  }
  page->add_body_line("<div id='disk_usage' class='nosel'>" +
                      html_escape(local_text(ctx.local, "EWS_DISK")) +
                      "<br><canvas id='disk_usage_img' width='60' height='60'>");
  page->add_head_line("<script>var percent_disk_usage=" +
                      std::to_string(disk_used_percent(st.f_bavail, st.f_blocks)) + ";</script>\n");
  page->add_body_line("</canvas></div>\n");
}

}  // namespace

void exit_div(webkit::Page* page, const PageContext& ctx) {
  // The touch home page is the printer's own, reached through its host alias; the host the
  // page came from is the appliance, which has no home page of its own.
  page->add_body_line("<div id='returndiv' onclick=\"window.location='http://" +
                      js_attr(ld::printer_host()) + "/?touch=true';\">" +
                      html_escape(local_text(ctx.local, "EWS_EXIT_STR")) + "</div>\n");
}

std::string size_text(int64_t bytes) {
  // Sizes up to a million bytes are shown in kB, so no size goes without one.
  if (bytes < 1000000) return "(" + std::to_string(bytes / 1024) + "kB)";
  return "(" + std::to_string(bytes / 1000000) + "MB)";
}

int disk_used_percent(uint64_t available, uint64_t total) {
  if (total == 0 || available > total) return 0;
  // 100 x available would overflow on a large enough file system; whole blocks and the
  // remainder are scaled apart, and only an absurd block count gives up the last digit.
  uint64_t rest = available % total;
  uint64_t share = rest <= UINT64_MAX / 100 ? (available / total) * 100 + rest * 100 / total
                                            : available / (total / 100);
  return 100 - static_cast<int>(share);
}

void show_prn_list(webkit::Page* page, PrnList* l, const PageContext& ctx, int inum) {
  (void)inum;
  const char* q = ctx.query;
  const bool list_view = page->getIntParam(q, "list") == 1;
  const std::string sortby = page->getParam(q, "sortby").value_or("");
  const std::string filter = page->getParam(q, "filter").value_or("");
  page->add_body_line(std::string("<form id='del_prns_form'>") +
                      (list_view ? "<input type='hidden' name='list' value='1'>" : ""));
  list_tools(page, ctx, list_view, filter);
  if (list_view) list_header(page, ctx, sortby);
  page->add_body_line(std::string("<div id='photohide'></div><div id='photobox'><div id='tablebox'>"
                                  "<table id='") +
                      (list_view ? "listtb" : "icontb") + "'>" + (list_view ? "" : "<tr>"));
  std::vector<ListRow> rows;
  int total = get_list_rows(l, &rows);
  sort_list_rows(&rows, sortby);
  RowTexts texts;
  texts.link_head = js_attr(ctx.base + "?prn=");
  texts.link_pages = js_attr("&npages=");
  texts.page_word = html_escape(local_text(ctx.local, "EWS_PAGE_STR"));
  texts.pages_word = html_escape(local_text(ctx.local, "EWS_PAGES"));
  // The rows are one body line: they are a few hundred bytes each, and a thousand of them
  // kept apart would be a thousand copies more.
  std::string line;
  line.reserve(rows.size() * (list_view ? 320 : 360));
  int shown = 0;
  for (const ListRow& p : rows) {
    if (!filter.empty() && p.file_name.find(filter) == std::string::npos) continue;
    job_item(ctx, texts, p, list_view, &line);
    shown++;
  }
  page->take_body_line(std::move(line));
  page->add_head_line("<script>var n_thumbs=" + std::to_string(shown) + ";</script>\n");
  if (list_view) page->add_head_line("<script>var vlist=1;</script>\n");
  if (!filter.empty()) {
    page->add_head_line("<script>var total_n_thumbs=" + std::to_string(total) + ";</script>\n");
  }
  page->add_body_line("</tr></table></div></div>");
  page->add_body_line("<div id='printQdiv' onclick=\"show_printq('" + js_attr(ctx.base) +
                      "');\"><img src='/img/queue.png'></div>");
  page->add_body_line("<div id='sliderbox'><div id='slider'> </div></div>");
  if (list_view) {
    page->add_body_line("<div id='del_prns' onclick=\"do_del_prns('" + js_attr(ctx.base) +
                        "');\"><img src='/img/recycle.png' width='70'></div>");
  }
  disk_gauge(page, ctx);
  page->add_body_line("</form>");
}

namespace {
void one_popup_box(webkit::Page* page, JsonNode* local, const std::string& p, const char* hide) {
  std::string h = std::string(" onclick='") + hide + "();'";
  page->add_body_line("<div id='" + p + "popup' class='" + p + "popup nosel'><div id='" + p +
                      "popup_title'" + h + ">Title</div><div id='" + p + "popup_contents'" + h +
                      ">msg</div><div id='" + p + "popup_yesno' style='display:none;'><div id='" +
                      p + "popup_no'" + h + ">" + html_escape(local_text(local, "EWS_NO")) +
                      "</div><div id='" + p + "popup_yes' onclick='window.location.reload();'>" +
                      html_escape(local_text(local, "EWS_YES")) + "</div></div><div id='" + p +
                      "close_popup'" + h + "> X </div></div>\n");
}
}  // namespace

void popup_box(webkit::Page* page, JsonNode* local) { one_popup_box(page, local, "", "hidePopup"); }
void del_popup_box(webkit::Page* page, JsonNode* local) {
  one_popup_box(page, local, "del_", "del_hidePopup");
}

}  // namespace jobdesk
