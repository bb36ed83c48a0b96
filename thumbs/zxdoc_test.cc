#include "thumbs/zxdoc.h"

#include <gtest/gtest.h>

#include "common/bytes.h"

#include "testkit/zjsgen.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

using testkit::write_temp;

// (offset, type) of every chunk of a big-endian job.
std::vector<std::pair<size_t, uint32_t>> chunks_of(const std::string& g) {
  std::vector<std::pair<size_t, uint32_t>> out;
  const auto* b = reinterpret_cast<const unsigned char*>(g.data());
  for (size_t p = 4; p + 16 <= g.size(); p += val32(b + p)) out.emplace_back(p, val32(b + p + 4));
  return out;
}

testkit::ZxPageSpec small_spec() {
  testkit::ZxPageSpec s;
  s.copies = 3;
  s.data_chunk = 100;
  return s;
}

TEST(ZxDoc, TreeOfAZxJob) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(40, 30);
  ZxDoc doc;
  ASSERT_TRUE(doc.open(write_temp(root, "j.prn", testkit::make_zx_job(pic, small_spec(), 2)), nullptr));
  EXPECT_EQ(doc.read(), kZjsEnd);
  EXPECT_EQ(doc.language(), kLangZjs);
  int count = 0;
  const ZxObject* p1 = doc.find_page(1, &count);
  EXPECT_EQ(count, 2);
  ASSERT_NE(p1, nullptr);
  EXPECT_EQ(std::string(p1->tag, 4), "ZXLO");
  EXPECT_EQ(p1->kind, 2);
  EXPECT_EQ(p1->parent->kind, 0);  // inside START_DOC
  EXPECT_EQ(doc.find_page(2), nullptr);
  EXPECT_EQ(doc.find_page(-1), nullptr);
  const ZxObject* image = first_child(p1);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->kind, 13);
  EXPECT_GT(image->children.size(), 1u);  // the ZX_DATA chunks
  for (const ZxObject* d : image->children) EXPECT_EQ(d->kind, 14);
  // Own attributes, then the page's, then the document's, then the default.
  EXPECT_EQ(get_attr(image, 5, 0), 3u);
  EXPECT_EQ(get_attr(image, 13, 0), 40u);
  EXPECT_EQ(get_attr(image, 0, 99), 2u);
  EXPECT_EQ(get_attr(image, 777, 99), 99u);
  EXPECT_FALSE(has_own_attr(image, 13));
  EXPECT_EQ(first_child(image->children.front()), nullptr);
}

TEST(ZxDoc, ReversedSignatureAndPjlWrapperGiveTheSameTree) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(40, 30);
  auto gen = small_spec();
  std::string be = testkit::make_zx_job(pic, gen, 3);
  gen.little_endian = true;
  std::string le = testkit::make_zx_job(pic, gen, 3);
  std::string pjl = "\x1b%-12345X@PJL JOB NAME=\"x\"\n@PJL ENTER LANGUAGE=ZJS\n" + be;
  std::string other = "\x1b%-12345X@PJL ENTER LANGUAGE=PCL\n" + be;
  for (const std::string& job : {be, le, pjl}) {
    ZxDoc doc;
    ASSERT_TRUE(doc.open(write_temp(root, "j.prn", job), nullptr));
    EXPECT_EQ(doc.read(), kZjsEnd);
    ASSERT_EQ(doc.page_count(), 3);
    EXPECT_EQ(get_attr(first_child(doc.find_page(2)), 14, 0), 30u);
  }
  ZxDoc doc;
  ASSERT_TRUE(doc.open(write_temp(root, "j.prn", other), nullptr));
  EXPECT_EQ(doc.read(), kZjsBadSignature);
  EXPECT_EQ(doc.page_count(), 0);
  EXPECT_EQ(doc.object_count(), 0u);
}

TEST(ZxDoc, AtMostAThousandPages) {
  testkit::TempRoot root;
  testkit::JobSpec gen;
  gen.pages = 1003;
  gen.payload = 0;
  ZxDoc doc;
  ASSERT_TRUE(doc.open(write_temp(root, "j.prn", testkit::make_job(gen)), nullptr));
  EXPECT_EQ(doc.read(), kZjsEnd);
  EXPECT_EQ(doc.page_count(), 1000);
  EXPECT_NE(doc.find_page(999), nullptr);
  EXPECT_EQ(doc.find_page(1000), nullptr);
}

TEST(ZxDoc, BrokenJobKeepsEarlierPagesAndMissingEndsAreClosed) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(40, 30);
  std::string job = testkit::make_zx_job(pic, small_spec(), 2);
  // Cut inside the second page's ZX_START: its START_PAGE came whole, so two pages.
  size_t second = 0;
  int starts = 0;
  for (auto [off, type] : chunks_of(job))
    if (type == zjs::START_PAGE && ++starts == 2) second = off;
  ASSERT_GT(second, 0u);
  ZxDoc doc;
  ASSERT_TRUE(doc.open(write_temp(root, "j.prn", job.substr(0, second + 64 + 20)), nullptr));
  EXPECT_EQ(doc.read(), kZjsReadError);
  EXPECT_EQ(doc.page_count(), 2);
  // Each START_PAGE is a child of START_DOC even though END_PAGE chunks are missing.
  std::string no_ends;
  testkit::JobSpec gen;
  gen.pages = 2;
  gen.payload = 0;
  std::string g = testkit::make_job(gen);
  // Drop the END_PAGE chunks (16 bytes of type 3).
  auto list = chunks_of(g);
  for (size_t i = 0; i < list.size(); ++i) {
    size_t end = i + 1 < list.size() ? list[i + 1].first : g.size();
    if (list[i].second != 3) no_ends += g.substr(list[i].first, end - list[i].first);
  }
  ZxDoc d2;
  ASSERT_TRUE(d2.open(write_temp(root, "j2.prn", "JZJZ" + no_ends), nullptr));
  d2.read();
  ASSERT_EQ(d2.page_count(), 2);
  EXPECT_EQ(d2.find_page(1)->parent->kind, 0);
}

TEST(ZxDoc, OpenFailsForMissingFilesAndFolders) {
  testkit::TempRoot root;
  ZxDoc doc;
  std::string err;
  EXPECT_FALSE(doc.open(root.path() + "/none.prn", &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(doc.open(root.path(), &err));
}

}  // namespace
}  // namespace thumbs
