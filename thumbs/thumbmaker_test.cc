#include "thumbs/thumbmaker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "testkit/zjsgen.h"
#include "thumbs/pagedecode.h"
#include "thumbs/thumbjpeg.h"
#include "testkit/capture.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

using testkit::CapturedFile;

struct ArgCase {
  std::vector<std::string> args;
  int rc;
  std::string out;
  int debug, start;
  bool all, scale_given;
};

TEST(Thumbmaker, Arguments) {
  testkit::TempRoot root;
  const ArgCase cases[] = {
      {{}, -1, "", 0, 0, false, false},
      {{"-d", "j.prn"}, -1, "", 1, 0, false, false},
      {{"-dx"}, -1, "", 1, 0, false, false},
      {{"-dd"}, -1, "", 2, 0, false, false},
      {{"-ddd", "-a", "-p", "3"}, -1, "", 3, 3, true, false},
      {{"-q", "1"}, -1, "", 0, 0, false, true},
      {{"-q", "255"}, -1, "", 0, 0, false, true},
      {{"-q", "0"}, 0, "invalid scale factor\n", 0, 0, false, false},
      {{"-q", "256", "j.prn"}, 0, "invalid scale factor\n", 0, 0, false, false},
      {{root.path()}, 0, "invalid prn!\n", 0, 0, false, false},
      // A value left out: the usage, and nothing is run.
      {{"-p"}, 1, "", 0, 0, false, false},
      {{"-a", "-q"}, 1, "", 0, 0, false, false},
      {{"j.prn", "-p"}, 1, "", 0, 0, false, false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> a = {"thumbmaker"};
    a.insert(a.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    ThumbOptions o;
    CapturedFile out, err;
    EXPECT_EQ(parse_thumb_args(static_cast<int>(argv.size()), argv.data(), &o, out.get(), err.get()), c.rc);
    EXPECT_EQ(out.text(), c.out);
    EXPECT_EQ(err.text().find("usage: thumbmaker") != std::string::npos, c.rc == 1) << err.text();
    if (c.rc >= 0) continue;
    EXPECT_EQ(o.debug, c.debug);
    EXPECT_EQ(o.start_page, c.start);
    EXPECT_EQ(o.all, c.all);
    EXPECT_EQ(o.scale_given, c.scale_given);
  }
}

// The APP9 payload text and numbers of a thumbnail.
struct Marker {
  std::string text;
  int pages = -1, page = -1, value = -1;
};
Marker marker_of(const std::string& path) {
  Marker m;
  std::string f = testkit::slurp(path);
  if (f.size() < 6) return m;
  size_t at = 4 + ((uint8_t(f[4]) << 8) | uint8_t(f[5]));
  if (f.size() < at + kApp9Size || uint8_t(f[at + 1]) != 0xE9) return m;
  m.text = std::string(f.c_str() + at + 4);
  auto le = [&](size_t o) { return uint8_t(f[at + o]) | uint8_t(f[at + o + 1]) << 8; };
  m.pages = le(34);
  m.page = le(36);
  m.value = le(38);
  return m;
}

std::string zx_job(int pages, uint32_t copies = 1, uint32_t version = 1) {
  testkit::ZxPageSpec gen;
  gen.copies = copies;
  gen.version = version;
  return testkit::make_zx_job(testkit::test_picture(300, 200), gen, pages);
}

// A run of the renderer with its console captured and a clock that does not wait.
class ThumbmakerRun : public ::testing::Test {
 protected:
  ThumbmakerRun() {
    ctx.out = out.get();
    ctx.err = err.get();
    ctx.clock = &clock;
  }
  testkit::TempRoot root;
  ld::FakeClock clock;
  CapturedFile out, err;
  ThumbContext ctx;
};

TEST_F(ThumbmakerRun, OneJobAllPagesAndBakNames) {
  ThumbOptions o;
  o.job = testkit::write_temp(root, "two.prn", zx_job(2, 4));
  o.all = true;
  EXPECT_EQ(render_job(o, ctx), 0);
  EXPECT_TRUE(ld::file_exists(root.path() + "/two_000_small.jpeg"));
  EXPECT_TRUE(ld::file_exists(root.path() + "/two_001_small.jpeg"));
  EXPECT_FALSE(ld::file_exists(root.path() + "/two_002_small.jpeg"));
  Marker m = marker_of(root.path() + "/two_001_small.jpeg");
  EXPECT_EQ(m.text, "TAVU page 1 of 2");
  EXPECT_EQ(m.pages, 2);
  EXPECT_EQ(m.page, 1);
  EXPECT_EQ(m.value, 4);

  o.all = false;
  o.job = testkit::write_temp(root, "x.prn.bak", zx_job(3));
  EXPECT_EQ(render_job(o, ctx), 0);
  EXPECT_EQ(marker_of(root.path() + "/x.jpeg").text, "TAVU page 0 of 3");
  o.start_page = 5;  // beyond the job: nothing written
  o.job = testkit::write_temp(root, "y.prn", zx_job(1));
  EXPECT_EQ(render_job(o, ctx), 0);
  EXPECT_FALSE(ld::file_exists(root.path() + "/y.jpeg"));
  o.job = root.path() + "/missing.prn";
  EXPECT_EQ(render_job(o, ctx), 0);
  EXPECT_NE(out.text().find("could not open file\n"), std::string::npos);
}

TEST(Thumbmaker, ScaleOptionMakesSmallerPictures) {
  testkit::TempRoot root;
  ThumbContext ctx;
  CapturedFile out;
  ctx.out = out.get();
  ThumbOptions o;
  o.job = testkit::write_temp(root, "s.prn", zx_job(1));
  o.scale = 4;
  o.scale_given = true;
  EXPECT_EQ(render_job(o, ctx), 0);
  testkit::Picture pic;
  std::string err;
  ASSERT_TRUE(testkit::load_picture(root.path() + "/s.jpeg", &pic, &err)) << err;
  EXPECT_EQ(pic.width, 75u);
}

TEST(Thumbmaker, PlaceholderForAnUndecodablePage) {
  testkit::TempRoot root;
  ThumbContext ctx;
  CapturedFile out;
  ctx.out = out.get();
  ThumbOptions o;
  o.job = testkit::write_temp(root, "u.prn", zx_job(2, 1, 7));
  EXPECT_EQ(render_job(o, ctx), 0);
  EXPECT_NE(out.text().find("page 0 of " + o.job + " cannot be decoded (unknown page-data version 7): placeholder thumbnail"),
            std::string::npos) << out.text();
  EXPECT_EQ(marker_of(root.path() + "/u.jpeg").text, "TAVU page 0 of 2");
  testkit::Picture pic;
  std::string err;
  ASSERT_TRUE(testkit::load_picture(root.path() + "/u.jpeg", &pic, &err));
  EXPECT_EQ(pic.width, 200u);  // 300 x 200 page
  EXPECT_EQ(pic.height, 133u);
}

TEST_F(ThumbmakerRun, UnwritablePictureEndsTheRun) {
  ThumbOptions o;
  std::string job = testkit::write_temp(root, "w.prn", zx_job(1));
  ld::make_dirs(root.path() + "/w.jpeg");  // a folder where the picture should go
  o.job = job;
  EXPECT_EQ(render_job(o, ctx), 1);
  EXPECT_EQ(err.text(), "can't open " + root.path() + "/w.jpeg\n");
}

TEST_F(ThumbmakerRun, WaitingDirectory) {
  const std::string wait = root("/print/prns/tmp/");
  testkit::spit(wait + "a.prn", zx_job(3, 2));
  testkit::spit(wait + "b.prn.bak", zx_job(1));
  testkit::spit(wait + "broken.prn", zx_job(2, 1, 9));       // undecodable: placeholder
  testkit::spit(wait + "junk.prn", "this is not a job");       // never readable: moved away
  testkit::spit(wait + "busy.prn", zx_job(1));                 // in work by a live run: skipped
  ld::make_dirs(wait + "thumbs");
  testkit::spit(wait + "thumbs/busy.jpeg", "");
  ld::UniqueFd live(::open((wait + "thumbs/busy.jpeg").c_str(), O_RDWR));
  ASSERT_EQ(::flock(live.get(), LOCK_EX), 0);
  testkit::spit(wait + "stale.prn", zx_job(1));                // its run was killed: taken up
  testkit::spit(wait + "thumbs/stale.jpeg", "half a picture");
  testkit::spit(wait + ".incoming-1.prn", zx_job(1));          // still being written
  testkit::spit(wait + "notes.txt", "x");
  ASSERT_EQ(::symlink((wait + "gone").c_str(), (wait + "gone.prn").c_str()), 0);  // cannot be opened
  ASSERT_EQ(::mkfifo((wait + "pipe.prn").c_str(), 0644), 0);                     // no job: moved away
  testkit::JobSpec empty;
  empty.pages = 0;
  testkit::spit(wait + "empty.prn", testkit::make_job(empty));  // no page 0: moved, no picture

  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(clock.slept_ms(), 5000);  // a, b, broken, empty, stale
  auto prns = testkit::list_dir(root("/print/prns"));
  for (const char* name : {"a.prn", "b.prn.bak", "broken.prn", "empty.prn", "stale.prn"})
    EXPECT_NE(std::find(prns.begin(), prns.end(), name), prns.end()) << name;
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")),
            (std::vector<std::string>{"a.jpeg", "b.jpeg", "broken.jpeg", "stale.jpeg"}));
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/stale.jpeg")).text, "TAVU page 0 of 1");
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/a.jpeg")).text, "TAVU page 0 of 3");
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/a.jpeg")).value, 2);
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/broken.jpeg")).text, "TAVU page 0 of 2");
  EXPECT_EQ(testkit::list_dir(wait),
            (std::vector<std::string>{".incoming-1.prn", "busy.prn", "gone.prn", "notes.txt", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(rejected_dir()), (std::vector<std::string>{"junk.prn", "pipe.prn"}));
  EXPECT_EQ(testkit::list_dir(wait + "thumbs"), std::vector<std::string>{"busy.jpeg"});
  std::string text = out.text();
  EXPECT_NE(text.find("could not open file\nskipped " + wait + "gone.prn"), std::string::npos) << text;
  EXPECT_NE(text.find("not a regular file: " + wait + "pipe.prn moved to " + rejected_dir() + "pipe.prn"),
            std::string::npos) << text;
  EXPECT_NE(text.find("taking up " + wait + "stale.prn again"), std::string::npos) << text;
  EXPECT_NE(text.find("not a job stream: " + wait + "junk.prn moved to " + rejected_dir() + "junk.prn"),
            std::string::npos) << text;

  // A second run finds only what it cannot do anything with, and a junk name taken already.
  testkit::spit(wait + "junk.prn", "again");
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::list_dir(rejected_dir()), (std::vector<std::string>{"junk.prn", "junk.prn-1", "pipe.prn"}));
  EXPECT_EQ(testkit::list_dir(wait + "thumbs"), std::vector<std::string>{"busy.jpeg"});
}

// Jobs whose names differ only after a ".prn" keep apart thumbnails: each is named after the
// file name up to its last ".prn", the base name that the job browser looks for.
TEST_F(ThumbmakerRun, ThumbnailsOfJobsNamedAlikeDoNotCollide) {
  const std::string wait = root("/print/prns/tmp/");
  testkit::spit(wait + "label.prn", zx_job(1));
  testkit::spit(wait + "label.prn.prn", zx_job(2));
  testkit::spit(wait + "label.prnx.prn", zx_job(3));
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")),
            (std::vector<std::string>{"label.jpeg", "label.prn.jpeg", "label.prnx.jpeg"}));
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/label.jpeg")).pages, 1);
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/label.prn.jpeg")).pages, 2);
  EXPECT_EQ(marker_of(root("/print/prns/thumbs/label.prnx.jpeg")).pages, 3);
}

// A name taken in the library since the job arrived (an import, a rename) is never replaced:
// the waiting job takes the next free number, with its thumbnail.
TEST_F(ThumbmakerRun, AJobNeverReplacesALibraryJob) {
  const std::string wait = root("/print/prns/tmp/"), lib = root("/print/prns/");
  testkit::spit(wait + "a.prn", zx_job(2));
  testkit::spit(lib + "a.prn", "the library's a");
  testkit::spit(lib + "thumbs/a.jpeg", "its thumbnail");
  testkit::spit(lib + "thumbs/a1.jpeg", "a thumbnail without its job");
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::slurp(lib + "a.prn"), "the library's a");
  EXPECT_EQ(testkit::slurp(lib + "thumbs/a.jpeg"), "its thumbnail");
  EXPECT_EQ(testkit::slurp(lib + "thumbs/a1.jpeg"), "a thumbnail without its job");
  EXPECT_EQ(testkit::slurp(lib + "a2.prn"), zx_job(2));
  EXPECT_EQ(marker_of(lib + "thumbs/a2.jpeg").pages, 2);
  EXPECT_EQ(testkit::list_dir(wait), std::vector<std::string>{"thumbs"});
  EXPECT_NE(out.text().find("a.prn is taken in the library: stored as a2.prn"), std::string::npos) << out.text();
}

TEST_F(ThumbmakerRun, AThumbnailThatCannotBeMovedKeepsTheJobWaiting) {
  const std::string wait = root("/print/prns/tmp/");
  testkit::spit(wait + "a.prn", zx_job(1));
  ld::remove_tree(root("/print/prns/thumbs"));
  testkit::spit(root("/print/prns/thumbs"), "");  // no folder for the finished thumbnails
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::list_dir(wait), (std::vector<std::string>{"a.prn", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(wait + "thumbs"), std::vector<std::string>{});
  EXPECT_NE(out.text().find("cannot move " + wait + "thumbs/a.jpeg"), std::string::npos) << out.text();

  // Once the folder can be made, the next run finishes the job.
  ld::remove_file(root("/print/prns/thumbs"));
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")), std::vector<std::string>{"a.jpeg"});
  auto prns = testkit::list_dir(root("/print/prns"));
  EXPECT_NE(std::find(prns.begin(), prns.end(), "a.prn"), prns.end());
}

TEST_F(ThumbmakerRun, AThumbnailThatCannotBeWrittenSkipsOnlyItsJob) {
  const std::string wait = root("/print/prns/tmp/");
  for (const char* name : {"a.prn", "big.prn", "c.prn"}) testkit::spit(wait + name, zx_job(1));
  // The disk is full for big's picture: its bytes go to /dev/full.
  ctx.write_fd = [](int fd, const std::string& path, const ThumbPicture& pic, std::string* err) {
    if (path.size() < 8 || path.compare(path.size() - 8, 8, "big.jpeg") != 0)
      return write_thumbnail_fd(fd, path, pic, err);
    ld::UniqueFd full(::open("/dev/full", O_WRONLY));
    return write_thumbnail_fd(full.get(), path, pic, err);
  };
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 1);
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")), (std::vector<std::string>{"a.jpeg", "c.jpeg"}));
  EXPECT_EQ(testkit::list_dir(wait), (std::vector<std::string>{"big.prn", "thumbs"}));
  EXPECT_EQ(testkit::list_dir(wait + "thumbs"), std::vector<std::string>{});  // nothing left to block it
  EXPECT_NE(err.text().find("cannot write " + wait + "thumbs/big.jpeg: "), std::string::npos) << err.text();
  EXPECT_NE(out.text().find("skipped " + wait + "big.prn for this run"), std::string::npos) << out.text();

  // With room on the disk the next run finishes it.
  ctx.write_fd = write_thumbnail_fd;
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")),
            (std::vector<std::string>{"a.jpeg", "big.jpeg", "c.jpeg"}));
}

TEST(Thumbmaker, WorkingPictureClaims) {
  testkit::TempRoot root;
  const std::string work = root.path() + "/w.jpeg";
  ld::UniqueFd a, b;
  std::string err;
  EXPECT_EQ(claim_working_picture(work, &a, &err), Claim::kClaimed);
  EXPECT_EQ(claim_working_picture(work, &b, &err), Claim::kInWork);  // held by a live writer
  EXPECT_FALSE(b.valid());
  a.reset();  // the writer is gone, its picture stays
  EXPECT_EQ(claim_working_picture(work, &b, &err), Claim::kStale);
  EXPECT_EQ(claim_working_picture(work, &a, &err), Claim::kInWork);
  ld::make_dirs(root.path() + "/d.jpeg");  // a folder in the way
  EXPECT_EQ(claim_working_picture(root.path() + "/d.jpeg", &a, &err), Claim::kFailed);
  EXPECT_NE(err.find("cannot open " + root.path() + "/d.jpeg"), std::string::npos) << err;
}

// Small crafted jobs whose pages cost minutes of CPU or far too much memory when decoded
// carelessly: each gets its picture, and so does the job sorted after them.
TEST_F(ThumbmakerRun, CostlyCraftedJobsDoNotHoldUpTheOthers) {
  const std::string wait = root("/print/prns/tmp/");
  testkit::spit(wait + "a-stripes.prn",
                testkit::make_zx_job_of(1000, 10000, testkit::zx_gapped_stripes(1000, 10000, 50000)));
  testkit::spit(wait + "b-gradients.prn",
                testkit::make_zx_job_of(1000000, 10000000, testkit::zx_long_gradients(2400)));
  const testkit::DriverJob& tall = testkit::tall_driver_job();
  if (tall.cannot_start()) GTEST_SKIP() << tall.error;
  ASSERT_TRUE(tall.ok()) << tall.error;
  testkit::spit(wait + "c-tall.prn", tall.bytes);
  testkit::spit(wait + "d-after.prn", zx_job(1));
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0) << out.text() << err.text();
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")),
            (std::vector<std::string>{"a-stripes.jpeg", "b-gradients.jpeg", "c-tall.jpeg", "d-after.jpeg"}));
  EXPECT_EQ(out.text().find("placeholder"), std::string::npos) << out.text();
  testkit::Picture pic;
  std::string why;
  ASSERT_TRUE(testkit::load_picture(root("/print/prns/thumbs/b-gradients.jpeg"), &pic, &why)) << why;
  EXPECT_EQ(pic.width, 1000u);
  EXPECT_GT(pic.rgb[0], 200);        // red up to column 100 of the page
  EXPECT_GT(pic.rgb[600 * 3 + 2], 200);  // blue from column 50100 on
}

TEST(Thumbmaker, TallDriverPageDecodesWithinTheBudget) {
  testkit::TempRoot root;
  ZxDoc doc;
  std::string err;
  const testkit::DriverJob& tall = testkit::tall_driver_job();
  if (tall.cannot_start()) GTEST_SKIP() << tall.error;
  ASSERT_TRUE(tall.ok()) << tall.error;
  ASSERT_TRUE(doc.open(testkit::write_temp(root, "tall.prn", tall.bytes), &err));
  doc.read();
  const ZxObject* page = doc.find_page(0);
  ASSERT_NE(page, nullptr);
  PageInfo info;
  ASSERT_TRUE(page_info(doc, page, &info, &err)) << err;
  MemoryBudget budget(kDecodeBudget);
  PageCanvas canvas;
  ColorFormat fmt;
  fmt.format = info.format;
  ASSERT_TRUE(canvas.init(thumb_geometry(info.width, info.height), fmt, &budget));
  // The whole plane alone (48 MiB) would not fit beside the picture.
  EXPECT_EQ(decode_page(doc, page, info, &canvas, nullptr, &err), 0) << err;
  EXPECT_LE(budget.peak(), kDecodeBudget);
  EXPECT_EQ(budget.used(), canvas.rgb().size());
}

TEST(Thumbmaker, MissingWaitingDirectory) {
  testkit::TempRoot root;
  ld::remove_tree(root("/print/prns/tmp"));
  ThumbContext ctx;
  EXPECT_EQ(process_waiting(ThumbOptions(), ctx), 0);
}

}  // namespace
}  // namespace thumbs
