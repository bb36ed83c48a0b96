#include "library/tagscan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spooler/jobstream.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace {

zjs::Item item(uint16_t id, uint32_t value, uint8_t type = 1) {
  zjs::Item it;
  it.id = id;
  it.value = value;
  it.type = type;
  return it;
}

std::string chunk(uint32_t type, const std::vector<zjs::Item>& items, size_t payload = 0) {
  zjs::ChunkHeader h;
  h.type = type;
  h.items = static_cast<uint32_t>(items.size());
  h.size = static_cast<uint32_t>(zjs::kHeaderSize + 12 * items.size() + payload);
  std::string out(h.size, '\0');
  auto* b = reinterpret_cast<unsigned char*>(out.data());
  zjs::encode_header(h, b);
  for (size_t i = 0; i < items.size(); ++i) zjs::encode_item(items[i], b + zjs::kHeaderSize + 12 * i);
  return out;
}

struct ScanFile {
  testkit::TempRoot root;
  library::PrnInfo info;
  int scan(const std::string& bytes, int mode = library::kScanFresh) {
    info.job_path = root.path() + "/job.prn";
    testkit::spit(info.job_path, bytes);
    return library::prn_tag_scan(&info, mode);
  }
};

std::vector<int32_t> ids(const library::PrnInfo& info) {
  std::vector<int32_t> r;
  for (const auto& o : info.options) r.push_back(o.id);
  return r;
}

TEST(TagScan, FreshScanListsDocItemsInOrderUpToANonNumericItem) {
  ScanFile f;
  const std::string job = "JZJZ" +
                          chunk(zjs::START_DOC, {item(0, 3), item(0x8403, 1), item(0x8510, 0),
                                                 item(0x8600, 5, 2), item(0x8512, 9)}) +
                          chunk(zjs::START_PAGE, {item(4, 2)}, 100);
  ASSERT_EQ(f.scan(job), 1);
  EXPECT_EQ(ids(f.info), (std::vector<int32_t>{0, 0x8403, 0x8510}));
  EXPECT_EQ(f.info.pages, 3);
  EXPECT_EQ(f.info.value_8512, 0);  // after the type-2 item: not read
  EXPECT_EQ(f.info.copies, 2);
  int32_t v = 0;
  EXPECT_EQ(library::find_option(f.info, 0x8403, &v), 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(library::find_option(f.info, 0x8600, &v), 0);
  EXPECT_EQ(f.info.value_8403, 1);  // the record's field as well as an option
}

TEST(TagScan, FreshScanNeverListsMoreThanTheRoomButReadsEveryItem) {
  ScanFile f;
  std::vector<zjs::Item> doc;
  for (uint16_t i = 0; i < 25; ++i) doc.push_back(item(0x9000 + i, i));
  doc.push_back(item(0, 7));
  doc.push_back(item(0x8514, 2));
  ASSERT_EQ(f.scan("JZJZ" + chunk(zjs::START_DOC, doc)), 1);
  EXPECT_EQ(f.info.options.size(), library::kUploadOptionRoom);
  EXPECT_EQ(f.info.options.back().id, 0x9000 + 18);
  EXPECT_EQ(f.info.pages, 7);
  EXPECT_EQ(f.info.value_8514, 2);
}

TEST(TagScan, FirstPageGivesSizeCopiesAndQuality) {
  ScanFile f;
  const std::string job = "JZJZ" + chunk(zjs::START_DOC, {item(0, 2)}) + chunk(1234, {}, 70000) +
                          chunk(zjs::START_PAGE, {item(4, 3), item(12, 6400), item(13, 1600), item(113, 2)}, 5) +
                          chunk(zjs::START_PAGE, {item(4, 9), item(12, 800)});
  ASSERT_EQ(f.scan(job), 1);
  EXPECT_EQ(f.info.copies, 3);
  EXPECT_EQ(f.info.width, 6400);
  EXPECT_FLOAT_EQ(f.info.width_in, 8.0f);
  EXPECT_FLOAT_EQ(f.info.width_mm, 203.2f);
  EXPECT_FLOAT_EQ(f.info.length_in, 2.0f);
  EXPECT_EQ(f.info.quality, 2);
}

TEST(TagScan, UpdateScanTakesOnlyListedItemsWithTheirDisplayTexts) {
  ScanFile f;
  library::PrnOption a, b, c;
  a.id = 0x9001, a.decimals = 2;
  b.id = 0x9002, b.decimals = 0;
  c.id = 0x9003, c.found = 1;  // not in the job: its flag is cleared
  f.info.options = {a, b, c};
  const std::string job =
      "JZJZ" + chunk(zjs::START_DOC, {item(0x9001, 1234), item(0x9002, 1234), item(0x9004, 5)});
  ASSERT_EQ(f.scan(job, library::kScanUpdate), 1);
  ASSERT_EQ(f.info.options.size(), 3u);
  EXPECT_EQ(f.info.options[0].display, "12.34");
  EXPECT_DOUBLE_EQ(f.info.options[0].scaled, 12.34);
  EXPECT_EQ(f.info.options[1].display, "1234");
  EXPECT_EQ(f.info.options[0].found + f.info.options[1].found + f.info.options[2].found, 2);
  // A display text never passes its field, whatever the decimals.
  double scaled = 0;
  EXPECT_EQ(library::option_display(-5, 60, &scaled).size(), library::kDisplayTextMax);
}

TEST(TagScan, UnreadableJobsFailWithTheirMessageAndResetValues) {
  ScanFile f;
  f.info.pages = 5;
  testkit::Capture cap(testkit::kStderr);
  f.info.job_path = f.root.path() + "/missing.prn";
  EXPECT_EQ(library::prn_tag_scan(&f.info, library::kScanFresh), 0);
  EXPECT_EQ(f.info.pages, 0);
  EXPECT_EQ(f.scan("ZJZJ" + chunk(zjs::START_DOC, {item(0, 1)})), 0);
  EXPECT_EQ(f.scan("JZ"), 0);
  EXPECT_EQ(cap.err(), "ERROR: File " + f.root.path() + "/missing.prn not found.\n"
                       "Error: invalid file format!\nError: invalid file format!\n");
}

TEST(TagScan, TruncatedJobGivesWhatWasRead) {
  ScanFile f;
  std::string job = "JZJZ" + chunk(zjs::START_DOC, {item(0, 4), item(0x8403, 1), item(0x8510, 1)});
  job.resize(job.size() - 6);
  ASSERT_EQ(f.scan(job), 1);
  EXPECT_EQ(ids(f.info), (std::vector<int32_t>{0, 0x8403}));
}

}  // namespace
