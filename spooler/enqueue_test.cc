#include "spooler/enqueue.h"

#include <string>
#include <vector>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/capture.h"
#include "testkit/queue_capture.h"
#include "testkit/scenario.h"

namespace spooler {

namespace {

class Enqueue : public testing::Test {
 protected:
  std::string q(const std::string& name) { return printq_dir() + name; }
  std::string job(const std::string& name, const std::string& data = "JZJZ job") {
    std::string path = root_("/print/prns/" + name);
    testkit::spit(path, data);
    return path;
  }
  std::vector<queue_record> queue() {
    err_.take();
    std::vector<queue_record> r = get_printq(cfg_);
    err_.take();
    return r;
  }
  bool enqueue(const std::string& path, std::string* queued, std::string* err) {
    queue_record opts;
    opts.from = opts.to = opts.copies = 1;
    err_.take();
    bool ok = enqueue_job(cfg_, path, ld::base_name(path), opts, queued, err);
    err_.take();
    return ok;
  }

  testkit::TempRoot root_;
  testkit::QueueCapture io_;
  Config& cfg_ = io_.cfg;
  testkit::CapturedFile& out_ = io_.out;
  testkit::CapturedFile& err_ = io_.err;
};

TEST_F(Enqueue, FirstFreeNameOfTheCopyOrItsFilteredFile) {
  const std::string a = job("a.prn", "A");
  testkit::spit(q("a_0.spl"), "other");  // an earlier copy still waiting
  testkit::spit(q("a_1.prn"), "other");  // an earlier copy filtered
  std::string queued, err;
  ASSERT_TRUE(enqueue(a, &queued, &err)) << err;
  EXPECT_EQ(queued, q("a_2.spl"));
  EXPECT_EQ(testkit::slurp(queued), "A");
  std::vector<queue_record> recs = queue();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_STREQ(recs[0].path, q("a_2.spl").c_str());
  EXPECT_STREQ(recs[0].displayname, "a");
  EXPECT_NE(recs[0].serial, 0u);
  EXPECT_EQ(testkit::slurp(q("a_0.spl")), "other");

  // Base names as the job browser makes them: only a four-character extension goes.
  struct {
    const char* job;
    const char* base;
  } bases[] = {{"/x/label.prn", "label"}, {"/x/photo.jpeg", "photo.jpeg"}, {"/x/a.b.prn", "a.b"}, {"/x/ab", "ab"}};
  for (const auto& b : bases) EXPECT_EQ(enqueue_base(cfg_, b.job), b.base) << b.job;
}

TEST_F(Enqueue, EveryNameTakenLeavesNothingBehind) {
  const std::string a = job("a.prn");
  for (int n = 0; n < kEnqueueNames; ++n) testkit::spit(q("a_" + std::to_string(n) + (n % 2 ? ".prn" : ".spl")), "x");
  const std::vector<std::string> before = testkit::list_dir(printq_dir());
  std::string queued, err;
  EXPECT_FALSE(enqueue(a, &queued, &err));
  EXPECT_EQ(err, "all 100 queue names of a are taken");
  EXPECT_EQ(testkit::list_dir(printq_dir()), before);
}

TEST_F(Enqueue, FailuresRollBackTheCopy) {
  std::string queued, err;
  // The stored job is gone.
  EXPECT_FALSE(enqueue(root_("/print/prns/gone.prn"), &queued, &err));
  EXPECT_NE(err.find("cannot open " + root_("/print/prns/gone.prn")), std::string::npos) << err;
  // The queue cannot be written: a folder stands where the queue file goes.
  ASSERT_TRUE(ld::make_dirs(printq_filename()));
  EXPECT_FALSE(enqueue(job("b.prn"), &queued, &err));
  EXPECT_EQ(err, "the print queue does not take " + q("b_0.spl"));
  EXPECT_EQ(testkit::list_dir(printq_dir()), std::vector<std::string>{"printq"});
}

// A record stores 199 bytes of path: a long job name is cut so the copy's whole path fits, with
// room for the record's serial, and never inside a character.
TEST_F(Enqueue, LongNamesAreCutSoTheRecordNamesTheWholeCopy) {
  std::string utf8 = std::string(100, 'l');
  for (int i = 0; i < 60; ++i) utf8 += "\xc3\xa9";  // é
  const std::string stored = job(utf8 + ".prn");
  std::string queued, err;
  ASSERT_TRUE(enqueue(stored, &queued, &err)) << err;
  EXPECT_LE(queued.size(), kQueuePathRoom);
  EXPECT_GT(queued.size(), kQueuePathRoom - 2);
  const std::string base = ld::base_name(queued);
  const std::string stem = base.substr(0, base.size() - 6);  // without "_0.spl"
  EXPECT_EQ(utf8.compare(0, stem.size(), stem), 0);
  EXPECT_EQ(stem.size() % 2, 0u);  // 100 ASCII bytes, then whole two-byte characters
  std::vector<queue_record> recs = queue();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::string(recs[0].path), queued);
  EXPECT_TRUE(ld::file_exists(queued));
}

}  // namespace

}  // namespace spooler
