#include "upload/uploadcheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "library/marker.h"
#include "webkit/json.h"

namespace {

using upload::Verdict;

TEST(UploadCheck, ModelTypeFromTheFirmwarePrefix) {
  const std::pair<const char*, int> cases[] = {
      {"QX9_1.0", 0}, {"T4400C_2", 0}, {"K2", 0}, {"R7_3.1_b", 2}, {"R7x_1", 1}, {"QX90_1", 1}, {"", 1},
  };
  for (const auto& [fw, want] : cases) EXPECT_EQ(upload::get_model_type(fw), want) << fw;
  EXPECT_EQ(upload::model_type_of(JsonTree::parse(R"({"system":{"FirmwareVersion":"K2_7"}})").top()), 0);
  EXPECT_EQ(upload::model_type_of(JsonTree::parse(R"({"system":{"FirmwareVersion":""}})").top()), -1);
  EXPECT_EQ(upload::model_type_of(JsonTree::parse(R"({"system":{"Other":"R7"}})").top()), -1);
  EXPECT_EQ(upload::model_type_of(nullptr), -1);
}

TEST(UploadCheck, ThumbnailNamedAfterTheNameUpToItsLastPrn) {
  EXPECT_EQ(upload::get_jpeg_fullname("/print/tmp/a.prn"), "/print/tmp/thumbs/a.jpeg");
  EXPECT_EQ(upload::get_jpeg_fullname("/print/tmp/a.prn.bak"), "/print/tmp/thumbs/a.jpeg");
  EXPECT_EQ(upload::get_jpeg_fullname("/x/b.prn.prn"), "/x/thumbs/b.prn.jpeg");
}

TEST(UploadCheck, DecisionTable) {
  constexpr int32_t A = -1;  // absent (or carried as -1)
  const struct {
    int model;
    upload::UploadItems items;  // 0x8403, 0x8510, 0x8600
    Verdict want;
  } cases[] = {
      {0, {A, A, A}, Verdict::kInvalid},      {0, {A, 1, A}, Verdict::kInvalid},
      {0, {1, A, A}, Verdict::kImport},       {0, {0, 1, A}, Verdict::kFilter},
      {0, {1, A, 5}, Verdict::kDropOksa},     {0, {1, 0, 5}, Verdict::kImport},
      {1, {1, A, A}, Verdict::kInvalid},      {2, {0, 1, A}, Verdict::kInvalid},
      {1, {A, A, A}, Verdict::kImport},       {2, {A, 1, 5}, Verdict::kFilter},
      {2, {A, A, 0}, Verdict::kDropOksa},     {1, {A, 2, 0}, Verdict::kImport},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, upload::decide(c.model, c.items))
        << c.model << " " << c.items.v8403 << " " << c.items.v8510 << " " << c.items.v8600;
}

TEST(UploadCheck, LastOccurrenceOfAnItemCountsAndCarriedMinusOneIsAbsent) {
  library::PrnInfo info;
  for (auto [id, v] : {std::pair{0x8510, 1}, {0x8403, 3}, {0x8510, 0}, {0x8600, -1}}) {
    library::PrnOption o;
    o.id = id, o.value = v;
    info.options.push_back(o);
  }
  upload::UploadItems it = upload::upload_items(info);
  EXPECT_EQ(it.v8510, 0);
  EXPECT_EQ(it.v8403, 3);
  EXPECT_EQ(upload::decide(1, {-1, -1, it.v8600}), Verdict::kImport);
}

// A run of the logic over a temporary root, its event-log lines and command texts kept.
struct UploadSandbox {
  testkit::TempRoot root;
  std::vector<std::string> log;
  testkit::CapturedFile out, err;
  upload::UploadConfig cfg;
  upload::UploadRun run;
  UploadSandbox() {
    cfg.paths = upload::default_upload_paths();
    cfg.load_attempts = 1;
    cfg.pause = [] {};
    cfg.log = [this](std::string_view t) { log.emplace_back(t); };
    cfg.out = out.get();
    cfg.err = err.get();
    ld::make_dirs(root("/print/tmp/thumbs"));
  }
  void job(const std::string& name, std::vector<zjs::Item> doc) {
    testkit::JobSpec wanted;
    wanted.doc_items = std::move(doc);
    testkit::spit(root("/print/tmp/") + name, testkit::make_job(wanted));
  }
  void marked_thumb(const std::string& base) {
    auto seg = library::marker_segment(0, 1, 1);
    testkit::spit(root("/print/tmp/thumbs/") + base + ".jpeg",
                  "\xFF\xD8" + std::string(seg.begin(), seg.end()) + "\xFF\xD9");
  }
  bool logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
};

zjs::Item item(uint16_t id, uint32_t value) {
  zjs::Item it;
  it.id = id;
  it.value = value;
  return it;
}

TEST(UploadCheck, ModelZeroDropsAJobWithoutTheModelItemWithItsThumbnail) {
  UploadSandbox r;
  r.job("a.prn", {});
  r.marked_thumb("a");
  EXPECT_EQ(upload::check_prn("a.prn", r.root("/print/tmp/"), 0, r.cfg, &r.run), 1);
  EXPECT_TRUE(r.logged("Remove invalid " + r.root("/print/tmp/a.prn") + " 0-1"));
  EXPECT_EQ(r.run.dropped, 1);
  EXPECT_FALSE(ld::file_exists(r.root("/print/tmp/a.prn")));
  EXPECT_FALSE(ld::file_exists(r.root("/print/tmp/thumbs/a.jpeg")));
}

TEST(UploadCheck, JobThatCannotBeMovedStaysAndIsNotCounted) {
  UploadSandbox r;
  r.job("a.prn", {});
  r.marked_thumb("a");
  r.job("b.prn", {});
  // A library that cannot take files (here: a plain file where the folder should be).
  testkit::spit(r.root("/blocked"), "");
  r.cfg.paths.library = r.root("/blocked/");
  r.cfg.paths.waiting = r.root("/blocked/tmp/");
  upload::load_prn_dirs(1, r.cfg, &r.run);
  EXPECT_EQ(r.run.copied, 0);
  EXPECT_FALSE(r.run.want_thumbs);
  EXPECT_TRUE(ld::file_exists(r.root("/print/tmp/a.prn")));
  EXPECT_TRUE(ld::file_exists(r.root("/print/tmp/thumbs/a.jpeg")));
  EXPECT_TRUE(ld::file_exists(r.root("/print/tmp/b.prn")));
  EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=0\ncopied=0\n");
}

// The old job stays until the new one is in its place; when it cannot be replaced, the new job
// goes back to the upload folder as it came and nothing is left under a hidden name.
TEST(UploadCheck, JobThatCannotReplaceTheOldOneGoesBack) {
  UploadSandbox r;
  r.job("a.prn", {});
  r.marked_thumb("a");
  const std::string job = testkit::slurp(r.root("/print/tmp/a.prn"));
  ld::make_dirs(r.root("/print/prns/a.prn/inside"));  // a name that no file can replace
  upload::load_prn_dirs(1, r.cfg, &r.run);
  EXPECT_EQ(r.run.copied, 0);
  EXPECT_EQ(testkit::slurp(r.root("/print/tmp/a.prn")), job);
  EXPECT_TRUE(ld::file_exists(r.root("/print/tmp/thumbs/a.jpeg")));
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns")), (std::vector<std::string>{"a.prn", "thumbs", "tmp"}));
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/thumbs")), std::vector<std::string>{});
  EXPECT_EQ(testkit::list_dir(r.root("/print/prns/a.prn")), std::vector<std::string>{"inside"});
  EXPECT_TRUE(r.logged("cannot replace " + r.root("/print/prns/a.prn") + ": a folder"));
}

TEST(UploadCheck, WithoutAFirmwareVersionNothingIsJudged) {
  UploadSandbox r;
  r.job("a.prn", {});
  testkit::spit(r.root("/var/www/html/cgi-bin/system.json"), R"({"system":{"SystemState":"idle"}})");
  EXPECT_EQ(upload::uploadcheck(r.cfg), 0);
  EXPECT_TRUE(ld::file_exists(r.root("/print/tmp/a.prn")));
  EXPECT_EQ(testkit::slurp(r.root("/tmp/upload_stat")), "dropped=0\ncopied=0\nskipped=no firmware version\n");
  ASSERT_EQ(r.log.size(), 1u);
  EXPECT_NE(r.log[0].find("no firmware version"), std::string::npos);
}

TEST(UploadCheck, CutJobAskingForTheFilterIsRefusedBeforeIt) {
  UploadSandbox r;
  testkit::JobSpec wanted;
  wanted.doc_items = {item(0x8510, 1)};
  std::string job = testkit::make_job(wanted);
  job.resize(job.size() - 3);
  testkit::spit(r.root("/print/tmp/cut.prn"), job);
  EXPECT_EQ(upload::check_prn("cut.prn", r.root("/print/tmp/"), 1, r.cfg, &r.run), 1);
  EXPECT_EQ(r.run.dropped, 1);
  EXPECT_TRUE(r.logged("Refuse " + r.root("/print/tmp/cut.prn") + ": not a whole job (cut short or broken)"));
  EXPECT_EQ(testkit::list_dir(r.root("/print/tmp")), std::vector<std::string>{"thumbs"});
}

}  // namespace
