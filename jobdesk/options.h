// The job options: the schema "tags.json" that says which job items a user may change and how
// the form shows them, the options form and numeric keypad of the job page, and the choice of
// display units. The form's field ids, classes and call arguments are what the page script
// (jobdesk.js, prnkb.js) relies on.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "library/prninfo.h"
#include "spooler/print_settings.h"
#include "webkit/html_utils.h"
#include "webkit/json.h"

namespace jobdesk {

// Longest texts a schema entry keeps (the record's fields less their NUL).
constexpr size_t kSchemaNameMax = 99, kSchemaIdMax = 19, kSchemaClassMax = 31;

// Reads the schema at `path` into *schema (emptied first). Entries beyond the 40 a record holds
// are left out with a message; texts longer than their fields are cut at a character boundary.
// 1 on success, 0 on failure (with the popup or message); entries read before an early stop
// stay, the rest of the counted entries stay empty.
int load_print_options(webkit::Page* page, std::vector<library::PrnOption>* schema,
                       const std::string& path = "tags.json", FILE* err = stderr);

// A localised text "status-local.KEY" of local.json, or its default.
std::string local_text(JsonNode* local, std::string_view key);

// What the job page knows when it builds the form.
struct FormContext {
  JsonNode* local = nullptr;  // local.json, may be null
  int cutter = 0;                     // the printer has a cutter
  int metric = 0;                     // the run's units decision
  int copies_max = spooler::kPrintCopiesMax;  // the keypad's limit for copies
};

// The run's units decision, made once from the first job looked at: *decided is -1 until then.
// Millimetres (1) when the job's 0x8514 value is 2; with no value, unless DispUnits is "inch".
int units_metric(int value_8514, JsonNode* local, int* decided);
// The head line with the page script's unit variables.
std::string units_script(int metric);

void show_options(webkit::Page* page, const library::PrnInfo& info, const FormContext& ctx);
void show_keypad(webkit::Page* page);

}  // namespace jobdesk
