// The job browser under hostile requests and two hands at once, through real lighttpd: names
// that are paths, names holding other keys, a save beside the print queue, renames onto names
// that are taken or waiting, queue indexes that are no numbers, and two screens acting on one
// job at the same moment. No request may act on a job it does not name, and no job may end cut,
// lost, doubled or back from the dead.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/fsops.h"
#include "spooler/jobstream.h"
#include "testkit/scenario.h"
#include "tests/jobdesk_fixture.h"
#include "webkit/html_utils.h"

namespace {

using testkit::bin;
using testkit::slurp;
using testkit::spit;

// What a browser makes of a printthis('...') argument as the page writes it into an onclick
// attribute: the HTML and script escapes undone, then the bytes a URL cannot carry coded.
std::string browser_url(const std::string& attr) {
  std::string js;
  for (size_t i = 0; i < attr.size(); ++i) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    bool done = false;
    for (const auto& [text, c] : entities) {
      if (attr.compare(i, strlen(text), text) == 0) {
        js += c;
        i += strlen(text) - 1;
        done = true;
        break;
      }
    }
    if (!done) js += attr[i];
  }
  std::string url;
  for (size_t i = 0; i < js.size(); ++i) {
    if (js[i] == '\\' && i + 1 < js.size() && js[i + 1] == 'x' && i + 3 < js.size()) {
      url += static_cast<char>(std::stoi(js.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else if (js[i] == '\\' && i + 1 < js.size()) {
      url += js[++i];
    } else {
      url += js[i];
    }
  }
  std::string sent;
  for (unsigned char c : url) {
    if (c <= ' ' || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\'') {
      char buf[4];
      snprintf(buf, sizeof buf, "%%%02X", c);
      sent += buf;
    } else {
      sent += static_cast<char>(c);
    }
  }
  return sent;
}

// The address the list page's entry for `file_name` leads to, as the browser sends it.
std::string list_link(const std::string& list_page, const std::string& file_name) {
  const std::string open = "printthis('";
  for (size_t at = list_page.find(open); at != std::string::npos; at = list_page.find(open, at + 1)) {
    size_t start = at + open.size();
    size_t end = list_page.find("');", start);
    std::string url = browser_url(list_page.substr(start, end - start));
    // The name as it stands in the link, spaces coded as the browser codes them.
    std::string coded;
    for (char c : file_name) coded += c == ' ' ? "%20" : c == '&' ? "%26" : std::string(1, c);
    if (url.find("?prn=" + coded + "&npages=") != std::string::npos) {
      return url.substr(url.find('?'));
    }
  }
  return "";
}

class HostileRequests : public jobdesk_scenario::JobdeskFixture {
 protected:
  // Size and digest of every file below a folder of the root (the print folder), by path.
  std::map<std::string, std::string> print_files(const std::string& dir = "/print") {
    std::map<std::string, std::string> files;
    std::function<void(const std::string&)> walk = [&](const std::string& d) {
      for (const std::string& e : testkit::list_dir(d)) {
        std::string p = d + "/" + e;
        if (ld::is_directory(p)) {
          walk(p);
        } else {
          std::string bytes = slurp(p);
          files[p.substr(root_.path().size())] =
              std::to_string(bytes.size()) + " bytes #" + std::to_string(std::hash<std::string>()(bytes));
        }
      }
    };
    walk(root_(dir));
    files.erase("/print/prns/prn_meta");
    return files;
  }
  // Puts a folder back for the next case: every file of `bytes` (path to content) is written
  // again, every other one removed.
  void restore(const std::map<std::string, std::string>& bytes, const std::string& dir = "/print") {
    for (const auto& [path, digest] : print_files(dir))
      if (!bytes.count(path)) ld::remove_file(root_(path));
    for (const auto& [path, content] : bytes) spit(root_(path), content);
  }
  std::map<std::string, std::string> contents(const std::map<std::string, std::string>& files) {
    std::map<std::string, std::string> bytes;
    for (const auto& [path, digest] : files) bytes[path] = slurp(root_(path));
    return bytes;
  }
  int queued() {
    std::string q = page("?printq=1");
    size_t at = q.find("var n_thumbs=");
    return at == std::string::npos ? -1 : std::stoi(q.substr(at + 13));
  }
};

// A request value naming a job is a name, never a path: none of these reaches the waiting job,
// the queue's file or a job file outside the appliance's folders.
TEST_F(HostileRequests, NamesThatArePathsTouchNoFileOutsideTheLibrary) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  testkit::JobSpec shape;
  spit(root_("/print/prns/tmp/w.prn"), testkit::make_job(shape));
  spit(root_("/print/printq/q_0.prn"), testkit::make_job(shape));
  ld::make_dirs(root_("/elsewhere"));
  spit(root_("/elsewhere/x.prn"), testkit::make_job(shape));
  const std::map<std::string, std::string> before = print_files();
  const std::map<std::string, std::string> bytes = contents(before);
  const std::string outside = slurp(root_("/elsewhere/x.prn"));
  struct Case {
    const char* query;
    bool rename;  // refused with the rename box's own popup title
  } cases[] = {
      {"?prn=../tmp/w.prn", false},
      {"?prn=..%2Fprintq%2Fq_0.prn&inum=0", false},
      {"?prn=../../elsewhere/x.prn", false},
      {"?prn=../tmp/w.prn&saveprn=Save&from=1&to=1&dm_copies_orig=1&quality=-3", false},
      {"?prn=../printq/q_0.prn&do_print=Print&from_disp=1&to_disp=1&dm_copies=1", false},
      {"?prn=..&saveprn=Save&from=1&to=1&dm_copies_orig=1", false},
      {"?prn=.&inum=0", false},
      {"?prn=%2E%2E%2Ftmp%2Fw.prn&inum=0", false},
      {"?prn=a.prn%00&inum=0", false},
      {"?prn=a%00/../../tmp/w.prn&inum=0", false},
      {"?deletePrn=a.prn%00&doDelete=Delete", false},
      {"?delp=a.prn%00&list=1", false},
      {"?renamePrn=a.prn%00&renamePrnTo=b&doRename=Rename", true},
      {"?renamePrn=a.prn&renamePrnTo=x/y&doRename=Rename", true},
      {"?deletePrn=.&doDelete=Delete", false},
      {"?delp=.&delp=..&list=1", false},
      {"?deletePrn=../tmp/w.prn&doDelete=Delete", false},
      {"?deletePrn=..&doDelete=Delete", false},
      {"?delp=../printq/q_0.prn&delp=..%2F..%2Felsewhere%2Fx.prn&list=1", false},
      {"?renamePrn=../tmp/w.prn&renamePrnTo=stolen&doRename=Rename", true},
      {"?renamePrn=a.prn&renamePrnTo=../tmp/w&doRename=Rename", true},
      {"?renamePrn=a.prn&renamePrnTo=..&doRename=Rename", true},
      {"?renamePrn=a.prn&renamePrnTo=.&doRename=Rename", true},
      {"?renamePrn=..&renamePrnTo=b&doRename=Rename", true},
  };
  for (const Case& c : cases) {
    std::string body;
    if (std::strstr(c.query, "%00")) {
      // lighttpd answers such a request itself (400); another server may hand it on.
      EXPECT_EQ(testkit::http_get(web_.port(), std::string("/cgi-bin/jobdesk") + c.query).status, 400);
      EXPECT_EQ(testkit::run({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\"", "sh",
                              root_("/var/www/html/cgi-bin"), bin("jobdesk")},
                             &body, nullptr, {{"LABELDOCK_ROOT", root_.path()}, {"QUERY_STRING", c.query + 1}}),
                0);
    } else {
      body = page(c.query);
    }
    EXPECT_EQ(print_files(), before) << c.query << web_.cgi_log();
    EXPECT_EQ(slurp(root_("/elsewhere/x.prn")), outside) << c.query;
    // The toolkit never decodes "%00" (a name can hold no NUL): such a name stays "a.prn%00",
    // which names no job.
    if (!std::strstr(c.query, "%00")) {
      EXPECT_NE(body.find("var popup_msg=\"Invalid filename!\";"), std::string::npos) << c.query << body;
      EXPECT_EQ(body.find("var popup_title=\"Rename\";") != std::string::npos, c.rename) << c.query;
    }
    restore(bytes);
    spit(root_("/elsewhere/x.prn"), outside);
  }
}

// A workstation may give a job any name. Opening such a job through the link its own list
// entry builds opens that job, and nothing else happens: no other job is deleted or renamed,
// the queue is neither changed nor paused, nothing is saved or printed, no setting changes.
TEST_F(HostileRequests, KeysInsideAJobNameAreNotKeys) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("Price tag");
  const std::vector<std::string> hostile = {
      "Invoice delp=Price tag",
      "x&delp=Price tag",
      "x printq=1 delete=0",
      "x printq=pause",
      "x deletePrn=Price tag.prn doDelete=1",
      "x renamePrn=Price tag.prn doRename=1 renamePrnTo=gone",
      "x cancel=1",
      "x do_print=1 from_disp=1 to_disp=1 dm_copies=1",
      "x saveprn=1 quality=-3 from=1 to=1 dm_copies_orig=1",
      "x filter=zzz",
      "x list=0 sortby=pages",
      "x inum=7",
  };
  for (const std::string& name : hostile) library_job(name);
  page("?prn=Price%20tag.prn&from_disp=1&to_disp=1&dm_copies=1&do_print=Print");
  ASSERT_EQ(queued(), 1);
  const std::string list = page("?list=1&sortby=name&filter=");
  const std::string settings = slurp(root_("/var/www/html/cgi-bin/.jobdesk.data"));
  const std::map<std::string, std::string> before = print_files();
  const std::map<std::string, std::string> bytes = contents(before);
  for (const std::string& name : hostile) {
    std::string link = list_link(list, name + ".prn");
    ASSERT_FALSE(link.empty()) << name << list;
    std::string body = page(link);
    // The page carries the name in the page script's coding ("&" as %26).
    std::string coded = name;
    for (size_t at = coded.find('&'); at != std::string::npos; at = coded.find('&', at))
      coded.replace(at, 1, "%26");
    EXPECT_NE(body.find("name='prn' value='" + webkit::html_escape(coded) + ".prn'"),
              std::string::npos)
        << name << " via " << link << body;
    EXPECT_NE(body.find("var initthumb=0;"), std::string::npos) << name;
    EXPECT_EQ(print_files(), before) << name << " via " << link << web_.cgi_log();
    EXPECT_EQ(slurp(root_("/var/www/html/cgi-bin/.jobdesk.data")), settings) << name;
    // A case that did act is undone, so the next one starts from the same library.
    restore(bytes);
    spit(root_("/var/www/html/cgi-bin/.jobdesk.data"), settings);
  }
  EXPECT_EQ(queued(), 1);
}

// Saving a job rewrites only that job. The library job Foo_0 shares its name with the queue's
// spooled copy of the job Foo; the queued print stays as it was spooled.
TEST_F(HostileRequests, SaveLeavesTheQueueFolderAlone) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("Foo", 2);
  library_job("Foo_0", 2);
  page("?prn=Foo.prn&from_disp=1&to_disp=2&dm_copies=1&do_print=Print");
  std::string out;
  testkit::run({bin("spoold")}, &out, &out);
  ASSERT_TRUE(ld::file_exists(root_("/print/printq/Foo_0.prn"))) << out;
  const std::map<std::string, std::string> queue = print_files("/print/printq");
  page("?renamePrn=Foo_0.prn&renamePrnTo=Foo_0&deletePrn=Foo_0.prn&prn=Foo_0.prn&inum=0&npages=2"
       "&quality=-3&disp_units=1&from=1&to=2&dm_copies_orig=1&dm_copies=1&saveprn=Save");
  EXPECT_EQ(print_files("/print/printq"), queue) << web_.cgi_log();
  EXPECT_TRUE(zjs::stream_is_whole(job_file("Foo_0.prn")));
  // The save's own output was put in place: nothing of it is left in the job folder.
  EXPECT_EQ(testkit::list_dir(root_("/print/prns")),
            (std::vector<std::string>{"Foo.prn", "Foo_0.prn", "prn_meta", "thumbs", "tmp"}));
}

// A name is taken while a job of that name waits for its thumbnail: thumbmaker would move the
// waiting job over the renamed one.
TEST_F(HostileRequests, RenameRefusesANameWaitingForItsThumbnail) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  library_job("b");
  testkit::JobSpec shape;
  shape.seed = 7;
  spit(root_("/print/prns/tmp/c.prn"), testkit::make_job(shape));
  for (const char* to : {"c", "b"}) {
    std::string body = page(std::string("?renamePrn=a.prn&renamePrnTo=") + to + "&doRename=Rename");
    EXPECT_NE(body.find("var popup_msg=\"Duplicate filename!\";"), std::string::npos) << to << body;
    EXPECT_TRUE(ld::file_exists(job_file("a.prn"))) << to;
    EXPECT_TRUE(ld::file_exists(thumb_file("a"))) << to;
  }
  EXPECT_FALSE(ld::file_exists(job_file("c.prn")));
  EXPECT_EQ(slurp(root_("/print/prns/tmp/c.prn")), testkit::make_job(shape));
}

// Two screens at once. Each round puts the library back as it started, sends the requests at
// the same moment and checks what is left: every job whole and with its thumbnail, every
// thumbnail with its job, nothing left over in the job folder, and that what is left is what
// the requests' pages said: both applied one after the other, or one applied and the other
// showing why not. Two requests that both report success while only one took effect lost the
// other's work, however whole the library looks. A CGI run takes milliseconds and its
// check-then-move windows microseconds, so left to chance two runs almost never meet inside
// one: jobdesk runs under strace, which holds every rename(2) 100 ms before it enters the
// kernel. Any check made before a move then meets the other run's move unless the two are
// serialised.
class TwoHands : public HostileRequests {
 protected:
  void SetUp() override {
    HostileRequests::SetUp();
    ASSERT_TRUE(web_.ok()) << web_.error();
    if (!ld::file_exists("/usr/bin/strace")) GTEST_SKIP() << "/usr/bin/strace is missing (script/bootstrap installs it)";
    for (const char* n : {"a", "b", "r0", "r1", "r2", "r3"}) {
      library_job(n, 3);
      jobs_[n] = slurp(job_file(std::string(n) + ".prn"));
      thumbs_[n] = slurp(thumb_file(n));
    }
    reset();
    // lighttpd runs the program it finds in cgi-bin for each request.
    const std::string cgi = root_("/var/www/html/cgi-bin/jobdesk");
    spit(cgi, "#!/bin/sh\nexec /usr/bin/strace -f -qq -o /dev/null -e trace=rename,renameat,renameat2 "
              "-e inject=rename,renameat,renameat2:delay_enter=100000 '" + bin("jobdesk") + "'\n");
    ASSERT_EQ(::chmod(cgi.c_str(), 0755), 0);
  }
  void reset() {
    for (const std::string& e : testkit::list_dir(root_("/print/prns")))
      if (e != "thumbs" && e != "tmp") ld::remove_file(root_("/print/prns/") + e);
    for (const std::string& e : testkit::list_dir(root_("/print/prns/thumbs")))
      ld::remove_file(root_("/print/prns/thumbs/") + e);
    for (const auto& [n, bytes] : jobs_) spit(job_file(n + ".prn"), bytes);
    for (const auto& [n, bytes] : thumbs_) spit(thumb_file(n), bytes);
  }
  // All requests start together, each after the first `stagger_ms` later than the one before
  // (so it lands inside the other's held move); returns their pages.
  std::vector<std::string> at_once(const std::vector<std::string>& queries, int stagger_ms = 0) {
    std::latch go(static_cast<std::ptrdiff_t>(queries.size()) + 1);
    std::vector<testkit::HttpResponse> r(queries.size());
    std::vector<std::thread> hands;
    for (size_t i = 0; i < queries.size(); ++i) {
      hands.emplace_back([&, i] {
        go.arrive_and_wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(stagger_ms * static_cast<int>(i)));
        r[i] = testkit::http_get(web_.port(), "/cgi-bin/jobdesk" + queries[i]);
      });
    }
    go.arrive_and_wait();
    for (std::thread& t : hands) t.join();
    std::vector<std::string> pages;
    for (size_t i = 0; i < queries.size(); ++i) {
      EXPECT_EQ(r[i].status, 200) << queries[i];
      pages.push_back(r[i].body);
    }
    return pages;
  }
  // Two requests at once, `other` first when `other_first`; their pages in the order named.
  std::vector<std::string> pair_at_once(const std::string& one, const std::string& other, int stagger_ms,
                                        bool other_first) {
    if (!other_first) return at_once({one, other}, stagger_ms);
    std::vector<std::string> pages = at_once({other, one}, stagger_ms);
    return {pages[1], pages[0]};
  }
  // The jobs of the library, each checked to be whole and to have its
  // thumbnail; what is wrong is added to *faults.
  std::set<std::string> library(std::vector<std::string>* faults) {
    std::set<std::string> jobs;
    for (const std::string& e : testkit::list_dir(root_("/print/prns"))) {
      if (e == "thumbs" || e == "tmp" || e == "prn_meta") continue;
      if (e.size() <= 4 || e.substr(e.size() - 4) != ".prn") {
        faults->push_back("left over " + e);
        continue;
      }
      std::string base = e.substr(0, e.size() - 4);
      if (!zjs::stream_is_whole(job_file(e))) faults->push_back(e + " is cut");
      if (!ld::file_exists(thumb_file(base))) faults->push_back(e + " has no thumbnail");
      jobs.insert(base);
    }
    for (const std::string& t : testkit::list_dir(root_("/print/prns/thumbs"))) {
      std::string base = t.substr(0, t.size() - 5);
      if (!jobs.count(base)) faults->push_back("thumbnail " + t + " has no job");
    }
    return jobs;
  }
  // The job page's form as Save sends it for a job of three pages, keeping pages from..to.
  static std::string save(const char* name, int quality, int from = 1, int to = 3) {
    return std::string("?renamePrn=") + name + ".prn&renamePrnTo=" + name + "&deletePrn=" + name +
           ".prn&prn=" + name + ".prn&inum=0&npages=3&quality=" + std::to_string(quality) +
           "&disp_units=1&from=" + std::to_string(from) + "&to=" + std::to_string(to) +
           "&dm_copies_orig=1&dm_copies=1&saveprn=Save";
  }
  // The popup message a page shows, "" when it shows none.
  static std::string popup(const std::string& page) {
    const std::string open = "var popup_msg=\"";
    size_t at = page.find(open);
    if (at == std::string::npos) return "";
    at += open.size();
    return page.substr(at, page.find('"', at) - at);
  }
  static bool job_page_of(const std::string& page, const std::string& file_name) {
    return page.find("name='prn' value='" + file_name + "'") != std::string::npos;
  }
  // Job a's bytes after `query` ran alone once, twice, ... `times` times, one run after the
  // other; the library is put back afterwards.
  std::vector<std::string> applied_in_turn(const std::string& query, int times) {
    reset();
    std::vector<std::string> after;
    for (int i = 0; i < times; ++i) {
      page(query);
      after.push_back(slurp(job_file("a.prn")));
    }
    reset();
    return after;
  }
  // The raced jobs of the library (a, c), after checking it (library()) and that every other
  // job is there as it was; what is wrong is added to *faults.
  std::set<std::string> raced_jobs(std::vector<std::string>* faults) {
    std::set<std::string> jobs = library(faults);
    for (const char* untouched : {"b", "r0", "r1", "r2", "r3"}) {
      if (!jobs.count(untouched)) faults->push_back(std::string(untouched) + " lost");
      jobs.erase(untouched);
    }
    for (const std::string& n : jobs)
      if (n != "a" && n != "c") faults->push_back("unexpected job " + n);
    return jobs;
  }
  // Runs `rounds` rounds of a race, each from the library as it started: `round_faults` sends
  // the requests and says what is wrong afterwards. Each fault fails the test with its round;
  // the last line counts the rounds that went wrong.
  using RoundFaults = std::function<std::vector<std::string>(int round)>;
  void race(int rounds, const RoundFaults& round_faults, const std::string& what = "") {
    int failed = 0;
    for (int round = 0; round < rounds; ++round) {
      reset();
      std::vector<std::string> faults = round_faults(round);
      if (!faults.empty()) ++failed;
      for (const std::string& f : faults) ADD_FAILURE() << what << "round " << round << ": " << f;
    }
    EXPECT_EQ(failed, 0) << what << "of " << rounds << " rounds";
  }
  static std::string rename(const char* from, const char* to) {
    return std::string("?renamePrn=") + from + ".prn&renamePrnTo=" + to + "&doRename=Rename";
  }
  std::map<std::string, std::string> jobs_, thumbs_;
};

// Of several renames to one new name exactly one wins; each other is told the name is taken
// and keeps its job.
TEST_F(TwoHands, RenamesToOneName) {
  race(3, [&](int) {
    std::vector<std::string> pages =
        at_once({rename("r0", "c"), rename("r1", "c"), rename("r2", "c"), rename("r3", "c")});
    std::vector<std::string> faults;
    std::set<std::string> jobs = library(&faults);
    if (jobs.size() != 6) faults.push_back(std::to_string(6 - static_cast<int>(jobs.size())) + " jobs lost");
    if (!jobs.count("c")) faults.push_back("no job c");
    int dup = 0;
    for (const std::string& p : pages) dup += testkit::count_of(p, "var popup_msg=\"Duplicate filename!\";");
    if (dup != 3) faults.push_back(std::to_string(dup) + " popups \"Duplicate filename!\"");
    return faults;
  });
}

// Two screens save job a at once, each keeping pages 2 to 3 of the three it shows. The saves
// take turns: the second keeps pages 2 to 3 of what the first left (one page), or it is turned
// away with a popup and the job holds the first one's result. A job that holds one save's
// result while both pages report success has lost the other's work.
TEST_F(TwoHands, TwoSavesOfOneJobTakeTurns) {
  const std::string keep = save("a", -3, 2, 3);
  const std::vector<std::string> after = applied_in_turn(keep, 2);
  ASSERT_NE(after[0], after[1]) << "one save and two in turn leave the same job";
  race(3, [&](int) {
    std::vector<std::string> pages = at_once({keep, keep}, 30);
    std::vector<std::string> faults;
    if (raced_jobs(&faults) != std::set<std::string>{"a"}) {
      faults.push_back("job a is lost or renamed");
      return faults;
    }
    const int refused = !popup(pages[0]).empty() + !popup(pages[1]).empty();
    const std::string job = slurp(job_file("a.prn"));
    if (job == after[1]) {
      if (refused != 0) faults.push_back("both saves were applied, yet a page shows a popup");
      for (const std::string& p : pages)
        if (!job_page_of(p, "a.prn")) faults.push_back("a save's reply is not the job's page");
    } else if (job == after[0]) {
      if (refused != 1)
        faults.push_back("the job holds one save, yet " + std::to_string(2 - refused) + " report success");
    } else {
      faults.push_back("job a holds neither one save nor two");
    }
    return faults;
  });
}

// A save and a print of job a at once, each arriving while the other's move is held: the job
// holds the save's result, and the queue holds one whole copy, of the job either as it was
// before the save or as it is after.
TEST_F(TwoHands, SaveAndPrintOfOneJob) {
  const std::string keep = save("a", -3, 2, 3);
  const std::string print = "?prn=a.prn&from_disp=1&to_disp=3&dm_copies=1&do_print=Print";
  const std::string saved = applied_in_turn(keep, 1)[0];
  ASSERT_NE(saved, jobs_["a"]);
  // The save first in even rounds, the print first in odd ones.
  race(4, [&](int round) {
    for (const std::string& e : testkit::list_dir(root_("/print/printq")))
      ld::remove_file(root_("/print/printq/") + e);
    std::vector<std::string> pages = pair_at_once(keep, print, 30, round % 2 == 1);
    std::vector<std::string> faults;
    if (raced_jobs(&faults) != std::set<std::string>{"a"}) {
      faults.push_back("job a is lost or renamed");
    } else if (slurp(job_file("a.prn")) != saved) {
      faults.push_back("job a does not hold the save's result");
    }
    for (const std::string& p : pages)
      if (!popup(p).empty()) faults.push_back("a page shows \"" + popup(p) + "\"");
    std::vector<std::string> copies;
    for (const std::string& e : testkit::list_dir(root_("/print/printq")))
      if (e != "printq") copies.push_back(e);
    if (copies.size() != 1) {
      faults.push_back(std::to_string(copies.size()) + " files beside the queue file in the queue folder");
    } else {
      const std::string copy = slurp(root_("/print/printq/") + copies[0]);
      if (copy != jobs_["a"] && copy != saved)
        faults.push_back("the queued copy is neither job a nor its save");
    }
    return faults;
  });
}

// A save met by a delete of the same job, each arriving while the other runs. Either the save
// runs first, its reply is the saved job's page, and the delete then takes the job; or the
// delete runs first and the save finds "Job not found!" and puts nothing back. A save that
// puts its result back after the delete brings the job back without its thumbnail, and its
// reply is not the job's page.
TEST_F(TwoHands, SaveMetByADelete) {
  const std::string keep = save("a", -3, 2, 3);
  // The save first in even rounds, the delete first in odd ones.
  race(4, [&](int round) {
    std::vector<std::string> pages =
        pair_at_once(keep, "?deletePrn=a.prn&doDelete=Delete", 30, round % 2 == 1);
    std::vector<std::string> faults;
    if (!raced_jobs(&faults).empty()) faults.push_back("job a outlived its delete");
    if (!job_page_of(pages[0], "a.prn") && popup(pages[0]) != "Job not found!")
      faults.push_back("the save's reply is neither the job's page nor \"Job not found!\" (popup \"" +
                       popup(pages[0]) + "\")");
    if (!popup(pages[1]).empty()) faults.push_back("the delete shows \"" + popup(pages[1]) + "\"");
    return faults;
  });
}

// The list is asked for while job a is renamed to c, between the move of the job and the move
// of its thumbnail. The list shows the job under one of its names, and the renamed job keeps
// its thumbnail: a list that met the job without it would remove it as a job that has none.
TEST_F(TwoHands, ListDuringARename) {
  race(3, [&](int) {
    std::vector<std::string> pages = at_once({rename("a", "c"), "?list=1"}, 130);
    std::vector<std::string> faults;
    if (raced_jobs(&faults) != std::set<std::string>{"c"})
      faults.push_back("job c is not the one job left of a and c");
    if (!popup(pages[0]).empty()) faults.push_back("the rename shows \"" + popup(pages[0]) + "\"");
    const int shown = !list_link(pages[1], "a.prn").empty() + !list_link(pages[1], "c.prn").empty();
    if (shown != 1) faults.push_back("the list shows the job under " + std::to_string(shown) + " names");
    return faults;
  });
}

// A rename of job a to c met by a delete of a: the delete arriving while the job's move is held
// or while its thumbnail's is, or the rename arriving while the delete runs. One of the two
// acts and the other shows "Job not found!": c is left whole with its thumbnail, or nothing is.
TEST_F(TwoHands, RenameMetByADelete) {
  const struct {
    int stagger_ms;
    bool delete_first;
  } cases[] = {{30, false}, {130, false}, {30, true}};
  for (const auto& [stagger_ms, delete_first] : cases) {
    const std::string what = std::string(delete_first ? "delete" : "rename") + " first, " +
                             std::to_string(stagger_ms) + " ms apart, ";
    race(2, [&](int) {
      std::vector<std::string> pages =
          pair_at_once(rename("a", "c"), "?deletePrn=a.prn&doDelete=Delete", stagger_ms, delete_first);
      std::vector<std::string> faults;
      std::set<std::string> jobs = raced_jobs(&faults);
      const std::string renamed = popup(pages[0]), deleted = popup(pages[1]);
      const std::string said = "the rename shows \"" + renamed + "\" and the delete \"" + deleted + "\"";
      if (jobs.count("a")) {
        faults.push_back("job a is neither renamed nor deleted");
      } else if (jobs.count("c")) {
        if (!renamed.empty() || deleted != "Job not found!") faults.push_back("c was renamed, yet " + said);
      } else if (renamed != "Job not found!" || !deleted.empty()) {
        faults.push_back("a was deleted, yet " + said);
      }
      return faults;
    }, what);
  }
}

// A rename of job a to c met by a save of a, each arriving while the other's move is held.
// Either the save runs first and c holds the saved job, both pages without a popup; or the
// rename runs first, c holds the job as it was and the save shows "Job not found!". A save
// that puts its result back under the old name after the rename brings a back without its
// thumbnail.
TEST_F(TwoHands, RenameMetByASave) {
  const std::string keep = save("a", -3, 2, 3);
  const std::string saved = applied_in_turn(keep, 1)[0];
  ASSERT_NE(saved, jobs_["a"]);
  // The rename first in even rounds, the save first in odd ones.
  race(4, [&](int round) {
    std::vector<std::string> pages = pair_at_once(rename("a", "c"), keep, 30, round % 2 == 1);
    std::vector<std::string> faults;
    if (raced_jobs(&faults) != std::set<std::string>{"c"}) {
      faults.push_back("c is not the one job left of a and c");
      return faults;
    }
    const std::string renamed = popup(pages[0]), kept = popup(pages[1]);
    const std::string said = "the rename shows \"" + renamed + "\" and the save \"" + kept + "\"";
    const std::string job = slurp(job_file("c.prn"));
    if (job == saved) {
      if (!renamed.empty() || !kept.empty() || !job_page_of(pages[1], "a.prn"))
        faults.push_back("c holds the save, yet " + said);
    } else if (job == jobs_["a"]) {
      if (!renamed.empty() || kept != "Job not found!") faults.push_back("c holds a as it was, yet " + said);
    } else {
      faults.push_back("c holds neither a nor its save");
    }
    return faults;
  });
}

}  // namespace
