#include "jobdesk/prnlist.h"

#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/bytes.h"
#include "common/fsops.h"
#include "library/prnrecord.h"
#include "spooler/jobstream.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "testkit/zxpage.h"
#include "library/marker.h"

namespace {

// Messages of one list run, kept in memory.
struct ListRun {
  jobdesk::PrnList l;
  char* text = nullptr;
  size_t len = 0;
  std::vector<std::string> events;
  ListRun() {
    l.err = open_memstream(&text, &len);
    l.log = [this](std::string_view t) { events.emplace_back(t); };
  }
  ~ListRun() {
    fclose(l.err);
    free(text);
  }
  std::string messages() {
    fflush(l.err);
    return std::string(text, len);
  }
};

std::string thumbnail(int pages, int copies) {
  auto seg = library::marker_segment(1, pages, static_cast<uint32_t>(copies));
  std::string j = "\xFF\xD8";
  j.append(reinterpret_cast<const char*>(seg.data()), seg.size());
  return j + "\xFF\xD9";
}

std::string rows_text(const std::vector<jobdesk::ListRow>& rows);

class PrnListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ld::make_dirs(root("/print/prns/thumbs")));
  }
  // A stored job of `pages` pages with its thumbnail ("keep": a marked one, "none": none).
  void add_job(const std::string& file, int pages, std::string thumb = "keep") {
    testkit::JobSpec wanted;
    wanted.pages = pages;
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/" + file), testkit::make_job(wanted)));
    if (thumb == "keep") thumb = thumbnail(pages, 1);
    if (thumb == "none") return;
    std::string base = file.substr(0, file.rfind(".prn"));
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/thumbs/" + base + ".jpeg"), thumb));
  }
  void set_mtime(const std::string& file, time_t t) {
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(root("/print/prns/" + file).c_str(), tv), 0);
  }
  testkit::TempRoot root;
};

TEST_F(PrnListTest, MissingCacheReadsEveryJobAndWritesThemAll) {
  add_job("a.prn", 1);
  add_job("b.prn", 3);
  add_job("c.prn", 12);
  ListRun run;
  EXPECT_EQ(jobdesk::get_prn_list(&run.l), 3);
  std::string cache = root("/print/prns/prn_meta");
  EXPECT_EQ(run.messages(), "jobdesk ERROR cannot open " + cache +
                                "\nERROR - prn_list does not match number of prns 0 in "
                                "directory  3\n");
  EXPECT_EQ(ld::file_size(cache), int64_t(4 + 3 * jobdesk::kPrnInfoSize));
  const library::PrnInfo* c = jobdesk::get_prn_entry(&run.l, "c.prn");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->pages, 12);
  EXPECT_EQ(c->base, "c");
  EXPECT_EQ(c->thumb_path, "thumbs/c.jpeg");
  EXPECT_EQ(c->driver_text, "Unkown");
  EXPECT_EQ(c->file_size, ld::file_size(root("/print/prns/c.prn")));

  // An unchanged folder is served from the cache, which is left as it is (a rewrite replaces
  // the file); a job whose size changed has its record written again.
  auto inode = [&] {
    struct stat st {};
    stat(cache.c_str(), &st);
    return st.st_ino;
  };
  ino_t before = inode();
  ListRun again;
  EXPECT_EQ(jobdesk::get_prn_list(&again.l), 3);
  EXPECT_EQ(again.messages(), "");
  EXPECT_EQ(inode(), before);
  std::string job;
  ASSERT_TRUE(ld::read_file(root("/print/prns/a.prn"), &job));
  ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/a.prn"), job + "more"));
  ListRun grown;
  EXPECT_EQ(jobdesk::get_prn_list(&grown.l), 3);
  EXPECT_NE(inode(), before);
  ListRun reread;
  jobdesk::get_prn_list(&reread.l);
  EXPECT_EQ(jobdesk::get_prn_entry(&reread.l, "a.prn")->file_size,
            ld::file_size(root("/print/prns/a.prn")));
  add_job("d.prn", 2);
  ListRun added;  // a new job makes every record be read again
  EXPECT_EQ(jobdesk::get_prn_list(&added.l), 4);
  EXPECT_NE(added.messages().find("number of prns 3 in directory  4"), std::string::npos);
}

TEST_F(PrnListTest, EveryCutCacheLoadsWhatIsWholeAndNeverCrashes) {
  add_job("a.prn", 1);
  add_job("b.prn", 2);
  ListRun run;
  jobdesk::get_prn_list(&run.l);
  std::string whole;
  ASSERT_TRUE(ld::read_file(root("/print/prns/prn_meta"), &whole));
  std::string cut = root("/print/prns/cut");
  for (size_t n = 0; n <= whole.size(); n += (n < 8 || n + 8 > whole.size()) ? 1 : 997) {
    ASSERT_TRUE(ld::write_file_atomic(cut, whole.substr(0, n)));
    ListRun r;
    int want = n < 4 ? 0 : int((n - 4) / jobdesk::kPrnInfoSize);
    ASSERT_EQ(jobdesk::load_prn_list(&r.l, cut), want) << n;
  }
  std::string other = whole;
  other[0] = 3;
  ASSERT_TRUE(ld::write_file_atomic(cut, other));
  ListRun r;
  EXPECT_EQ(jobdesk::load_prn_list(&r.l, cut), 0);
  EXPECT_EQ(r.messages(), "Wrong prn version 3 2\n");
}

// The list reads only the first part of each cached record in place. A cache cut anywhere (in
// the part the list reads, behind it, or inside the version) never gives a row from a part
// record: the list is the one read from the jobs.
TEST_F(PrnListTest, EveryCutCacheGivesTheListOfTheJobs) {
  add_job("a.prn", 1);
  add_job("b.prn", 2);
  add_job("c.prn", 3);
  ListRun first;
  std::vector<jobdesk::ListRow> want;
  ASSERT_EQ(jobdesk::get_list_rows(&first.l, &want), 3);
  jobdesk::sort_list_rows(&want, "name");
  std::string whole;
  ASSERT_TRUE(ld::read_file(root("/print/prns/prn_meta"), &whole));
  const size_t last = 4 + 2 * jobdesk::kPrnInfoSize;
  for (size_t n : {size_t{0}, size_t{3}, size_t{4}, last, last + 1, last + 100, last + 1739,
                   last + 1740, last + 5000, whole.size() - 1}) {
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/prn_meta"), whole.substr(0, n)));
    ListRun run;
    std::vector<jobdesk::ListRow> rows;
    EXPECT_EQ(jobdesk::get_list_rows(&run.l, &rows), 3) << n;
    EXPECT_FALSE(run.l.list.empty()) << n;  // read from the jobs, not in place
    jobdesk::sort_list_rows(&rows, "name");
    EXPECT_EQ(rows_text(rows), rows_text(want)) << n;
  }
}

TEST_F(PrnListTest, JobWithoutUsableThumbnailIsRemoved) {
  add_job("nothumb.prn", 1, "none");
  add_job("nomarker.prn", 1, std::string("\xFF\xD8\xFF\xD9", 4));
  ListRun run;
  EXPECT_EQ(jobdesk::get_prn_entry(&run.l, "nothumb.prn"), nullptr);
  EXPECT_EQ(jobdesk::get_prn_entry(&run.l, "nomarker.prn"), nullptr);
  std::string m = run.messages();
  EXPECT_NE(m.find("ERROR no jpeg thumbs/nothumb.jpeg\n"), std::string::npos);
  EXPECT_NE(m.find("ERROR bad jpeg thumbs/nomarker.jpeg\n"), std::string::npos);
  ASSERT_EQ(run.events.size(), 2u);
  EXPECT_EQ(run.events[0], "reprint: removing '" + root("/print/prns/nothumb.prn") + "' as no jpeg");
  EXPECT_FALSE(ld::file_exists(root("/print/prns/nothumb.prn")));
  EXPECT_FALSE(ld::file_exists(root("/print/prns/nomarker.prn")));
  EXPECT_FALSE(ld::file_exists(root("/print/prns/thumbs/nomarker.jpeg")));
}

TEST_F(PrnListTest, BaseNameStopsAtTheLastPrn) {
  add_job("x.prn.prn", 1);
  ListRun run;
  const library::PrnInfo* x = jobdesk::get_prn_entry(&run.l, "x.prn.prn");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->base, "x.prn");
  EXPECT_EQ(x->display_name, "x.prn");
}

TEST_F(PrnListTest, JobWithANameTooLongForARecordIsListedButNotCached) {
  std::string longname = std::string(230, 'L') + ".prn";
  add_job(longname, 2);
  add_job("a.prn", 1);
  for (int pass = 0; pass < 2; ++pass) {
    ListRun run;
    EXPECT_EQ(jobdesk::get_prn_list(&run.l), 2);
    EXPECT_NE(jobdesk::get_prn_entry(&run.l, longname), nullptr);
    // The cache holds only the record that fits, and the second run does not rebuild.
    EXPECT_EQ(ld::file_size(root("/print/prns/prn_meta")), int64_t(4 + jobdesk::kPrnInfoSize));
    if (pass == 1) {
      EXPECT_EQ(run.messages().find("does not match"), std::string::npos);
    }
  }
}

TEST_F(PrnListTest, EverySortKeyOrdersTheList) {
  add_job("Beta.prn", 3);
  add_job("alpha.prn", 12);
  add_job("gamma.prn", 1);
  set_mtime("Beta.prn", 1000);
  set_mtime("alpha.prn", 3000);
  set_mtime("gamma.prn", 2000);
  ListRun run;
  int n = jobdesk::get_prn_list(&run.l);
  const std::pair<const char*, const char*> cases[] = {
      {"name", "alpha Beta gamma "}, {"NAME", "gamma Beta alpha "},
      {"pages", "gamma Beta alpha "}, {"PAGES", "alpha Beta gamma "},
      {"date", "Beta gamma alpha "}, {"DATE", "alpha gamma Beta "},
      {"", "Beta gamma alpha "}, {"other", "Beta gamma alpha "}};
  for (auto [key, want] : cases) {
    jobdesk::sort_prn_list(&run.l, n, key);
    std::string got;
    for (const auto& i : run.l.list) got += i.base + " ";
    EXPECT_EQ(got, want) << key;
  }
}

// The rows of the list page as text, in their order, for comparing two runs.
std::string rows_text(const std::vector<jobdesk::ListRow>& rows) {
  std::string t;
  for (const auto& r : rows) {
    t += r.file_name + "|" + r.display_name + "|" + r.thumb_path + "|" +
         std::to_string(r.file_size) + "|" + std::to_string(r.pages) + "|" +
         std::to_string(r.copies) + "|" + std::to_string(r.mtime) + "|" +
         (r.dated ? std::to_string(r.file_mtime) : "-") + "\n";
  }
  return t;
}

TEST_F(PrnListTest, RowsReadInPlaceFromTheCacheAreTheRowsOfTheWholeRecords) {
  add_job("Beta.prn", 3);
  add_job("alpha.prn", 12);
  add_job("gamma.prn", 1);
  add_job("b'q%2B.prn", 2);
  set_mtime("Beta.prn", 1000);
  set_mtime("alpha.prn", 3000);
  set_mtime("gamma.prn", 2000);
  ListRun cold, warm;
  std::vector<jobdesk::ListRow> whole, in_place;
  EXPECT_EQ(jobdesk::get_list_rows(&cold.l, &whole), 4);
  EXPECT_EQ(cold.l.list.size(), 4u);  // read from the jobs
  EXPECT_EQ(jobdesk::get_list_rows(&warm.l, &in_place), 4);
  EXPECT_TRUE(warm.l.list.empty());  // read from the cache in place
  EXPECT_EQ(warm.messages(), "");
  for (const char* key : {"name", "NAME", "pages", "PAGES", "date", "DATE", ""}) {
    for (auto* rows : {&whole, &in_place}) {
      jobdesk::sort_list_rows(rows, "name");
      jobdesk::sort_list_rows(rows, key);
    }
    EXPECT_EQ(rows_text(in_place), rows_text(whole)) << key;
  }
  EXPECT_EQ(rows_text(in_place).substr(0, 9), "Beta.prn|");  // the date, oldest first

  // A job grown in place is not served from the cache: its record is written again.
  std::string job;
  ASSERT_TRUE(ld::read_file(root("/print/prns/gamma.prn"), &job));
  ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/gamma.prn"), job + "more"));
  ListRun grown;
  jobdesk::get_list_rows(&grown.l, &in_place);
  EXPECT_FALSE(grown.l.list.empty());
  EXPECT_NE(rows_text(in_place).find("gamma.prn|gamma|thumbs/gamma.jpeg|" +
                                     std::to_string(job.size() + 4) + "|"),
            std::string::npos);
}

// The page sorts once by the key with the name behind it; the rows must come in the order of
// a stable sort by name followed by a stable sort by the key, ties and case included.
TEST(ListRowOrder, OnePassIsTheOrderOfNameThenKey) {
  const struct {
    const char* name;
    int pages;
    int64_t mtime;
  } jobs[] = {{"b.prn", 2, 50}, {"A.prn", 1, 50}, {"a.prn", 2, 40}, {"C.prn", 1, 40},
              {"b2.prn", 2, 50}, {"B.prn", 3, 60}, {"c.prn", 1, 50}, {"a.prn", 2, 50}};
  std::vector<jobdesk::ListRow> given;
  for (const auto& j : jobs) {
    jobdesk::ListRow& r = given.emplace_back();
    r.file_name = j.name;
    r.pages = j.pages;
    r.mtime = j.mtime;
    r.copies = static_cast<int32_t>(given.size());  // tells equal names apart
  }
  using R = jobdesk::ListRow;
  auto ci = [](const R& a, const R& b) { return strcasecmp(a.file_name.c_str(), b.file_name.c_str()); };
  const std::pair<const char*, std::function<bool(const R&, const R&)>> keys[] = {
      {"name", [&](const R& a, const R& b) { return ci(a, b) < 0; }},
      {"NAME", [&](const R& a, const R& b) { return ci(b, a) < 0; }},
      {"pages", [](const R& a, const R& b) { return a.pages < b.pages; }},
      {"PAGES", [](const R& a, const R& b) { return a.pages > b.pages; }},
      {"date", [](const R& a, const R& b) { return a.mtime < b.mtime; }},
      {"DATE", [](const R& a, const R& b) { return a.mtime > b.mtime; }},
      {"", [](const R& a, const R& b) { return a.mtime < b.mtime; }},
  };
  auto order = [](const std::vector<R>& rows) {
    std::string t;
    for (const R& r : rows) t += r.file_name + "#" + std::to_string(r.copies) + " ";
    return t;
  };
  for (const auto& [key, less] : keys) {
    std::vector<R> two = given, one = given;
    std::stable_sort(two.begin(), two.end(), keys[0].second);
    std::stable_sort(two.begin(), two.end(), less);
    jobdesk::sort_list_rows(&one, key);
    EXPECT_EQ(order(one), order(two)) << key;
  }
}

TEST_F(PrnListTest, JobReplacedByAnotherWithTheCountUnchangedIsNotListed) {
  add_job("a.prn", 1);
  add_job("gone.prn", 2);
  ListRun first;
  ASSERT_EQ(jobdesk::get_prn_list(&first.l), 2);
  ASSERT_TRUE(ld::remove_file(root("/print/prns/gone.prn")));
  add_job("new.prn", 3);
  for (int pass = 0; pass < 2; ++pass) {
    ListRun run;
    EXPECT_EQ(jobdesk::get_prn_list(&run.l), 2);
    std::string names;
    for (const auto& i : run.l.list) names += i.file_name + " ";
    EXPECT_EQ(names.find("gone.prn"), std::string::npos) << pass << ": " << names;
    EXPECT_NE(names.find("new.prn"), std::string::npos) << pass;
  }
}

// A job replaced under its own name while its record stayed cached (a save whose record update
// a power cut lost, an import of a job of that name): the list reads it again instead of going
// on with the old job's pages, and the next list finds the cache in step.
TEST_F(PrnListTest, JobReplacedUnderItsOwnNameIsReadAgain) {
  add_job("a.prn", 1);
  add_job("s.prn", 6);
  ListRun first;
  ASSERT_EQ(jobdesk::get_prn_list(&first.l), 2);
  add_job("s.prn", 5);
  for (int pass = 0; pass < 2; ++pass) {
    ListRun run;
    EXPECT_EQ(jobdesk::get_prn_list(&run.l), 2);
    int pages = -1;
    for (const auto& i : run.l.list)
      if (i.file_name == "s.prn") pages = i.pages;
    EXPECT_EQ(pages, 5) << pass;
    EXPECT_EQ(run.messages().find("does not match"), std::string::npos) << pass << ": " << run.messages();
  }
}

TEST_F(PrnListTest, DateExistsAndDriverText) {
  add_job("a.prn", 1);
  set_mtime("a.prn", 1765000000);  // 2025-12-06 05:46:40 UTC
  EXPECT_EQ(jobdesk::prn_date(root("/print/prns/a.prn"), "%d-%m-%y %H:%M"), "06-12-25 05:46");
  EXPECT_EQ(jobdesk::prn_date(root("/print/prns/a.prn"), "%Y-%m-%d %H:%M:%S and more").size(),
            21u);
  ListRun run;
  EXPECT_EQ(jobdesk::prn_exists("a.prn", run.l.err), 1);
  EXPECT_EQ(jobdesk::prn_exists("a", run.l.err), 0);
  EXPECT_EQ(run.messages(), "a.prn<>a.prn 1\na.prn<>a 0\n");

  // A "BMT" data chunk: records up to the type 10 one skipped, the next type 14 body taken.
  std::string job = testkit::make_job(testkit::JobSpec{});
  auto rec = [](int type, std::string body) {
    std::string r(1, char(type));
    unsigned char len[4];
    write32(static_cast<uint32_t>(body.size()), len);
    return r + std::string(reinterpret_cast<char*>(len), 4) + body;
  };
  std::string data = std::string("BMT\x02", 4) + std::string(8, '\0') + rec(14, "early") +
                     rec(10, "x") + rec(3, "y") + rec(14, std::string("Vivid\0pad", 9));
  zjs::ChunkHeader h;
  h.type = zjs::OPAQUE_DATA;
  h.size = static_cast<uint32_t>(zjs::kHeaderSize + data.size());
  unsigned char hb[zjs::kHeaderSize];
  zjs::encode_header(h, hb);
  size_t at = 4 + zjs::decode_header(reinterpret_cast<const unsigned char*>(job.data()) + 4).size;
  job.insert(at, std::string(reinterpret_cast<char*>(hb), sizeof hb) + data);
  std::string path = root("/print/prns/bmt.prn");
  ASSERT_TRUE(ld::write_file_atomic(path, job));
  EXPECT_EQ(jobdesk::driver_text(path), "Vivid");
  EXPECT_EQ(jobdesk::driver_text(root("/print/prns/a.prn")), "Unkown");
}

}  // namespace

namespace {

// A job in the other byte order is read by the page decoder, a big-endian one by the scan; both
// go through the one item reader, so the same items make the same record: the width from item
// 12, the length from item 13 (the picture's height, item 14, is no page length).
TEST_F(PrnListTest, JobTheScanCannotReadIsReadByThePageDecoder) {
  testkit::Picture pic;
  pic.width = 40;
  pic.height = 30;
  pic.rgb.assign(40 * 30 * 3, 128);
  ListRun run;
  library::PrnInfo read[2];
  for (bool little : {false, true}) {
    testkit::ZxPageSpec gen;
    gen.little_endian = little;
    library::PrnInfo& info = read[little];
    info.job_path = root(little ? "/print/prns/zx-le.prn" : "/print/prns/zx.prn");
    ASSERT_TRUE(ld::write_file_atomic(info.job_path, testkit::make_zx_job(pic, gen, 2)));
    jobdesk::get_prn_data(&run.l, &info);
    SCOPED_TRACE(little ? "page decoder" : "scan");
    EXPECT_EQ(info.width, 40);
    EXPECT_EQ(info.length, 40);  // the generator's item 13 is the picture's width
    EXPECT_FLOAT_EQ(info.width_in, 40.0f / 800);
    EXPECT_FLOAT_EQ(info.length_mm, 40.0f / 800 * 25.4f);
    EXPECT_EQ(info.pages, 2);
    EXPECT_EQ(info.copies, 1);
  }
}

}  // namespace
