#include "spooler/zjs.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/bytes.h"
#include "gtest/gtest.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

TEST(Zjs, ChunkHeaderAndItemBytes) {
  zjs::ChunkHeader h;
  h.size = 0x1C;
  h.type = zjs::START_PAGE;
  h.items = 1;
  h.reserved = 0x0102;
  unsigned char b[16];
  zjs::encode_header(h, b);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 16),
            std::string("\0\0\0\x1C\0\0\0\x02\0\0\0\x01\x01\x02ZZ", 16));
  zjs::ChunkHeader back = zjs::decode_header(b);
  EXPECT_EQ(back.size, 0x1Cu);
  EXPECT_EQ(back.reserved, 0x0102);
  EXPECT_EQ(back.signature, zjs::kChunkSignature);
  // The same header of a reversed-signature stream reads little-endian.
  const unsigned char le[16] = {0x1C, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x5A, 0x5A};
  EXPECT_EQ(zjs::decode_header(le, true).size, 0x1Cu);
  EXPECT_EQ(zjs::decode_header(le, true).type, 2u);

  zjs::Item it;
  it.id = zjs::ZJI_QUALITY;
  it.value = static_cast<uint32_t>(-3);
  it.param = 7;
  unsigned char ib[12];
  zjs::encode_item(it, ib);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ib), 12),
            std::string("\0\0\0\x0C\0\x71\x01\x07\xFF\xFF\xFF\xFD", 12));
  zjs::Item ib_back = zjs::decode_item(ib);
  EXPECT_EQ(ib_back.id, zjs::ZJI_QUALITY);
  EXPECT_EQ(ib_back.param, 7);
  EXPECT_EQ(zjs::item_text(ib_back.id, ib_back.value), "71=-3");
  EXPECT_EQ(zjs::item_text(0x8514, 2), "8514=2");
}

TEST(Zjs, ChunkNames) {
  EXPECT_STREQ(zjs::chunk_type_name(0), "START_DOC");
  EXPECT_STREQ(zjs::chunk_type_name(14), "ZX_DATA");
  EXPECT_STREQ(zjs::chunk_type_name(16), "OPAQUE_DATA");
  EXPECT_STREQ(zjs::chunk_type_name(17), "unknown");
  EXPECT_STREQ(zjs::chunk_type_name(0xFFFFFFFF), "unknown");
}

TEST(Zjs, ParseItemsStopsAtRecordsThatDoNotFit) {
  unsigned char area[30] = {};
  zjs::Item a;
  a.id = 4;
  a.value = 2;
  zjs::encode_item(a, area);
  zjs::Item b;
  b.size = 200;  // claims more than the area holds
  zjs::encode_item(b, area + 12);
  auto items = zjs::parse_items(area, sizeof area, 5);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].value, 2u);
}

struct Walk {
  int chunks = 0, pages = 0;
  bool error = false;
};

Walk walk(const std::string& path) {
  Walk w;
  zjs::Reader r;
  std::string err;
  if (!r.open(path, &err) || !r.read_signature(false, &err)) return w;
  zjs::ChunkHeader h;
  for (;;) {
    auto st = r.next_chunk(&h, &err);
    if (st == zjs::Reader::kError) w.error = true;
    if (st != zjs::Reader::kOk) break;
    ++w.chunks;
    if (h.type == zjs::START_PAGE) {
      ++w.pages;
      auto items = r.read_items(h.items, true);
      EXPECT_LE(items.size(), h.items);
    }
  }
  return w;
}

TEST(Zjs, ReaderWalksEveryTruncationWithoutHarm) {
  testkit::TempRoot root;
  testkit::JobSpec gen;
  gen.pages = 3;
  gen.payload = 300;
  gen.payload_chunk = 128;
  std::string job = testkit::make_job(gen);
  std::string full = root("/job.prn");
  testkit::spit(full, job);
  Walk w = walk(full);
  EXPECT_EQ(w.pages, 3);
  EXPECT_EQ(w.chunks, 1 + 3 * (1 + 3 + 1) + 1);
  EXPECT_FALSE(w.error);
  for (size_t n = 0; n < job.size(); ++n) {
    testkit::spit(root("/cut.prn"), job.substr(0, n));
    Walk c = walk(root("/cut.prn"));
    EXPECT_LE(c.pages, 3) << n;
    EXPECT_FALSE(c.error) << n;
  }
}

TEST(Zjs, ReaderRejectsChunkSizesBelowTheHeader) {
  testkit::TempRoot root;
  std::string job("JZJZ\0\0\0\x0F\0\0\0\0\0\0\0\0\0\0ZZ", 20);
  testkit::spit(root("/bad.prn"), job);
  zjs::Reader r;
  std::string err;
  ASSERT_TRUE(r.open(root("/bad.prn"), &err));
  ASSERT_TRUE(r.read_signature(false, &err));
  zjs::ChunkHeader h;
  EXPECT_EQ(r.next_chunk(&h, &err), zjs::Reader::kError);
  EXPECT_NE(err.find("below 16"), std::string::npos);
}

TEST(Zjs, ReaderSignatures) {
  testkit::TempRoot root;
  std::string err;
  for (auto [bytes, reversed, ok] : {std::tuple{"JZJZ", false, true}, {"ZJZJ", false, false},
                                     {"ZJZJ", true, true}, {"JZJ", true, false}, {"%!PS", true, false}}) {
    testkit::spit(root("/s"), bytes);
    zjs::Reader r;
    ASSERT_TRUE(r.open(root("/s"), &err));
    EXPECT_EQ(r.read_signature(reversed, &err), ok) << bytes;
  }
}

TEST(Zjs, GeneratedCaptureCarriesItsLength) {
  testkit::JobSpec gen;
  gen.capture = true;
  gen.name = "ABC";
  std::string cap = testkit::make_job(gen);
  EXPECT_EQ(cap.size(), testkit::job_length(gen));
  EXPECT_EQ(cap.substr(0, 34), "\x1b%-12345X@PJL JOB WNAME = \"414243\"");
  const unsigned char* t = reinterpret_cast<const unsigned char*>(cap.data() + cap.size() - 4);
  EXPECT_EQ(val32(t), cap.size());
}

}  // namespace
