// The page of one job: its thumbnail with the full-size layer, the rename box, the information
// box, the paper size, the options form and the buttons. The form opened by the rename box holds
// every later field, so a submitted page carries "prn" before the pressed button.
#include <cstdio>
#include <ctime>
#include <string>

#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "jobdesk/pages.h"
#include "webkit/html_utils.h"

namespace jobdesk {
namespace {

using webkit::html_escape;

std::string esc_quote(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string hidden(const char* name, const std::string& value) {
  return std::string("<input type='hidden' name='") + name + "' value='" + html_escape(value) +
         "'>";
}

std::string button(const char* id, const char* name, const char* cls, const std::string& text,
                   const std::string& extra) {
  return std::string("<td class='pr_td_btn'><input type='submit' id='") + id + "' name='" + name +
         "'" + (cls[0] ? std::string(" class='") + cls + "'" : "") + " value='" +
         html_escape(text) + "'" + extra + "></td>";
}

void job_info_box(webkit::Page* page, const library::PrnInfo& p, JsonNode* local) {
  auto sbyte = [](int32_t v, int shift) {
    return static_cast<int>(static_cast<signed char>((static_cast<uint32_t>(v) >> shift) & 0xFF));
  };
  auto line = [](const std::string& label, int v) {
    return html_escape(label) + " : " + std::to_string(v) + "<br>";
  };
  std::string box = "<div id='jinfo' class='nosel'><b><div id='close_jinfo' "
                    "onclick='show_jinfo(0);'> X </div>" +
                    html_escape(local_text(local, "EWS_DRVCOLORADJ")) + "</b><hr>" +
                    html_escape(p.driver_text) + "<br>";
  box += line(local_text(local, "EWS_COLORTONE"), sbyte(p.value_8513, 16));
  box += line(local_text(local, "EWS_SATURATION"), sbyte(p.value_8513, 8));
  box += line(local_text(local, "EWS_BRIGHTNESS"), sbyte(p.value_8513, 0));
  box += line("C", sbyte(p.value_8512, 24)) + line("M", sbyte(p.value_8512, 16)) +
         line("Y", sbyte(p.value_8512, 8)) + line("K", sbyte(p.value_8512, 0)) + "</div>";
  page->add_body_line_top(box);
}

void name_cell(webkit::Page* page, const library::PrnInfo& p, const PageContext& ctx, int metric) {
  page->add_body_line(hidden("deletePrn", esc_url(p.file_name)) + "<table  class='prtable'><tr>" +
                      "<td class='filen' style='width:400px;' colspan='3'><span id='pr_heading' "
                      "class='pr_heading' onclick='rename_prn_popup();'>" +
                      html_escape(p.display_name) + "</span><br>");
  char size[200];
  std::snprintf(size, sizeof size, "<div id='psize_mm' style='display: %s;'>%.1f x %.1fmm</div>",
                metric ? "inline" : "none", p.width_mm, p.length_mm);
  page->add_body_line(size);
  std::snprintf(size, sizeof size,
                "<div id='psize_inch' style='display: %s;'>%.1f x %.1f&quot;</div>",
                metric ? "none" : "inline", p.width_in, p.length_in);
  page->add_body_line(size);
  std::string word = html_escape(local_text(ctx.local, p.pages < 2 ? "EWS_PAGE_STR" : "EWS_PAGES"));
  page->add_body_line(p.copies < 2 ? " (" + std::to_string(p.pages) + " " + word + ")"
                                   : " (" + std::to_string(p.pages) + "x" +
                                         std::to_string(p.copies) + " " + word + ")");
  page->add_body_line("<div id='info_icon' onclick='show_jinfo(1);'>&#9432;</div></td></tr>");
}

void job_buttons(webkit::Page* page, JsonNode* local) {
  std::string save = local_text(local, "EWS_SAVE"), print = local_text(local, "EWS_SS_XPOS_PRINT");
  std::string del = local_text(local, "EWS_DELETE");
  auto js = [](const std::string& t) { return html_escape(js_escape(t)); };
  page->add_body_line(
      "</table></div><div id='pr_buttons'><table  class='prbtnstable'><tr>" +
      button("doCancel", "cancel", "delete", local_text(local, "EWS_EXIT_STR"), "") +
      button("saveprn", "saveprn", "saveprn", save,
             " disabled onclick=\"return do_waiting(this,'" + js(save) + "');\"") +
      "</tr><tr>" +
      button("doDelete", "doDelete", "", del,
             " onclick=\"return do_del_File(this,'" + js(del) + "','" +
                 js(local_text(local, "EWS_CONTINUE_PROMPT")) + "');\"") +
      button("doPrint", "do_print", "", print,
             " onclick=\"return do_waiting(this,'" + js(print) + "');\"") +
      "</tr></table></form></div>");
  page->add_body_line("<!-- end of page 2 --></BODY>");
}

}  // namespace

int show_prn(webkit::Page* page, PrnList* l, const std::string& name, const PageContext& ctx,
             int inum) {
  load_print_options(page, &l->schema);
  const library::PrnInfo* found = get_prn_entry(l, name);
  if (found == nullptr) return 0;
  const library::PrnInfo& p = *found;
  const std::string thumb = esc_url(p.thumb_path);
  page->add_body_line(
      "<body style='background-color:black'><div class='nosel' id='fullsize' "
      "onclick='hide_img();'><img id='fullsize_img' width='800' "
      "onmousedown='img_mousedown(event);' onmouseup='img_mouseup(event);' "
      "onmousemove='img_mousemove(event);'></div>");
  page->add_body_line(
      "<div id='keyren'></div><div id='rename_prn_div'><form><table><tr>"
      "<td class='rename_heading'>" +
      html_escape(local_text(ctx.local, "EWS_RENAMEPJ")) + "</td></tr><tr><td>" +
      hidden("renamePrn", esc_url(p.file_name)) +
      "<input type='text' class='ctext' style='width:780px;' name='renamePrnTo' "
      "id='renamePrnTo' value='" +
      html_escape(esc_quote(p.display_name)) +
      "'></td></tr><tr><td><input type='submit' name='cancel_rename' value='" +
      html_escape(local_text(ctx.local, "EWS_CANCEL")) +
      "' onclick='return close_rename_div();'><input type='submit' name='doRename' "
      "value='" +
      html_escape(local_text(ctx.local, "EWS_RENAME")) + "'></td></tr></table></div>");
  show_keypad(page);
  page->add_body_line(
      "<div id='keyb'></div><div id='maindiv' class='nosel'><div class='nosel' "
      "id='thnail'><img class='nosel thnail_img' draggable='false' src='../" +
      html_escape(thumb) + "?" + std::to_string(static_cast<long long>(std::time(nullptr))) +
      "' onclick=\"fullsize('" + html_escape(js_escape(thumb)) + "');\"></div><div id='prsetup'>");
  job_info_box(page, p, ctx.local);
  int decided = -1;
  const int metric = units_metric(p.value_8514, ctx.local, &decided);
  name_cell(page, p, ctx, metric);
  page->add_head_line(units_script(metric));
  page->add_body_line((page->getIntParam(ctx.query, "list") ? hidden("list", "1") : "") +
                      hidden("prn", esc_url(p.file_name)) + hidden("inum", std::to_string(inum)) +
                      hidden("npages", std::to_string(p.pages)));
  FormContext form;
  form.local = ctx.local;
  form.cutter = ctx.cutter;
  form.metric = metric;
  show_options(page, p, form);
  job_buttons(page, ctx.local);
  return 1;
}

}  // namespace jobdesk
