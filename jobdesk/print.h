// The job page's Save and Print buttons: the form's settings either rewrite the stored job
// through the job filter (save) or go with a copy of the job into the print queue (print).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "jobdesk/prnlist.h"
#include "spooler/printq.h"
#include "spooler/print_settings.h"
#include "webkit/html_utils.h"

namespace jobdesk {

enum PrintMode { kPrintMode = 0, kSaveMode = 1 };

// The settings the form sends, read from the query (and the persistence fallback); the schema's
// option values are added by the caller.
spooler::print_settings read_print_settings(const webkit::Page& page, const char* query);

// The value a schema option writes: the query's integer for 0 decimals, else its number times
// 10^decimals cut toward zero (held within the 32-bit range); 0 when absent.
int32_t option_write_value(const webkit::Page& page, const char* query,
                           const library::PrnOption& o);

// The name the queue shows for a job printed from `first` to `last`.
std::string queue_display_name(const std::string& name, int32_t first, int32_t last);

// Save (mode 1) or print (mode 0) job `name` with the query's settings; `schema_path` is the
// option schema to reload. Save filters into a hidden file of its own in the job folder and
// renames it over the job only when it is whole; it never touches the queue folder. The caller
// holds the library lock. Result 1, or 0 when printing could not queue the job (no free queue
// name, or the copy or the queue could not be written).
int do_print(webkit::Page* page, PrnList* l, const std::string& name, int mode, const char* query,
             const std::string& schema_path = "tags.json");

}  // namespace jobdesk
