// Power cuts while the touch screen changes the library: the job browser's rename, delete, save
// and print, run through real lighttpd with the whole appliance root (the CGI program and its
// documents included) on cutfs. Each road runs its requests once with the power on (which
// times them and shows the road reaches its end), then cuts at random moments within that
// time, reboots (lighttpd again, the list page first, as the screen would show it) and checks
// what the library, its cache and the queue hold. A longer campaign:
//   LABELDOCK_CUTS=100 LABELDOCK_CUT_SEED=3 build/tests/powercut_desk_test
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "spooler/queue_file.h"
#include "tests/powercut_fixture.h"
#include "testkit/webserver.h"
#include "testkit/zjsgen.h"

namespace {

using powercut::bin;
using powercut::slurp;

constexpr size_t kCacheRecord = 11696;  // one job record of the cache file "prn_meta"

// The pages a whole job holds and the count its START_DOC states; -1 when it is not whole.
struct Pages {
  int held = -1;
  int stated = -1;
};
Pages pages_of(const std::string& path) {
  Pages p;
  zjs::Reader r;
  std::string err;
  if (!zjs::stream_is_whole(path) || !r.open(path, &err) || !r.read_signature(false, &err)) return p;
  zjs::ChunkHeader h;
  if (r.next_chunk(&h) != zjs::Reader::kOk) return p;
  zjs::Item it;
  for (uint32_t i = 0; i < h.items && r.next_item(&it) == zjs::Reader::kOk; ++i)
    if (it.id == zjs::ZJI_PAGECOUNT) p.stated = static_cast<int>(it.value);
  p.held = 0;
  while (r.next_chunk(&h) == zjs::Reader::kOk) p.held += h.type == zjs::START_PAGE;
  return p;
}

class DeskCut : public powercut::PowerCut {
 protected:
  void SetUp() override {
    PowerCut::SetUp();
    if (IsSkipped()) return;
    for (const char* d : {"/var/log/lighttpd", "/var/cache/lighttpd/uploads", "/etc/lighttpd"}) ld::make_dirs(template_ + d);
    for (const char* doc : {"local.json", "system.json", "tags.json"})
      testkit::spit(template_ + "/var/www/html/cgi-bin/" + doc,
                    slurp(std::string(LABELDOCK_SOURCE_DIR) + "/jobdesk/samples/" + doc));
    // The page's thumbnail folder is the library's, as on the appliance.
    ASSERT_EQ(::symlink("../../../print/prns/thumbs", (template_ + "/var/www/html/thumbs").c_str()), 0);
    std::string err;
    ASSERT_TRUE(testkit::install_cgi(template_, bin("jobdesk"), &err)) << err;
    // The configuration names the mount point, where lighttpd finds the card.
    port_ = testkit::free_port();
    testkit::WebServerOptions opt;
    opt.root = mnt_;
    opt.port = port_;
    std::string conf;
    ASSERT_TRUE(testkit::lighttpd_config(opt, &conf, &err)) << err;
    testkit::spit(template_ + "/etc/lighttpd/lighttpd.conf", conf);
  }

  void library_job(const std::string& name, int pages) { template_job("/print/prns/", name, pages); }

  std::unique_ptr<testkit::Process> web_server() {
    auto p = powercut::start({testkit::lighttpd_binary(), "-D", "-f", mnt_ + "/etc/lighttpd/lighttpd.conf"});
    EXPECT_TRUE(testkit::wait_for_port(port_)) << slurp(mnt_ + "/var/log/lighttpd/error.log");
    return p;
  }
  testkit::HttpResponse get(const std::string& query) {
    return testkit::http_get(port_, "/cgi-bin/jobdesk" + query, 30000);
  }

  // The starting card: the library as the screen lists it, its cache written, all of it durable.
  void boot_fresh_card(std::vector<std::unique_ptr<testkit::Process>>* programs) {
    card_from_template();
    ASSERT_TRUE(power_on(false));
    programs->push_back(web_server());
    ASSERT_EQ(get("?list=1").status, 200);
    ASSERT_TRUE(mount_->sync());
  }

  // Runs the requests one after another; the power goes after `cut_ms` (never when negative).
  // Returns how many were answered before the cut.
  int drive(const std::vector<std::string>& queries, int cut_ms,
            std::vector<std::unique_ptr<testkit::Process>>* programs) {
    std::atomic<int> answered{0};
    std::thread client([&] {
      for (const std::string& q : queries) {
        testkit::HttpResponse r = get(q);
        if (r.status != 200) return;
        ++answered;
      }
    });
    if (cut_ms >= 0) cut_after(cut_ms, *programs);
    client.join();
    return answered;
  }

  // The road once with the power on: how long it takes (the range of the cuts) and that every
  // request is answered.
  int dry_run(const std::vector<std::string>& queries) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    boot_fresh_card(&programs);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(drive(queries, -1, &programs), static_cast<int>(queries.size()));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    return static_cast<int>(ms.count());
  }

  // The rebooted board: lighttpd on what is left and the list page, as the screen shows it
  // first. Returns the list page.
  std::string reboot() {
    EXPECT_TRUE(power_on(false));
    auto server = web_server();
    testkit::HttpResponse r = get("?list=1");
    check(r.status == 200, "the list page after the reboot: " + r.error + r.status_line);
    return r.body;
  }

  bool job_whole(const std::string& name) {
    const std::string job = mnt_ + "/print/prns/" + name + ".prn";
    return zjs::stream_is_whole(job) && powercut::marker_of(mnt_ + "/print/prns/thumbs/" + name + ".jpeg").rfind("TAVU page", 0) == 0;
  }
  bool job_there(const std::string& name) { return ld::file_exists(mnt_ + "/print/prns/" + name + ".prn"); }

  // What holds after every cut: the jobs no request touched are whole with their thumbnails,
  // every job of the library is, the cache reads and holds one record per job, and the queue
  // reads with every record naming a whole file.
  void check_card(const std::set<std::string>& untouched) {
    for (const std::string& n : untouched) check(job_whole(n), n + " was not touched and is not whole with its thumbnail");
    const int jobs = check_library();
    const std::string cache = slurp(mnt_ + "/print/prns/prn_meta");
    check(cache.size() >= 4 && cache.compare(0, 4, std::string("\x02\0\0\0", 4)) == 0 &&
              (cache.size() - 4) % kCacheRecord == 0 && (cache.size() - 4) / kCacheRecord == size_t(jobs),
          "the cache does not read as " + std::to_string(jobs) + " records: " + std::to_string(cache.size()) + " bytes");
    for (const spooler::queue_record& r : spooler::get_printq(spooler::Config{}))
      check(zjs::stream_is_whole(r.path), std::string("the queue names ") + r.path + ", which is not a whole job");
  }

  int port_ = -1;
};

// A chain of renames r0 -> r1 -> ... -> r8. After the cut and the first list the job stands
// under exactly one of its names, whole and with its thumbnail (a job whose thumbnail kept the
// other name would be taken for a broken one and removed); a rename the screen saw done holds.
TEST_F(DeskCut, RenameLeavesTheJobUnderOneOfItsNames) {
  library_job("keep one", 1);
  library_job("keep two", 2);
  library_job("r0", 2);
  constexpr int kRenames = 8;
  std::vector<std::string> queries;
  for (int k = 0; k < kRenames; ++k)
    queries.push_back("?renamePrn=r" + std::to_string(k) + ".prn&renamePrnTo=r" + std::to_string(k + 1) + "&doRename=Rename");
  const int span = dry_run(queries);
  EXPECT_TRUE(job_whole("r" + std::to_string(kRenames)));
  for (int round = 0; round < cuts_; ++round) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    boot_fresh_card(&programs);
    const int answered = drive(queries, random_ms(0, span), &programs);
    reboot();
    std::vector<int> under;
    for (int k = 0; k <= kRenames; ++k)
      if (job_there("r" + std::to_string(k))) under.push_back(k);
    check(under.size() == 1, "the renamed job stands under " + std::to_string(under.size()) + " of its names");
    if (under.size() != 1) continue;
    const int at = under[0];
    check(job_whole("r" + std::to_string(at)), "r" + std::to_string(at) + " is not whole with its thumbnail");
    check(at >= answered && at <= answered + 1, std::to_string(answered) + " renames were answered, the job is r" +
                                                     std::to_string(at));
    check_card({"keep one", "keep two"});
    if (verbose_) std::printf("%d renames answered, the job is r%d\n", answered, at);
  }
  report("jobdesk rename");
}

// Deletes one by one and a multi-delete. A deleted job is gone or still whole with its
// thumbnail, never cut; one whose delete was answered is gone; one not yet asked is whole.
TEST_F(DeskCut, DeleteLeavesAJobGoneOrWhole) {
  library_job("keep one", 1);
  for (int k = 0; k < 6; ++k) library_job("d" + std::to_string(k), 1 + k % 2);
  const std::vector<std::string> queries = {"?deletePrn=d0.prn&doDelete=Delete", "?deletePrn=d1.prn&doDelete=Delete",
                                            "?multidelete=1&delp=d2.prn&delp=d3.prn&list=1",
                                            "?deletePrn=d4.prn&doDelete=Delete", "?deletePrn=d5.prn&doDelete=Delete"};
  const std::vector<std::vector<std::string>> deleted = {{"d0"}, {"d1"}, {"d2", "d3"}, {"d4"}, {"d5"}};
  const int span = dry_run(queries);
  for (int k = 0; k < 6; ++k) EXPECT_FALSE(job_there("d" + std::to_string(k)));
  for (int round = 0; round < cuts_; ++round) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    boot_fresh_card(&programs);
    const int answered = drive(queries, random_ms(0, span), &programs);
    reboot();
    for (int i = 0; i < static_cast<int>(deleted.size()); ++i) {
      for (const std::string& n : deleted[i]) {
        if (i < answered) check(!job_there(n), n + " was deleted before the cut and is back");
        else if (i > answered) check(job_whole(n), n + " was never deleted and is not whole");
        else check(!job_there(n) || job_whole(n), n + " is neither gone nor whole");
      }
    }
    check_card({"keep one"});
  }
  report("jobdesk delete");
}

// Saves of a page range in place, each dropping the last page of a six-page job. After the cut
// the job is the one before the save or the one after it, whole, its page-count item telling
// its pages, with its thumbnail; the list shows its true page count; a save answered holds.
TEST_F(DeskCut, SaveInPlaceLeavesTheOldOrTheNewJobWhole) {
  library_job("keep one", 1);
  library_job("s", 6);
  std::vector<std::string> queries;
  for (int to = 5; to >= 2; --to)
    queries.push_back("?prn=s.prn&inum=0&npages=" + std::to_string(to + 1) +
                      "&quality=-3&disp_units=1&from=1&to=" + std::to_string(to) + "&dm_copies_orig=1&dm_copies=1&saveprn=Save");
  const int span = dry_run(queries);
  EXPECT_EQ(pages_of(mnt_ + "/print/prns/s.prn").held, 2);
  for (int round = 0; round < cuts_; ++round) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    boot_fresh_card(&programs);
    const int answered = drive(queries, random_ms(0, span), &programs);
    const std::string list = reboot();
    const Pages p = pages_of(mnt_ + "/print/prns/s.prn");
    const int done = 6 - answered;
    check(p.held == done || (p.held == done - 1 && answered < static_cast<int>(queries.size())),
          std::to_string(answered) + " saves were answered and the job holds " + std::to_string(p.held) + " pages");
    check(p.stated == p.held, "the job says " + std::to_string(p.stated) + " pages and holds " + std::to_string(p.held));
    check(list.find("?prn=s.prn\\x26npages=" + std::to_string(p.held)) != std::string::npos,
          "the list does not show the job's " + std::to_string(p.held) + " pages");
    check_card({"keep one", "s"});
    if (verbose_) std::printf("%d saves answered, the job holds %d pages\n", answered, p.held);
  }
  report("jobdesk save");
}

// Prints of one job, each queueing a copy. After the cut the queue reads, every record names a
// whole copy, and every print the screen saw queued is in it, at most the one under way more.
TEST_F(DeskCut, PrintQueuesWholeCopiesOnly) {
  library_job("keep one", 1);
  library_job("p", 2);
  const std::vector<std::string> queries(5, "?prn=p.prn&from=1&to=2&dm_copies=1&do_print=Print");
  const int span = dry_run(queries);
  EXPECT_EQ(spooler::get_printq(spooler::Config{}).size(), queries.size());
  const std::string job = slurp(template_ + "/print/prns/p.prn");
  for (int round = 0; round < cuts_; ++round) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    boot_fresh_card(&programs);
    const int answered = drive(queries, random_ms(0, span), &programs);
    reboot();
    const std::vector<spooler::queue_record> q = spooler::get_printq(spooler::Config{});
    const int n = static_cast<int>(q.size());
    check(n >= answered && n <= answered + 1,
          std::to_string(answered) + " prints were answered and the queue holds " + std::to_string(n));
    for (const spooler::queue_record& r : q) check(slurp(r.path) == job, std::string(r.path) + " is not a whole copy of p.prn");
    check_card({"keep one", "p"});
  }
  report("jobdesk print");
}

}  // namespace
