#include "jobdesk/options.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "jobdesk/jobops.h"
#include "library/prnrecord.h"
#include "webkit/html_utils.h"

namespace jobdesk {
namespace {

using webkit::html_escape;

// Cuts at most `max` bytes without splitting a UTF-8 sequence.
std::string cut_text(std::string_view s, size_t max) {
  if (s.size() <= max) return std::string(s);
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

void read_entry(JsonNode* tags, int n, library::PrnOption* o, FILE* err) {
  o->id = getJSONByKeyInt("Tags", n, "Value", tags);
  o->size = getJSONByKeyInt("Tags", n, "size", tags);
  o->min = getJSONByKeyInt("Tags", n, "min", tags);
  o->max = getJSONByKeyInt("Tags", n, "max", tags);
  o->type = getJSONByKeyInt("Tags", n, "type", tags);
  o->decimals = getJSONByKeyInt("Tags", n, "precision", tags);
  o->attr = getJSONByKeyInt("Tags", n, "attr", tags);
  o->name = cut_text(getJSONByKeyVal("Tags", n, "Name", tags), kSchemaNameMax);
  o->field_id = cut_text(getJSONByKeyVal("Tags", n, "id", tags), kSchemaIdMax);
  o->css_class = cut_text(getJSONByKeyVal("Tags", n, "class", tags), kSchemaClassMax);
  if (o->type != 5) return;
  std::string path = "Tags." + std::to_string(n) + ".options";
  JsonNode* opts = getJSONObject(path, tags);
  if (!opts || opts->type != JSON_ARRAY) {
    fprintf(err, "failed to load options for %s\n", o->name.c_str());
    return;
  }
  for (int k = 1; k <= opts->size; ++k) {
    o->choices.push_back(getJSONObjectVal(path + "." + std::to_string(k), opts));
  }
}

}  // namespace

int load_print_options(webkit::Page* page, std::vector<library::PrnOption>* schema,
                       const std::string& path, FILE* err) {
  schema->clear();
  JsonTree doc = JsonTree::load(path);
  if (!doc) {
    show_popup(page, "unable to show tags", "ERROR");
    return 0;
  }
  JsonNode* tags = getJSONObject("Tags", doc.top());
  if (!tags) {
    fprintf(err, "Unable to load print options\n");
    return 0;
  }
  if (tags->type != JSON_ARRAY) {
    fprintf(err, "Unable to load print options Tags not array\n");
    return 0;
  }
  size_t count = static_cast<size_t>(std::max(tags->size, 0));
  if (count > kMaxOptions) {
    // A record has room for 40 options; the rest could never be saved with a job.
    fprintf(err, "Unable to load print options beyond %zu of %zu\n", kMaxOptions, count);
    count = kMaxOptions;
  }
  schema->resize(count);
  for (size_t i = 0; i < count; ++i) {
    const JsonNode* el = tags->children[i];
    if (!el || el->type != JSON_OBJECT) {
      fprintf(err, "Unable to load print options unxpected object\n");
      return 0;
    }
    read_entry(tags, static_cast<int>(i + 1), &(*schema)[i], err);
  }
  return 1;
}

std::string local_text(JsonNode* local, std::string_view key) {
  static const std::map<std::string_view, const char*> defaults = {
      {"EWS_QUALITY", "Quality"}, {"EWS_NORMAL", "Normal"}, {"EWS_BEST", "Best"},
      {"EWS_MM", "mm"},           {"EWS_INCHES", "Inches"}, {"EWS_COPIES", "Copies"},
      {"EWS_COLLATE", "Collate"}, {"DispUnits", "inch"},
      {"EWS_NO", "No"}, {"EWS_YES", "Yes"}, {"EWS_EXIT_STR", "Exit"},
      {"EWS_PRINTQ", "Print Queue"}, {"EWS_SPOOLING", "Spooling"}, {"EWS_PAUSED", "Paused"},
      {"EWS_PRINTG", "Printing"}, {"EWS_QUEUED", "Queued"}, {"EWS_PAGE_STR", "Page"},
      {"EWS_PAGES", "Pages"}, {"EWS_RENAMEPJ", "Rename Print Job"}, {"EWS_CANCEL", "Cancel"},
      {"EWS_RENAME", "Rename"}, {"EWS_BRIGHTNESS", "Brightness"},
      {"EWS_SATURATION", "Saturation"}, {"EWS_COLORTONE", "Color Tone"},
      {"EWS_DRVCOLORADJ", "Driver Color Adjustments"}, {"EWS_SAVE", "Save"},
      {"EWS_DELETE", "Delete"}, {"EWS_CONTINUE_PROMPT", "Are you sure you want to continue?"},
      {"EWS_SS_XPOS_PRINT", "Print"}, {"EWS_FILE", "File"}, {"EWS_STMG_DATE", "Date"},
      {"EWS_DISK", "Disk"}, {"DateFormatStr", "%d-%m-%y %H:%M"}};
  auto it = defaults.find(key);
  const char* dflt = it == defaults.end() ? "" : it->second;
  return getJSONKeyVal("status-local." + std::string(key), local, dflt);
}

int units_metric(int value_8514, JsonNode* local, int* decided) {
  if (*decided < 0) {
    if (value_8514 >= 1) {
      *decided = value_8514 == 2 ? 1 : 0;
    } else {
      *decided = local_text(local, "DispUnits") == "inch" ? 0 : 1;
    }
  }
  return *decided;
}

std::string units_script(int metric) {
  return metric ? "<script>var units_conv = 1.0;\nvar units = 'mm';\nvar disp_prec = 2;</script>\n"
                : "<script>var units_conv = 1.0 / 25.4;\nvar units = 'Inches';\n"
                  "var disp_prec = 3;</script>\n";
}

void show_keypad(webkit::Page* page) {
  page->add_head_line(
      "<script src='../js/prnkb.js'></script><link rel='stylesheet' href='../css/prnkb.css' />");
  page->add_body_line(
      "<div id='nkeybox'><div is='nkeystr'><input id='nkeyinp' value='0'/><div id='nkeypad'>");
  const char* values[] = {"1", "2", "3", "bksp", "4", "5", "6", ".", "7", "8", "9", "-", "0"};
  const char* labels[] = {"1", "2", "3", "&#9003;", "4", "5", "6", ".", "7", "8", "9", "-", "0"};
  for (int i = 0; i < 13; ++i) {
    page->add_body_line(std::string("<div class='nk-but' data-value='") + values[i] +
                        "' onclick='nk_but(this)'><span class='ui-key'>" + labels[i] +
                        "</span></div>");
    if (i == 3 || i == 7 || i == 11) page->add_body_line("<br>");
  }
  page->add_body_line("<span class='nk-but nk-but-spacer'></span><br>");
  page->add_body_line(
      "<div class='nk-butact' data-value='cancel' onclick='nkact_but(this)'>Cancel</div>");
  page->add_body_line(
      "<div class='nk-butact' data-value='accept' onclick='nkact_but(this)'>Accept</div>");
  page->add_body_line("</div></div></div>");
}

}  // namespace jobdesk
