// The options form of the job page: the fixed rows (quality, units, page range, copies) and one
// row per schema option the job carries. Every schema or job text is escaped for where it goes:
// element text and attributes with HTML entities, script strings with script escapes inside.
#include <algorithm>
#include <cstdlib>

#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "webkit/html_utils.h"

namespace jobdesk {
namespace {

std::string h(std::string_view s) { return webkit::html_escape(s); }
// A script string argument inside an event attribute.
std::string js(std::string_view s) { return webkit::html_escape(js_escape(s)); }
std::string num(long v) { return std::to_string(v); }

std::string data_attrs(int attr) {
  int mode = (attr & 0x10) ? 1 : (attr & 0x20) ? 2 : 0;
  int media = ((attr & 0x40) ? 1 : 0) + 2 * (attr & 7);
  return " data-mode='" + num(mode) + "' data-media='" + num(media) + "'";
}

struct NumberField {
  std::string id, label, value, css_class;
  int min = 0, max = 0, size = 4, decimals = 0, attr = 0;
  bool page_range = false;  // the page-range fields: integer values, check_limit
};

void number_row(webkit::Page* page, const NumberField& f) {
  std::string id = js(f.id), v = js(f.value);
  std::string lim = num(f.min) + "," + num(f.max) + "," + num(f.decimals) + ",'" + v + "'";
  page->add_body_line(
      std::string(f.page_range ? "<!-- FIELD_ENTRY -->" : "<!-- FIELD_ENTRY_STR -->") + "<tr id='" +
      h(f.id) + "_tr'><td class='paget'>" + h(f.label) + ":</td>");
  page->add_body_line(
      "<td><input type='hidden' id='" + h(f.id) + "' name='" + h(f.id) + "' value='" + h(f.value) +
      "' placeholder='" + num(f.decimals) + "'" + data_attrs(f.attr) + "/><input type='text' id='" +
      h(f.id) + "_disp' class='ttext' size='" + num(f.size) + "' " +
      (f.page_range ? "role='textbox' " : h(f.css_class) + " ") + "value='" + h(f.value) +
      "' onclick=\"setup_kb(this," + lim + ")\" onchange=\"" +
      (f.page_range ? "check_limit" : "disp_check_limit") + "('" + id + "'," + lim + ")\"/></td>");
  page->add_body_line("<td class='pageb'><div class='nosel opt_inc' onclick=\"inc_opt('" + id +
                      "'," + num(f.max) + ",1," + num(f.decimals) + ",'" + v +
                      "')\">&#9650;</div></td>");
  page->add_body_line("<td class='pageb'><div class='nosel opt_inc' onclick=\"inc_opt('" + id +
                      "'," + num(f.min) + ",-1," + num(f.decimals) + ",'" + v +
                      "')\">&#9660;</div></td></tr>");
}

void checkbox_row(webkit::Page* page, const library::PrnOption& o) {
  int v = o.display == "1" ? 1 : 0;
  std::string id = h(o.field_id);
  page->add_body_line("<tr id='" + id + "_tr'><td class='paget'>" + h(o.name) + ":</td><td id='td" +
                      id + "' class='pagec'><input type='hidden' id='" + id + "' name='" + id +
                      "' class='nbox' value='" + num(v) + "'" + data_attrs(o.attr) +
                      " data-oneonly='" + num(o.attr & 0x80) + "'/><input type='checkbox' id='" +
                      id + "_cb'" + (v ? " checked" : "") +
                      " onclick=\"var e=document.getElementById('" + js(o.field_id) +
                      "');e.value=1-e.value;enable_save();check_oneonly(e)\"/></td>"
                      "<td></td></tr>");
}

void choice_row(webkit::Page* page, const library::PrnOption& o) {
  std::string id = h(o.field_id), sid = js(o.field_id);
  // The script array's name is the id itself, so only ids that are script names are used bare.
  std::string arr = js_escape(o.field_id) + "_options";
  std::string script = "<script>var " + arr + " = [";
  for (size_t i = 0; i < o.choices.size(); ++i) {
    script += "'" + js_escape(o.choices[i]) + "'" + (i + 1 < o.choices.size() ? "," : "");
  }
  page->add_head_line(script + "];</script>\n");  // a list without choices is still a whole line
  int last = static_cast<int>(o.choices.size()) - 1;
  int sel = std::clamp(atoi(o.display.c_str()), 0, std::max(last, 0));
  std::string shown = last >= 0 ? o.choices[static_cast<size_t>(sel)] : "";
  std::string popup_id = id + "_options_popup";
  page->add_body_line("<tr id='" + id + "_tr'><td class='paget'>" + h(o.name) +
                      ":</td><td><input type='hidden' name='" + id + "' value='" + h(o.display) +
                      "'/><div id='" + id + "' class='otext'" + data_attrs(o.attr) +
                      " onclick=\"popup_options('" + sid + "'," + h(arr) + ",'" + js(o.field_id) +
                      "_options_popup')\">" + h(shown) + "</div></td><td></td></tr>");
  std::string popup = "<div id='" + popup_id + "' class='options_popup'>";
  for (int n = 0; n <= last; ++n) {
    popup += "<div id='" + id + "_opt_" + num(n) + "' class='" +
             (n == sel ? "options_popup_option_highlight" : "options_popup_option") +
             "' onclick=\"do_select_opt('" + sid + "'," + num(n) + "," + h(arr) + ",'" +
             js(o.field_id) + "_options_popup')\">" + h(o.choices[static_cast<size_t>(n)]) +
             "</div>";
  }
  page->add_body_line_top(popup + "\n<!-- end of options div " + h(o.display) + " --></div>\n");
}

void fixed_rows(webkit::Page* page, const library::PrnInfo& info, const FormContext& ctx) {
  std::string mm = local_text(ctx.local, "EWS_MM"), in = local_text(ctx.local, "EWS_INCHES");
  page->add_body_line(
      "<tr id='quality_tr'><td class='paget'>" + h(local_text(ctx.local, "EWS_QUALITY")) +
      "</td><td class='pagesl'><input type='hidden' id='quality' name='quality' value='" +
      num(info.quality) +
      "' data-mode='0' data-media='0'/><div id='sel_qual' "
      "class='paget' onclick=\"toggle_quality()\">" +
      h(local_text(ctx.local, info.quality == -3 ? "EWS_NORMAL" : "EWS_BEST")) + "</div></td>");
  page->add_body_line("<td colspan='2'><div id='sel_units' class='paget' onclick=\"toggle_units('" +
                      js(mm) + "','" + js(in) + "')\">" + h(ctx.metric ? mm : in) +
                      "</div><input type='hidden' id='disp_units' name='disp_units' value='" +
                      num(ctx.metric ? 2 : 1) + "'/></td></tr>");
  if (info.pages > 1) {
    number_row(page, {"from", "From page", "1", "", 1, info.pages, 4, 0, 0, true});
    number_row(page, {"to", "To page", num(info.pages), "", 1, info.pages, 4, 0, 0, true});
  }
  std::string box = info.pages > 1 ? "Collate" : "dummy";
  std::string box_text = info.pages > 1 ? h(local_text(ctx.local, "EWS_COLLATE")) : "dummy";
  page->add_body_line(
      "<tr id='dm_copies_tr'><td class='paget'>" + h(local_text(ctx.local, "EWS_COPIES")) +
      "</td><td><input type='hidden' id='dm_copies_orig' name='dm_copies_orig' value='" +
      num(info.copies) +
      "'/><input type='text' id='dm_copies' name='dm_copies' "
      "class='ttext' size='4' data-mode='0' data-media='0' value='" +
      num(info.copies) + "' onclick=\"setup_kb(this,0," + num(ctx.copies_max) + ",0,'" +
      num(info.copies) + "')\" onchange=\"cb_change('" + box + "')\"/></td>");
  page->add_body_line("<td id='td" + box +
                      "' class='pagec' colspan='2' style='display:none'>"
                      "<input type='checkbox' class='nbox' id='" +
                      box + "' name='" + box + "'/>" + box_text + "</td></tr>");
}

}  // namespace

void show_options(webkit::Page* page, const library::PrnInfo& info, const FormContext& ctx) {
  page->add_body_line("<tr><td colspan='3'><div id='options'>");
  page->add_body_line("<div id='options_scroll'><table id='options_table' border=0>");
  fixed_rows(page, info, ctx);
  int rows = 2 + (info.pages > 1 ? 2 : 0);
  std::string ids = "var print_opts = ['doPrint','doCancel','doDelete','quality'";
  if (info.pages > 1) ids += ",'from','to'";
  ids += ",'dm_copies'";
  for (const library::PrnOption& o : info.options) {
    if (o.found == 0 || ((o.attr & 0x08) && !ctx.cutter)) continue;
    if (o.type == 4) {
      checkbox_row(page, o);
    } else if (o.type == 5) {
      choice_row(page, o);
    } else {
      number_row(page, {o.field_id, o.name, o.display, o.css_class, o.min, o.max, o.size,
                        o.decimals, o.attr, false});
    }
    ++rows;
    ids += ",'" + js_escape(o.field_id) + "'";
  }
  page->add_body_line("</table></div>");
  if (rows > 6) page->add_body_line("<div id='opt_sliderbox'><div id='opt_slider'> </div></div>");
  page->add_head_line("<script>var n_options=" + num(rows) +
                      ";\nvar n_options_orig = " + num(rows) + ";</script>\n");
  page->add_head_line("<script>var EWS_BEST='" + js_escape(local_text(ctx.local, "EWS_BEST")) +
                      "';\nvar EWS_NORMAL='" + js_escape(local_text(ctx.local, "EWS_NORMAL")) +
                      "';</script>\n");
  page->add_head_line("<script>var options_visible=6;</script>\n");
  page->add_head_line("<script>" + ids + "];</script>\n");
}

}  // namespace jobdesk
