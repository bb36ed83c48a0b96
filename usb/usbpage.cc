#include "usb/usbpage.h"

#include <cstdio>

#include "webkit/html_utils.h"

namespace usb {
namespace {

bool name_byte_ok(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string file_safe(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (!name_byte_ok(c)) c = '_';
  return out;
}

// The RTC "DD/MM/YY HH:MM:SS" as YYMMDDHHMM, or "" when it has no digits where they are taken.
std::string rtc_stamp(std::string_view rtc) {
  static const int kPositions[] = {6, 7, 3, 4, 0, 1, 9, 10, 12, 13};
  std::string out;
  for (int p : kPositions) {
    if (static_cast<size_t>(p) >= rtc.size() || rtc[p] < '0' || rtc[p] > '9') return "";
    out.push_back(rtc[p]);
  }
  return out;
}

}  // namespace

std::string js_string(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\' || c == '\'' || c == '"' || c == '<' || c == '>' || c == '&' || c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string backup_name(const BackupSource& src, time_t now) {
  std::string stamp = rtc_stamp(src.rtc);
  if (src.firmware.empty() || src.serial.empty() || stamp.empty()) {
    char buf[32];
    struct tm tmv;
    localtime_r(&now, &tmv);
    std::strftime(buf, sizeof buf, "%y%m%d%H%M", &tmv);
    return std::string("backup_") + buf;
  }
  size_t us = src.firmware.find('_');
  std::string model = us == std::string::npos ? src.firmware.substr(0, 3) : src.firmware.substr(0, us + 1);
  return file_safe(model) + file_safe(src.serial) + "_" + stamp;
}

std::string get_backup_filename(Page* page, const BackupSource& src, time_t now) {
  std::string name = backup_name(src, now);
  page->head.push_back("<script>var backup_fname='" + js_string(name) + "';</script>\n");
  page->head.push_back("<script>var saving_dir = 1;</script>\n");
  return name;
}

bool valid_set_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

void add_page_start(Page* page, bool system_loaded, std::string_view serial, std::string_view rtc) {
  page->head = {"<style type='text/css'>body{background-color:#000}</style>\n", "<TITLE>USB Storage</TITLE>\n",
                "<link rel='stylesheet' href='../css/usbdesk.css'>\n",
                "<script src='../js/jquery-latest.min.js'></script>\n",
                "<script src='../js/gauge.js' type='text/javascript'></script>\n",
                "<script src='../js/usbdesk.js' type='text/javascript'></script>\n"};
  page->body.push_back("<BODY style='background-color:black'><div id='maindiv' class='nosel'>\n");
  page->body.push_back("<div id='status_div'></div>");
  page->body.push_back("<div class='usb_header'>USB Storage Device Detected");
  if (system_loaded) {
    page->body.push_back("<br><font size=4>Printer #:" + webkit::html_escape(serial) +
                         "<br>Time: " + webkit::html_escape(rtc) + "</font size>");
  } else {
    page->body.push_back("<br>Could not load system data!");
  }
  page->body.push_back("</div>");
}

void add_prn_dirs(Page* page, const std::vector<std::string>& names) {
  if (names.empty()) return;
  page->body.push_back("<div id='prns_dir_div'><div id='options_scroll'><table id='options_table'>");
  for (const auto& n : names) {
    // The handler is a quoted attribute holding a JavaScript string: the name is escaped for
    // the string first, then for the attribute, so a folder called "a b" or "x');alert(1);//"
    // stays one argument.
    page->body.push_back("<tr><td class='options_td' onclick=\"upload_prns('" + webkit::html_escape(js_string(n)) +
                         "');\">" + webkit::html_escape(n) + "</td></tr>");
  }
  page->body.push_back("</table></div><div id='opt_sliderbox'><div id='opt_slider'></div></div></div>");
  page->head.push_back("<script>var options_visible=6;</script>\n");
  page->head.push_back("<script>var n_options=" + std::to_string(names.size()) + ";</script>\n");
}

int percent_used(uint64_t available, uint64_t total) {
  if (total == 0) return -1;
  if (available > total) available = total;
  uint64_t free_pct = total <= UINT64_MAX / 100 ? available * 100 / total : available / (total / 100);
  if (free_pct > 100) free_pct = 100;
  return 100 - static_cast<int>(free_pct);
}

void add_disk_usage(Page* page, int percent) {
  page->head.push_back("<script>var percent_disk_usage=" + std::to_string(percent) + ";</script>\n");
  page->body.push_back("<div id='disk_usage' class='nosel'>USB<br>");
  page->body.push_back(
      "<canvas id='disk_usage_img' width='160' height='110' style='position:absolute; top:25px; left:10px'>");
  page->body.push_back("</canvas></div>");
}

}  // namespace usb
