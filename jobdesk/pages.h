// The pages of the job browser and the run that chooses between them. Each page is a sequence of
// head and body lines added with the CGI toolkit; the page script jobdesk.js gives them their
// behaviour through the ids, classes, names and script variables written here, so those are
// kept exactly. Every job name is escaped for the place it is written to.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "jobdesk/prnlist.h"
#include "webkit/html_utils.h"
#include "webkit/json.h"

namespace jobdesk {

// What every page of one run knows.
struct PageContext {
  const char* query = nullptr;   // the request's query, may be null
  std::string base;              // the page's own address without its query
  JsonNode* local = nullptr;     // local.json, may be null
  std::string date_format = "%d-%m-%y %H:%M";
  int cutter = 0;
};

// The size shown behind a job name: whole kB below a million bytes, whole MB from there on.
std::string size_text(int64_t bytes);
// Used per cent of a file system from its available and total blocks, in whole numbers; the
// product 100 x available is never formed, so no block count can overflow it.
int disk_used_percent(uint64_t available, uint64_t total);

// The Exit button of the list and the queue page: it leads to the touch home page.
void exit_div(webkit::Page* page, const PageContext& ctx);

void show_prn_list(webkit::Page* page, PrnList* l, const PageContext& ctx, int inum);
int show_prn(webkit::Page* page, PrnList* l, const std::string& name, const PageContext& ctx,
             int inum);
void show_queue(webkit::Page* page, const PageContext& ctx, const spooler::Config& store,
                const char* job_name);
void popup_box(webkit::Page* page, JsonNode* local);
void del_popup_box(webkit::Page* page, JsonNode* local);

// One CGI run: reads the request from the environment and the documents from the working
// directory, performs at most one action and writes the page to `out`. `invocation` is the
// program's own name, which queue locks it takes carry. Result: exit status.
int run_jobdesk(const char* invocation, FILE* out = stdout);

}  // namespace jobdesk
