// The changes a user makes to the job library from the touch screen: delete one job, delete
// several, rename one. Every name comes from a query, so each is checked to stay a plain name
// inside the job folder before any file is touched.
#pragma once
#include <string>
#include <string_view>

#include "jobdesk/prnlist.h"

namespace jobdesk {

// Text for a single-quoted or double-quoted script string inside a <script> element: quotes,
// backslashes, "<", ">", "&" and control bytes as escapes, so a name can neither end the
// string nor the element.
std::string js_escape(std::string_view text);

// The page script's own URL coding of job names: `esc_url` codes the seven characters
// '"', '#', '%', '&', '\'', '+' and '`' as %XX, `unesc_url` turns exactly those back (after the
// toolkit's decoding) and copies every other byte.
std::string esc_url(std::string_view name);
std::string unesc_url(std::string_view name);

// The popup the page script opens at load: three head lines with the title and message.
void show_popup(std::string_view title, std::string_view message);

// A name that stays inside its folder: not empty, not "." or "..", no "/" and no control byte.
bool is_plain_name(std::string_view name);

// Removes the job and its thumbnail and tells the page script which job went. Names that are
// not plain are refused (nothing is removed); result 1 when the job was taken, else 0.
int do_delete(const PrnList& l, const std::string& name);
// Deletes every "delp" value of the query (at most 100), dropping their records from the cache
// first so the next list needs no rebuild. Result: number of names taken.
int do_multi_delete(PrnList* l, const char* query);
// Renames job `old_name` (with ".prn") to `new_name` + ".prn", its thumbnail with it, and
// empties the cache. A missing, not plain or too long new name shows "Rename" / "Invalid
// filename!", an existing one "Error" / "Duplicate filename!". Result 1 when renamed.
int do_rename(PrnList* l, const char* old_name, const char* new_name);

}  // namespace jobdesk
