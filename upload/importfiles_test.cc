#include "upload/importfiles.h"

#include <gtest/gtest.h>

#include <string>

#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

// Every cut of a whole job is refused; only the whole file is taken, with its model item.
TEST(ImportFiles, EveryTruncationOfAJobIsNotWhole) {
  testkit::TempRoot root;
  testkit::JobSpec wanted;
  zjs::Item model;
  model.id = 0x8403;
  model.value = 3;
  wanted.doc_items = {model};
  wanted.pages = 2;
  wanted.payload = 40;
  const std::string job = testkit::make_job(wanted);
  const std::string path = root("/j.prn");
  for (size_t n = 0; n <= job.size(); ++n) {
    testkit::spit(path, job.substr(0, n));
    upload::UploadItems items;
    const upload::JobFile want = n == job.size() ? upload::JobFile::kWhole
                                 : n < 4        ? upload::JobFile::kNotJob
                                                : upload::JobFile::kCut;
    ASSERT_EQ(upload::read_job_file(path, &items), want) << n << " of " << job.size();
    if (want == upload::JobFile::kWhole) {
      EXPECT_EQ(items.v8403, 3);
    }
  }
}

}  // namespace
