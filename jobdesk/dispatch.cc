// The run of one jobdesk call: settings, documents, the event-log line of the query, the head
// of the page, at most one action, the page, the remembered settings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "common/clock.h"
#include "common/ui_log.h"
#include "jobdesk/jobops.h"
#include "jobdesk/options.h"
#include "jobdesk/pages.h"
#include "jobdesk/print.h"
#include "library/names.h"
#include "spooler/printq.h"
#include "webkit/html_utils.h"

namespace jobdesk {

namespace {

constexpr const char* kBodyOpen = "<BODY style='background-color:black'><div id='maindiv' class='nosel'>\n";

bool has(const webkit::Page& page, const char* q, const char* key) {
  return page.getParam(q, key).has_value();
}
std::string param(const webkit::Page& page, const char* q, const char* key) {
  return page.getParam(q, key).value_or("");
}

void add_head_frame(webkit::Page* page) {
  page->add_head_line("<meta http-equiv='Content-Type' content='text/html;charset=UTF-8'>\n");
  page->add_head_line("<style type='text/css'>body{background-color:#000}</style>\n");
  page->add_head_line("<TITLE>job desk</TITLE>\n");
  page->add_head_line(
      "<link rel='stylesheet' href='../css/jquery-ui.min.css'>\n"
      "<!-- still using jQuery v2.2.4 because Bootstrap doesn't support v3+ -->\n"
      "<script src='../js/jquery-latest.min.js' type='text/javascript'></script>\n"
      "<script src='../js/jquery-ui.min.js' type='text/javascript'></script>\n"
      "<link rel='stylesheet' href='../css/keyboard.css'>\n"
      "<script src='../js/jquery.keyboard.js' type='text/javascript'></script>\n");
  page->add_head_line("<link rel='stylesheet' href='../css/jobdesk.css'>\n");
  page->add_head_line("<link rel='stylesheet' href='../css/toolbox.css'>\n");
  page->add_head_line("<script src='../js/gauge.js' type='text/javascript'></script>\n");
  page->add_head_line("<script src='../js/jobdesk.js' type='text/javascript'></script>\n");
}

// system.json is rewritten by other programs; a short wait usually finds it whole again.
JsonTree load_system() {
  JsonTree system = JsonTree::load("system.json");
  for (int i = 0; i < 10 && !system; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    system = JsonTree::load("system.json");
  }
  return system;
}

// The job a request value names, in the page script's coding undone. Every such value is a
// name, never a path: one that is not plain is refused (popup, line on standard error) before
// any file is touched.
std::optional<std::string> named_job(webkit::Page* page, const char* q, const char* key,
                                     const char* popup_title) {
  std::string name = unesc_url(param(*page, q, key));
  if (is_plain_name(name)) return name;
  std::fprintf(stderr, "jobdesk ERROR %s is not a job name: %s\n", key, name.c_str());
  show_popup(page, popup_title, kInvalidName);
  return std::nullopt;
}

// A job that another screen deleted or renamed meanwhile: the popup says so and nothing acts
// on a file of that name.
bool job_gone(webkit::Page* page, const std::string& file_name) {
  if (is_library_job(file_name)) return false;
  std::fprintf(stderr, "jobdesk %s is not a job of the library\n", file_name.c_str());
  show_popup(page, "Error", kJobGone);
  return true;
}

// Chooses and runs the one action of the query; false when the list is still to be shown.
bool run_action(webkit::Page* page, PrnList* l, const PageContext& ctx) {
  const char* q = ctx.query;
  const bool form_button =
      has(*page, q, "saveprn") || has(*page, q, "cancel") || has(*page, q, "do_print");
  if (has(*page, q, "printq")) {
    show_queue(page, ctx, l->queue, nullptr);
    return true;
  }
  if (has(*page, q, "renamePrn") && has(*page, q, "doRename") && !form_button) {
    std::string from = unesc_url(param(*page, q, "renamePrn"));
    std::optional<std::string> to = page->getParam(q, "renamePrnTo");
    if (to) *to = unesc_url(*to);
    std::fprintf(stderr, "renamePrn %s %s\n", from.c_str(), to ? to->c_str() : "");
    do_rename(page, l, from.c_str(), to ? to->c_str() : nullptr);
    page->add_head_line("<!-- rename -->\n");
    return false;
  }
  if (has(*page, q, "deletePrn") && has(*page, q, "doDelete") && !form_button) {
    if (auto name = named_job(page, q, "deletePrn", "Error"); name && !job_gone(page, *name))
      do_delete(page, *l, *name);
    page->add_head_line("<!-- delete -->\n");
    return false;
  }
  if (has(*page, q, "prn") && !has(*page, q, "cancel") && !has(*page, q, "do_print")) {
    std::optional<std::string> name = named_job(page, q, "prn", "Error");
    if (!name || job_gone(page, library::job_file_of(*name))) return false;
    if (has(*page, q, "saveprn")) do_print(page, l, *name, kSaveMode, q);
    return show_prn(page, l, *name, ctx, page->getIntParam(q, "inum")) == 1;
  }
  if (has(*page, q, "prn") && has(*page, q, "do_print")) {
    std::optional<std::string> name = named_job(page, q, "prn", "Error");
    if (!name || job_gone(page, *name)) return false;
    page->add_body_line(kBodyOpen);
    if (do_print(page, l, *name, kPrintMode, q) == 1) {
      show_queue(page, ctx, l->queue, nullptr);
    } else {
      std::string raw = param(*page, q, "prn");
      show_queue(page, ctx, l->queue, raw.c_str());
    }
    return true;
  }
  return false;
}

}  // namespace

int run_jobdesk(const char* invocation, FILE* out) {
  const char* env_query = std::getenv("QUERY_STRING");
  std::string query_text = env_query ? env_query : "";
  PageContext ctx;
  ctx.query = env_query ? query_text.c_str() : nullptr;
  const char* q = ctx.query;

  ld::UiLog events;  // waited for when the run ends, after the reply has gone
  webkit::Page page;
  page.load_persistence_data("jobdesk", "list=0&sortby=name");
  PrnList l;
  l.log = events.sink();
  l.queue = spooler::named_config(invocation != nullptr ? invocation : "jobdesk");
  load_print_options(&page, &l.schema);
  for (const char* key : {"list", "sortby"}) {
    if (auto v = page.getParam(q, key)) page.replace_persistent_data(key, v->c_str());
  }
  page.replace_persistent_data("filter", param(page, q, "filter").c_str());

  JsonTree local = JsonTree::load("local.json");
  ctx.local = local.top();
  if (ctx.local == nullptr) show_popup(&page, "ERROR", "unable to read local.json");
  ctx.date_format = local_text(ctx.local, "DateFormatStr");
  JsonTree system = load_system();
  if (!system) show_popup(&page, "ERROR", "unable to read system.json");
  ctx.cutter = getJSONObjectInt("system.Cutter", system.top());

  events.start(query_text);
  add_head_frame(&page);
  const char* uri = std::getenv("REQUEST_URI");
  ctx.base = uri ? std::string(uri).substr(0, std::string(uri).find('?')) : "";

  bool page_done = false;
  {
    // Everything that reads or changes the library runs under its lock; the queue page alone
    // works on the queue, which has a lock of its own.
    std::optional<LibraryLock> lock;
    if (q == nullptr || !has(page, q, "printq") || has(page, q, "delp")) {
      lock.emplace(library_lock_path(), kLibraryLockWaitMs, ld::system_clock());
      if (!lock->held()) {
        std::fprintf(stderr, "jobdesk ERROR %s\n", lock->error().c_str());
        show_popup(&page, kBusyTitle, kBusyText);
      }
    }
    // Without the lock no action runs; the list is still shown (the lock is only ever held
    // that long by a save, which leaves no job the list would take for a broken one).
    if (q != nullptr && (!lock || lock->held())) {
      do_multi_delete(&page, &l, q);
      page_done = run_action(&page, &l, ctx);
    }
    page.add_head_line("<script>var initthumb=" + std::to_string(page.getIntParam(q, "inum")) +
                       ";</script>\n");
    if (!page_done) {
      page.add_body_line(kBodyOpen);
      show_prn_list(&page, &l, ctx, page.getIntParam(q, "inum"));
    }
  }
  page.add_body_line("</div>\r\n");
  popup_box(&page, ctx.local);
  del_popup_box(&page, ctx.local);
  page.add_body_line("</BODY>\r\n");
  // The settings are saved before the reply goes out: the web server may end the program as
  // soon as it has the whole reply, and the next call must find them.
  page.save_persistence_data("jobdesk");
  // So is the query's event line: its client must be under way before the server may end us.
  events.started();
  long written = page.print_html(out);
  return written < 0 ? 1 : 0;
}

}  // namespace jobdesk
