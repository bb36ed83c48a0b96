// The road of a job set copied from a USB stick into the upload directory: the real uploadcheck
// judges every job against the printer model, passes the ones that ask for it through the filter,
// imports those whose thumbnail thumbmaker marked and hands the rest to the waiting directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/fsops.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "library/tagscan.h"

namespace {

using testkit::bin;

zjs::Item item(uint16_t id, uint32_t value) {
  zjs::Item it;
  it.id = id;
  it.value = value;
  return it;
}

struct UploadRoot {
  testkit::TempRoot root;
  std::string up = root("/print/tmp/");
  UploadRoot(const char* firmware) {
    root.install_recording_log_client();
    for (const char* d : {"/print/tmp/thumbs", "/print/prns/thumbs", "/print/prns/tmp"}) ld::make_dirs(root(d));
    testkit::spit(root("/var/www/html/cgi-bin/system.json"),
                  std::string(R"({"system":{"FirmwareVersion":")") + firmware + R"("}})");
  }
  // A job in the upload directory; with a thumbnail that thumbmaker made for it when marked.
  void job(const std::string& name, std::vector<zjs::Item> doc, bool marked) {
    testkit::JobSpec wanted;
    wanted.doc_items = std::move(doc);
    testkit::spit(up + name, testkit::make_job(wanted));
    if (marked) marked_thumb(name, testkit::slurp(up + name));
  }
  // The thumbnail thumbmaker makes of `job`, as the upload set's thumbnail of `name`.
  void marked_thumb(const std::string& name, const std::string& job) {
    const std::string work = root("/work/");
    ld::make_dirs(work);
    testkit::spit(work + name, job);
    std::string out;
    ASSERT_EQ(testkit::run({bin("thumbmaker"), work + name}, &out, &out), 0) << out;
    const std::string base = name.substr(0, name.rfind(".prn"));
    ASSERT_TRUE(ld::move_file(work + base + ".jpeg", up + "thumbs/" + base + ".jpeg"));
  }
  int run(std::string* out) {
    std::string err;
    return testkit::run({bin("uploadcheck")}, out, &err);
  }
};

std::string no_slash(const std::string& dir) { return dir.substr(0, dir.size() - (dir.back() == '/')); }

int32_t item_in(const std::string& path, int32_t id) {
  library::PrnInfo info;
  info.job_path = path;
  int32_t v = -1;
  if (!library::prn_tag_scan(&info, library::kScanFresh) || !library::find_option(info, id, &v)) return -1;
  return v;
}

TEST(UploadRoad, SetIsSortedIntoLibraryWaitingAndDropped) {
  UploadRoot r("R7_2.01");
  const std::string odd = "it's \"$(touch PWNED)\" `touch BQ` x.prn";
  r.job("marked.prn", {}, true);
  r.job("plain.prn", {}, false);
  r.job("foreign.prn", {item(0x8403, 1)}, true);       // another printer model's job
  r.job("oksa.prn", {item(0x8600, 2)}, false);         // dropped
  r.job("filtered.prn", {item(0x8510, 1)}, true);      // rewritten, then imported
  r.job("a.prn.bak", {}, false);                       // examined like any job
  r.job(odd, {}, true);
  testkit::spit(r.up + "thumbs/bad.jpeg", "not a picture");
  r.job("bad.prn", {}, false);
  testkit::spit(r.up + ".hidden.prn", "x");
  testkit::spit(r.up + "upload.pjl", "x");
  // The library holds a job of the same name already: the new one replaces it.
  testkit::spit(r.root("/print/prns/marked.prn"), "older");
  testkit::spit(r.root("/print/prns/thumbs/marked.jpeg"), "older thumbnail");
  const std::string marked = testkit::slurp(r.up + "marked.prn");
  const std::string marked_thumb = testkit::slurp(r.up + "thumbs/marked.jpeg");

  std::string out;
  ASSERT_EQ(r.run(&out), 0) << out;

  EXPECT_EQ(testkit::list_dir(r.root("/print/prns")),
            (std::vector<std::string>{"filtered.prn", odd, "marked.prn", "thumbs", "tmp"}));
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/thumbs")),
            (std::vector<std::string>{"filtered.jpeg", odd.substr(0, odd.size() - 4) + ".jpeg", "marked.jpeg"}));
  EXPECT_EQ(testkit::slurp(r.root("/print/prns/marked.prn")), marked);
  EXPECT_EQ(testkit::slurp(r.root("/print/prns/thumbs/marked.jpeg")), marked_thumb);
  EXPECT_EQ(item_in(r.root("/print/prns/filtered.prn"), 0x8510), 0);
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/tmp")),
            (std::vector<std::string>{"a.prn", "bad.prn", "plain.prn", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(r.up), (std::vector<std::string>{".hidden.prn", "thumbs", "upload.pjl"}));
  EXPECT_EQ(testkit::list_dir(r.up + "thumbs"), std::vector<std::string>{});
  EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=2\ncopied=6\n");
  EXPECT_TRUE(ld::file_exists(r.root("/tmp/run_prn2jpg")));
  EXPECT_FALSE(ld::file_exists(r.root("/PWNED")) || ld::file_exists("PWNED") || ld::file_exists("BQ"));

  const std::string log = r.root.log_client_output();
  EXPECT_EQ(testkit::count_of(log, "Uploading files ...\n"), 1);
  EXPECT_EQ(testkit::count_of(log, "Upload checking "), 8);
  EXPECT_EQ(testkit::count_of(log, "Remove invalid " + r.up + "foreign.prn 21\n"), 1);
  EXPECT_EQ(testkit::count_of(log, "Drop OKSA file\nRemove invalid " + r.up + "oksa.prn 2-1\n"), 1);
  EXPECT_EQ(testkit::count_of(log, "Import "), 3);
  EXPECT_EQ(testkit::count_of(log, "Recreate jpeg\n"), 3);
  EXPECT_EQ(testkit::count_of(log, "Checking jpeg " + r.up + "thumbs/bad.jpeg\nInvalid jpeg\nRecreate jpeg\n"), 1);
  EXPECT_EQ(testkit::count_of(log, "Invalid jpeg"), 1);
  EXPECT_NE(out.find("mv \"" + r.up + odd + "\" " + r.root("/print/prns") + "\n"), std::string::npos) << out;
}

TEST(UploadRoad, EmptyUploadAppendsZeroCountsAndAsksForNoThumbnails) {
  UploadRoot r("QX9_1");
  std::string out;
  ASSERT_EQ(r.run(&out), 0);
  ASSERT_EQ(r.run(&out), 0);
  EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=0\ncopied=0\ndropped=0\ncopied=0\n");
  EXPECT_FALSE(ld::file_exists(r.root("/tmp/run_prn2jpg")));
}

// Whatever the printer model, only a regular file holding a whole job gets in: the rest is
// refused with a log line, counted as dropped, and its name (never what a link points to) goes.
TEST(UploadRoad, OnlyWholeJobsEnterTheLibrary) {
  testkit::DriverJob driver = testkit::driver_job(testkit::shade_pages(600, 800, {testkit::Shade::kGray}));
  if (driver.cannot_start()) GTEST_SKIP() << "the foo2zjs driver cannot run here: " << driver.error;
  ASSERT_TRUE(driver.ok()) << driver.error;
  for (const char* firmware : {"QX9_1", "T1_1", "R7_2"}) {
    SCOPED_TRACE(firmware);
    UploadRoot r(firmware);
    const bool model0 = firmware[0] == 'Q';
    // A whole job for this model (model 0 jobs carry 0x8403), imported.
    std::string whole = driver.bytes;
    if (model0) {
      testkit::JobSpec s;
      s.doc_items = {item(0x8403, 1)};
      whole = testkit::make_job(s);
    }
    testkit::spit(r.up + "whole.prn", whole);
    r.marked_thumb("whole.prn", whole);
    testkit::spit(r.up + "empty.prn", "");
    testkit::spit(r.up + "text.prn", "Hello, this is not a job\n");
    ld::make_dirs(r.up + "dir.prn");
    testkit::spit(r.up + "dir.prn/inner.prn", whole);
    ASSERT_EQ(::mkfifo((r.up + "fifo.prn").c_str(), 0644), 0);
    // The first 300 bytes of the job, beside the thumbnail of the whole one.
    testkit::spit(r.up + "cut.prn", whole.substr(0, 300));
    r.marked_thumb("cut.prn", whole);
    // A link to a whole job outside the upload folder, with a marked thumbnail.
    const std::string outside = r.root("/outside/job.prn");
    ld::make_dirs(r.root("/outside"));
    testkit::spit(outside, whole);
    ASSERT_EQ(::symlink(outside.c_str(), (r.up + "link.prn").c_str()), 0);
    r.marked_thumb("link.prn", whole);

    std::string out;
    ASSERT_EQ(r.run(&out), 0) << out;
    EXPECT_EQ(testkit::list_dir(r.root("/print/prns")), (std::vector<std::string>{"thumbs", "tmp", "whole.prn"}));
    EXPECT_EQ(testkit::list_dir(r.root("/print/prns/thumbs")), std::vector<std::string>{"whole.jpeg"});
    EXPECT_EQ(testkit::list_dir(r.root("/print/prns/tmp")), std::vector<std::string>{});
    EXPECT_EQ(testkit::list_dir(r.up), (std::vector<std::string>{"dir.prn", "thumbs"}));
    EXPECT_EQ(testkit::list_dir(r.up + "dir.prn"), std::vector<std::string>{"inner.prn"});
    EXPECT_EQ(testkit::list_dir(r.up + "thumbs"), std::vector<std::string>{});
    EXPECT_EQ(testkit::slurp(outside), whole);
    EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=6\ncopied=1\n");
    const std::string log = r.root.log_client_output();
    for (const auto& [name, why] : std::vector<std::pair<std::string, std::string>>{
             {"empty.prn", "not a job stream"},
             {"text.prn", "not a job stream"},
             {"dir.prn", "not a regular file"},
             {"fifo.prn", "not a regular file"},
             {"cut.prn", "not a whole job (cut short or broken)"},
             {"link.prn", "a link"}})
      EXPECT_EQ(testkit::count_of(log, "Refuse " + r.up + name + ": " + why + "\n"), 1) << name << "\n" << log;
    EXPECT_EQ(testkit::count_of(log, "Import "), 1) << log;
  }
}

// The model item is looked for among all of a job's document items, not only the first few.
TEST(UploadRoad, ModelItemAfterManyDocumentItemsDecides) {
  std::vector<zjs::Item> doc;
  for (uint16_t id = 0x8000; id < 0x8000 + 25; ++id) doc.push_back(item(id, 7));
  doc.push_back(item(0x8403, 1));
  for (const auto& [firmware, kept] : {std::pair{"R7_2", false}, {"QX9_1", true}}) {
    UploadRoot r(firmware);
    r.job("late.prn", doc, true);
    std::string out;
    ASSERT_EQ(r.run(&out), 0) << out;
    EXPECT_EQ(ld::file_exists(r.root("/print/prns/late.prn")), kept) << firmware;
    EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), kept ? "dropped=0\ncopied=1\n" : "dropped=1\ncopied=0\n");
  }
}

// The import never follows a link: not the filter's scratch name (a link to a file outside the
// folder stays as it is, and so does that file), not a thumbnail that links to a marked picture
// elsewhere (the job waits for its own thumbnail instead).
TEST(UploadRoad, LinksInTheSetTouchNothingOutsideIt) {
  UploadRoot r("R7_2");
  const std::string victim = r.root("/etc/victim"), picture = r.root("/elsewhere/marked.jpeg");
  ld::make_dirs(r.root("/etc"));
  testkit::spit(victim, "precious");
  ASSERT_EQ(::symlink(victim.c_str(), (r.up + ".uploadcheck.cp").c_str()), 0);
  r.job("filtered.prn", {item(0x8510, 1)}, true);
  r.job("linked.prn", {}, true);
  ld::make_dirs(r.root("/elsewhere"));
  ASSERT_TRUE(ld::move_file(r.up + "thumbs/linked.jpeg", picture));
  ASSERT_EQ(::symlink(picture.c_str(), (r.up + "thumbs/linked.jpeg").c_str()), 0);
  const std::string picture_bytes = testkit::slurp(picture);

  std::string out;
  ASSERT_EQ(r.run(&out), 0) << out;
  EXPECT_EQ(testkit::slurp(victim), "precious");
  EXPECT_EQ(testkit::slurp(picture), picture_bytes);
  EXPECT_EQ(item_in(r.root("/print/prns/filtered.prn"), 0x8510), 0);
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/tmp")), (std::vector<std::string>{"linked.prn", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/thumbs")), std::vector<std::string>{"filtered.jpeg"});
  EXPECT_EQ(testkit::list_dir(r.up), (std::vector<std::string>{".uploadcheck.cp", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(r.up + "thumbs"), std::vector<std::string>{});
  const std::string log = r.root.log_client_output();
  EXPECT_EQ(testkit::count_of(log, "Refuse " + r.up + "thumbs/linked.jpeg: a link\nInvalid jpeg\nRecreate jpeg\n"), 1)
      << log;
}

// An upload thumbs/ that links to the library's thumbnails: a dropped job does not take the
// library job's thumbnail with it, an imported one does not take a library thumbnail as its own.
TEST(UploadRoad, ThumbsFolderThatIsALinkIsNotUsed) {
  UploadRoot r("R7_2");
  const std::string lib = r.root("/print/prns/");
  r.job("keep.prn", {}, true);
  r.job("other.prn", {}, true);
  ASSERT_TRUE(ld::move_file(r.up + "keep.prn", lib + "keep.prn"));
  ASSERT_TRUE(ld::move_file(r.up + "thumbs/keep.jpeg", lib + "thumbs/keep.jpeg"));
  ASSERT_TRUE(ld::move_file(r.up + "thumbs/other.jpeg", lib + "thumbs/other.jpeg"));
  ASSERT_TRUE(ld::remove_tree(r.up + "thumbs"));
  ASSERT_EQ(::symlink(no_slash(lib + "thumbs").c_str(), (r.up + "thumbs").c_str()), 0);
  r.job("keep.prn", {item(0x8403, 1)}, false);  // another model's job of a library job's name: dropped
  r.job("other.prn", {}, false);                 // would find "its" thumbnail in the library

  std::string out;
  ASSERT_EQ(r.run(&out), 0) << out;
  EXPECT_EQ(testkit::list_dir(lib + "thumbs"), (std::vector<std::string>{"keep.jpeg", "other.jpeg"}));
  // Waiting under a name whose thumbnail is free.
  EXPECT_EQ(testkit::list_dir(lib + "tmp"), (std::vector<std::string>{"other1.prn", "thumbs"}));
  EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=1\ncopied=1\n");
  const std::string log = r.root.log_client_output();
  EXPECT_EQ(testkit::count_of(log, "Refuse " + r.up + "thumbs: a link, its thumbnails are not used\n"), 1) << log;
}

}  // namespace
