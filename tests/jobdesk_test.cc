// The touch screen's road through the job browser: jobdesk run by real lighttpd lists a job
// thumbmaker has drawn, opens its page, prints it into the queue and shows the queue; every
// query reaches the event log as text, and job names reach the page only as text.
#include <string>

#include "common/fsops.h"
#include "spooler/jobstream.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "tests/jobdesk_fixture.h"

namespace {

using testkit::bin;

class JobdeskRoad : public jobdesk_scenario::JobdeskFixture {
 protected:
  // What a browser makes of the page: the texts of its script elements and the text shown in
  // the job name elements (list, gallery, job page), one per line, from Python's parser.
  std::string parsed(const std::string& body) {
    static const char* kParser = R"(
import sys
from html.parser import HTMLParser
class P(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True); self.mode = None
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'script': self.mode = 'script'
        elif a.get('id') == 'pr_heading' or (a.get('class') or '').split()[:1] in (['fnamestr'], ['frownstr']): self.mode = 'name'
    def handle_endtag(self, tag):
        self.mode = None
    def handle_data(self, data):
        if self.mode: print(self.mode + ':' + data.strip())
P().feed(sys.stdin.read())
)";
    std::string out, err;
    EXPECT_EQ(testkit::run({"/usr/bin/python3", "-c", kParser}, &out, &err, {}, body), 0) << err;
    return out;
  }
};

TEST_F(JobdeskRoad, QueryReachesTheEventLogAsText) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  std::string marker = root_("/tmp/ran");
  std::string body = page("?filter=$(touch%20" + marker + ")&list=1");
  EXPECT_NE(body.find("</HTML>"), std::string::npos);
  EXPECT_TRUE(logged("filter=$(touch%20" + marker + ")&list=1")) << root_.log_client_output();
  EXPECT_FALSE(ld::file_exists(marker));
}

TEST_F(JobdeskRoad, ScriptInAJobNameIsOnlyText) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("<script>alert(1)");
  for (const std::string& q : {std::string("?list=1"), std::string("?list=0"),
                               std::string("?prn=%3Cscript%3Ealert(1).prn")}) {
    std::string body = page(q);
    std::string seen = parsed(body);
    EXPECT_EQ(seen.find("script:alert"), std::string::npos) << q << seen;
    EXPECT_NE(seen.find("name:<script>alert(1)"), std::string::npos) << q << seen;
  }
}

TEST_F(JobdeskRoad, ListJobPagePrintQueue) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("Shelf label", 3);
  std::string list = page("?list=1");
  EXPECT_NE(list.find("printthis('/cgi-bin/jobdesk?prn=Shelf label.prn\\x26npages=3');"),
            std::string::npos)
      << list;
  EXPECT_NE(list.find("var n_thumbs=1;"), std::string::npos);
  // The list mode is remembered for a call without it.
  EXPECT_NE(page("").find("<table id='listtb'>"), std::string::npos)
      << testkit::slurp(root_("/var/www/html/cgi-bin/.jobdesk.data")) << web_.cgi_log();

  std::string job = page("?prn=Shelf%20label.prn&inum=0");
  EXPECT_NE(job.find("name='prn' value='Shelf label.prn'"), std::string::npos) << job;
  EXPECT_NE(job.find("name='do_print'"), std::string::npos);
  // Exit on the job page leads back to the list.
  EXPECT_NE(page("?prn=Shelf%20label.prn&cancel=Exit").find("id='del_prns_form'"), std::string::npos);

  std::string queue = page("?prn=Shelf%20label.prn&from=1&to=3&dm_copies=1&do_print=Print");
  EXPECT_NE(queue.find("var show_printq_flag = 1;"), std::string::npos) << queue;
  EXPECT_NE(queue.find("<td class='vpdq'>Shelf label"), std::string::npos) << queue << web_.cgi_log();
  EXPECT_NE(queue.find("var n_thumbs=1;"), std::string::npos);
  // "printq" wins over a job key.
  EXPECT_NE(page("?printq=1&prn=Shelf%20label.prn").find("id='printqbox'"), std::string::npos);
}

TEST_F(JobdeskRoad, MissingDocumentsGiveDefaultsAndOnePopupEach) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  ASSERT_TRUE(ld::remove_file(root_("/var/www/html/cgi-bin/local.json")));
  std::string body = page("?list=1");
  EXPECT_NE(body.find("hdplain plcopies'>Copies<"), std::string::npos) << body;
  EXPECT_NE(body.find("var popup_msg=\"unable to read local.json\";"), std::string::npos);
  EXPECT_EQ(body.find("system.json\";"), std::string::npos);
  ASSERT_TRUE(ld::remove_file(root_("/var/www/html/cgi-bin/system.json")));
  body = page("?list=1");
  EXPECT_NE(body.find("var popup_msg=\"unable to read system.json\";"), std::string::npos);
}

TEST_F(JobdeskRoad, ActionKeysChooseOneAction) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  library_job("b");
  std::string job = testkit::slurp(root_("/print/prns/a.prn"));
  // Print and Save together print only: the stored job is untouched, the queue has it.
  std::string queue = page("?prn=a.prn&saveprn=Save&from=1&to=1&dm_copies=3&do_print=Print");
  EXPECT_NE(queue.find("<td class='vpdq'>a"), std::string::npos) << queue;
  EXPECT_EQ(testkit::slurp(root_("/print/prns/a.prn")), job);
  // A rename carried by a job form does not happen; the job page is shown.
  std::string body = page("?renamePrn=a.prn&renamePrnTo=c&doRename=Rename&prn=a.prn&saveprn=Save");
  EXPECT_TRUE(ld::file_exists(root_("/print/prns/a.prn")));
  EXPECT_NE(body.find("name='do_print'"), std::string::npos);
  // Rename and delete through their forms, then the list.
  body = page("?renamePrn=b.prn&renamePrnTo=c&doRename=Rename");
  EXPECT_NE(body.find("<!-- rename -->"), std::string::npos);
  EXPECT_TRUE(ld::file_exists(root_("/print/prns/c.prn")));
  EXPECT_NE(body.find("id='del_prns_form'"), std::string::npos);
  body = page("?deletePrn=c.prn&doDelete=Delete");
  EXPECT_NE(body.find("<!-- delete -->"), std::string::npos);
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/c.prn")));
  // Every query went to the event log.
  EXPECT_TRUE(logged("deletePrn=c.prn&doDelete=Delete")) << root_.log_client_output();
}

TEST_F(JobdeskRoad, QueuePausesResumesAndDeletes) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  library_job("b");
  page("?prn=a.prn&from=1&to=1&dm_copies=1&do_print=Print");
  std::string queue = page("?prn=b.prn&from=1&to=1&dm_copies=1&do_print=Print");
  EXPECT_LT(queue.find("vpdq'>a"), queue.find("vpdq'>b")) << queue;
  EXPECT_NE(queue.find("var refresh_page = 1;"), std::string::npos);
  queue = page("?printq=pause");
  EXPECT_NE(queue.find("/img/play.png"), std::string::npos) << queue;
  EXPECT_EQ(queue.find("refresh_page"), std::string::npos);
  queue = page("?printq=1&movedown=0");
  EXPECT_LT(queue.find("vpdq'>b"), queue.find("vpdq'>a")) << queue;
  queue = page("?printq=1&moveup=1");
  EXPECT_LT(queue.find("vpdq'>a"), queue.find("vpdq'>b")) << queue;
  queue = page("?printq=1&movedown=0");
  queue = page("?printq=1&delete=0");
  EXPECT_EQ(queue.find("vpdq'>b"), std::string::npos) << queue;
  EXPECT_NE(queue.find("var n_thumbs=1;"), std::string::npos);
  queue = page("?printq=resume");
  EXPECT_NE(queue.find("/img/pause.png"), std::string::npos) << queue;
}

TEST_F(JobdeskRoad, SeveralJobsDeletedAtOnce) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  for (const char* name : {"a", "b", "c"}) library_job(name);
  std::string list = page("?list=1");
  std::string body = page("?multidelete=1&delp=a.prn&delp=c.prn&list=1");
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/a.prn")));
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/thumbs/c.jpeg")));
  EXPECT_TRUE(ld::file_exists(root_("/print/prns/b.prn")));
  EXPECT_NE(body.find("var n_thumbs=1;"), std::string::npos) << body;
}

TEST_F(JobdeskRoad, EveryQueueNameTakenIsShownNotQueued) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  for (int n = 0; n < 100; ++n) testkit::spit(root_("/print/printq/a_") + std::to_string(n) + ".prn", "");
  std::string queue = page("?prn=a.prn&from=1&to=1&dm_copies=1&do_print=Print");
  EXPECT_NE(queue.find("var popup_title=\"Job already in queue\";"), std::string::npos) << queue;
  EXPECT_NE(queue.find("var popup_msg=\"a.prn\";"), std::string::npos) << queue;
  EXPECT_NE(queue.find("var n_thumbs=0;"), std::string::npos);
}

// The whole road: printed from the job page's form, filtered by spoold, sent by pjlsend, and
// received by the printer stand-in.
TEST_F(JobdeskRoad, PrintedFromTheJobPageReachesThePrinter) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  testkit::SimPrinter printer(root_("/printer"), {"--set", "chunked="});
  ASSERT_TRUE(printer.ok()) << printer.error();
  printer.export_endpoints();
  testkit::StatusKeeper keeper(printer);
  ASSERT_TRUE(keeper.started());
  library_job("Shelf label", 2);
  std::string queue = page("?prn=Shelf%20label.prn&from=1&to=2&dm_copies=1&do_print=Print");
  ASSERT_NE(queue.find("<td class='vpdq'>Shelf label"), std::string::npos) << queue;
  std::string out;
  EXPECT_EQ(testkit::run({bin("spoold")}, &out, &out), 1) << out;
  EXPECT_EQ(testkit::run({bin("pjlsend")}, &out, &out), 1) << out;
  EXPECT_TRUE(printer.raw_log_has("job 1 name Shelf label_0.prn")) << printer.raw_log();
  EXPECT_TRUE(printer.raw_log_has_prefix("job 1 end ")) << printer.raw_log();
  EXPECT_NE(page("?printq=1").find("var n_thumbs=0;"), std::string::npos);
}

}  // namespace

// A request names a job by its name alone: a name holding "key=value" text is no key of its own,
// and a queue index that is not a whole number in range changes nothing (names that are paths:
// jobdesk_hostile_test).
TEST_F(JobdeskRoad, NoRequestActsOnAJobItDoesNotName) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("a");
  library_job("b");
  library_job("x printq=1 delete=0");
  page("?prn=a.prn&from=1&to=1&dm_copies=1&do_print=Print");
  page("?prn=b.prn&from=1&to=1&dm_copies=1&do_print=Print");

  std::string body = page("?prn=x+printq=1+delete=0.prn&npages=1");
  EXPECT_NE(body.find("name='do_print'"), std::string::npos) << body;  // the job's own page
  page("?printq=pause");  // the queue stays as it is while the cases run
  for (const char* query : {"?printq=1&delete=", "?printq=1&delete=x", "?printq=1&delete=1x",
                            "?printq=1&delete=-1", "?printq=1&delete=+0", "?printq=1&delete=%200",
                            "?printq=1&delete=0.5", "?printq=1&delete=4294967296",
                            "?printq=1&movedown=", "?printq=1&movedown=0x", "?printq=1&moveup=1+",
                            "?printq=1&moveup=99999999999"}) {
    page(query);
  }
  std::string queue = page("?printq=1");
  EXPECT_LT(queue.find("vpdq'>a"), queue.find("vpdq'>b")) << queue;
  EXPECT_NE(queue.find("vpdq'>b"), std::string::npos) << queue;
  page("?printq=1&delete=0");  // a whole number in range still acts
  queue = page("?printq=1");
  EXPECT_EQ(queue.find("vpdq'>a"), std::string::npos) << queue;
}

// Only the page's own upper-case codes are turned back: deleting the job "x%2by" through the
// link the page builds for it leaves the job "x+y" alone.
TEST_F(JobdeskRoad, LowerCaseCodeInANameIsNoCode) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("x+y");
  library_job("x%2by");
  page("?deletePrn=x%252by.prn&doDelete=Delete");
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/x%2by.prn")));
  EXPECT_TRUE(ld::file_exists(root_("/print/prns/x+y.prn")));
}

// Saving pages 2 to 3 of a three-page job leaves a two-page job: its page-count item, the list
// (through the cache, without a rebuild) and the job page all say 2.
TEST_F(JobdeskRoad, SavedPageRangeCountsItsPages) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("three", 3);
  page("?list=1");  // the cache holds the three-page record
  page("?prn=three.prn&inum=0&npages=3&quality=-3&disp_units=1&from=2&to=3&dm_copies_orig=1"
       "&dm_copies=1&saveprn=Save");
  zjs::Reader r;
  std::string err;
  ASSERT_TRUE(r.open(root_("/print/prns/three.prn"), &err) && r.read_signature(false, &err)) << err;
  zjs::ChunkHeader h;
  ASSERT_EQ(r.next_chunk(&h), zjs::Reader::kOk);
  uint32_t stated = 0;
  zjs::Item it;
  for (uint32_t i = 0; i < h.items && r.next_item(&it) == zjs::Reader::kOk; ++i)
    if (it.id == zjs::ZJI_PAGECOUNT) stated = it.value;
  int pages = 0;
  while (r.next_chunk(&h) == zjs::Reader::kOk) pages += h.type == zjs::START_PAGE;
  EXPECT_EQ(pages, 2);
  EXPECT_EQ(stated, 2u);
  std::string list = page("?list=1");
  EXPECT_NE(list.find("?prn=three.prn\\x26npages=2"), std::string::npos) << list;
  EXPECT_EQ(web_.cgi_log().find("does not match number of prns 1"), std::string::npos) << web_.cgi_log();
  std::string job = page("?prn=three.prn&inum=0");
  EXPECT_NE(job.find("var n_options=4;"), std::string::npos) << job;  // still a page range: 2 pages
}
