#include "spooler/jobstream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

TEST(JobStream, ChunkHeaderAndItemBytes) {
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
  unsigned char le_back[16];
  zjs::encode_header(zjs::decode_header(le, true), le_back, true);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(le_back), 16), std::string(reinterpret_cast<const char*>(le), 16));

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
  EXPECT_EQ(static_cast<int32_t>(ib_back.value), -3);
  unsigned char ile[12];
  zjs::encode_item(it, ile, true);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ile), 12),
            std::string("\x0C\0\0\0\x71\0\x01\x07\xFD\xFF\xFF\xFF", 12));
  EXPECT_EQ(zjs::decode_item(ile, true).value, static_cast<uint32_t>(-3));
}

TEST(JobStream, ChunkNames) {
  EXPECT_STREQ(zjs::chunk_type_name(0), "START_DOC");
  EXPECT_STREQ(zjs::chunk_type_name(14), "ZX_DATA");
  EXPECT_STREQ(zjs::chunk_type_name(16), "OPAQUE_DATA");
  EXPECT_STREQ(zjs::chunk_type_name(17), "unknown");
  EXPECT_STREQ(zjs::chunk_type_name(0xFFFFFFFF), "unknown");
}

TEST(JobStream, ParseItemsStopsAtRecordsThatDoNotFit) {
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

TEST(JobStream, ChunkClassesAndSignatures) {
  using zjs::kClassItems, zjs::kClassPayload;
  const zjs::ChunkClass want[] = {kClassItems, kClassItems, kClassItems, kClassItems, kClassPayload,
                                  kClassPayload, kClassItems, kClassItems, kClassPayload, kClassItems,
                                  kClassItems, kClassItems, zjs::kClassItemsPayload, kClassItems,
                                  zjs::kClassData, kClassItems, zjs::kClassNone, zjs::kClassNone};
  for (uint32_t t = 0; t < std::size(want); ++t) EXPECT_EQ(zjs::chunk_class(t), want[t]) << t;
  auto sig = [](const char* b) { return zjs::classify_signature(reinterpret_cast<const unsigned char*>(b), std::strlen(b)); };
  EXPECT_EQ(sig("JZJZ"), zjs::Signature::kBigEndian);
  EXPECT_EQ(sig("ZJZJ"), zjs::Signature::kLittleEndian);
  EXPECT_EQ(sig("JZJ"), zjs::Signature::kNone);
  EXPECT_EQ(sig("JZZJ"), zjs::Signature::kNone);
}

std::string header_bytes(uint32_t size, uint32_t type, uint32_t items, bool le = false) {
  zjs::ChunkHeader h;
  h.size = size;
  h.type = type;
  h.items = items;
  unsigned char b[16];
  zjs::encode_header(h, b, le);
  return std::string(reinterpret_cast<char*>(b), 16);
}
std::string item_bytes(uint32_t size, uint16_t id, uint32_t value, uint8_t type = 1, bool le = false) {
  zjs::Item it;
  it.size = size;
  it.id = id;
  it.type = type;
  it.value = value;
  unsigned char b[12];
  zjs::encode_item(it, b, le);
  return std::string(reinterpret_cast<char*>(b), 12);
}

// Every item result, in both byte orders: what the filter and the page decoder build on.
TEST(JobStream, ItemRecordsAreBoundedByTheirChunk) {
  struct Case {
    std::string body;  // after the signature
    zjs::Reader::Status first;
    uint32_t value;
  } cases[] = {
      {header_bytes(28, 2, 1) + item_bytes(12, 13, 640), zjs::Reader::kOk, 640},
      {header_bytes(32, 2, 1) + item_bytes(16, 13, 640) + "abcd", zjs::Reader::kOk, 640},
      {header_bytes(24, 2, 1) + item_bytes(12, 13, 640).substr(0, 8), zjs::Reader::kBadSize, 0},  // passes the chunk
      {header_bytes(28, 2, 1) + item_bytes(4, 13, 640), zjs::Reader::kBadSize, 0},   // below 8
      {header_bytes(20, 2, 1) + "abcd", zjs::Reader::kBadSize, 0},                   // no room for a header
      {header_bytes(28, 2, 1) + item_bytes(12, 13, 640).substr(0, 6), zjs::Reader::kShort, 0},
      {header_bytes(28, 2, 1) + item_bytes(12, 13, 640).substr(0, 10), zjs::Reader::kShort, 0},
  };
  testkit::TempRoot root;
  for (bool le : {false, true}) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      std::string body = cases[i].body;
      if (le) {  // the same records with little-endian numbers
        for (size_t at : {size_t(0), size_t(4), size_t(8)}) std::reverse(body.begin() + at, body.begin() + at + 4);
        std::reverse(body.begin() + 12, body.begin() + 14);
        if (body.size() >= 24) std::reverse(body.begin() + 16, body.begin() + 20);
        if (body.size() >= 22) std::reverse(body.begin() + 20, body.begin() + 22);
        if (body.size() >= 28) std::reverse(body.begin() + 24, body.begin() + 28);
      }
      testkit::spit(root("/i.prn"), (le ? "ZJZJ" : "JZJZ") + body);
      zjs::Reader r;
      std::string err;
      ASSERT_TRUE(r.open(root("/i.prn"), &err));
      ASSERT_TRUE(r.read_signature(true, &err));
      zjs::ChunkHeader h;
      ASSERT_EQ(r.next_chunk(&h), zjs::Reader::kOk) << i;
      zjs::Item it;
      EXPECT_EQ(r.next_item(&it), cases[i].first) << "case " << i << (le ? " little-endian" : "");
      if (cases[i].first == zjs::Reader::kOk) {
        EXPECT_EQ(it.value, cases[i].value) << i;
        EXPECT_EQ(r.remaining(), 0u) << i;
      }
    }
  }
}

// A second reader over the same file walks on its own: the filter reads its prologue and
// collated copies again while its main walk goes on.
TEST(JobStream, ViewsAndStepsBackDoNotDisturbEachOther) {
  testkit::TempRoot root;
  std::string job = "JZJZ" + header_bytes(28, 0, 1) + item_bytes(12, 0, 3) + header_bytes(16, 2, 0) +
                    header_bytes(16, 1, 0);
  testkit::spit(root("/v.prn"), job);
  zjs::Reader main;
  std::string err;
  ASSERT_TRUE(main.open(root("/v.prn"), &err));
  ASSERT_TRUE(main.read_signature(false, &err));
  zjs::ChunkHeader h;
  ASSERT_EQ(main.next_chunk(&h), zjs::Reader::kOk);
  ASSERT_EQ(main.next_chunk(&h), zjs::Reader::kOk);
  EXPECT_EQ(h.type, zjs::START_PAGE);
  zjs::Reader again;
  again.view(main, 4);
  ASSERT_EQ(again.next_chunk(&h), zjs::Reader::kOk);
  EXPECT_EQ(h.type, zjs::START_DOC);
  zjs::Item it;
  ASSERT_EQ(again.next_item(&it), zjs::Reader::kOk);
  EXPECT_EQ(it.value, 3u);
  ASSERT_EQ(main.next_chunk(&h), zjs::Reader::kOk);
  EXPECT_EQ(h.type, zjs::END_DOC);
  EXPECT_EQ(main.next_chunk(&h), zjs::Reader::kEnd);
  EXPECT_TRUE(main.rewind(16));
  EXPECT_EQ(main.next_chunk(&h), zjs::Reader::kOk);
  EXPECT_EQ(h.type, zjs::END_DOC);
  EXPECT_FALSE(main.rewind(1000));
  // A chunk whose body passes the end of the file is reported as not whole.
  testkit::spit(root("/cut.prn"), "JZJZ" + header_bytes(40, 5, 0) + "abc");
  zjs::Reader cut;
  ASSERT_TRUE(cut.open(root("/cut.prn"), &err));
  ASSERT_TRUE(cut.read_signature(false, &err));
  ASSERT_EQ(cut.next_chunk(&h), zjs::Reader::kOk);
  EXPECT_FALSE(cut.chunk_in_file());
  EXPECT_FALSE(cut.skip_body(24));
  EXPECT_EQ(cut.next_chunk(&h), zjs::Reader::kEnd);
}

TEST(JobStream, PageCountIsInsertedOnlyWhenMissing) {
  const std::string item_8510 = item_bytes(12, 0x8510, 1, 3);
  struct Case {
    std::string chunk, want;
    bool inserted;
  } cases[] = {
      // A count already there: the chunk stays byte for byte.
      {header_bytes(40, 0, 2) + item_bytes(12, 0x8510, 1) + item_bytes(12, 0, 7),
       header_bytes(40, 0, 2) + item_bytes(12, 0x8510, 1) + item_bytes(12, 0, 7), false},
      // The new item copies the first item's size, type and parameter bytes.
      {header_bytes(28, 0, 1) + item_8510, header_bytes(40, 0, 2) + item_8510 + item_bytes(12, 0, 5, 3), true},
      // No item to copy from: a numeric item as drivers write them.
      {header_bytes(16, 0, 0), header_bytes(28, 0, 1) + item_bytes(12, 0, 5), true},
  };
  for (const auto& c : cases) {
    std::string out, err;
    bool inserted = false;
    ASSERT_TRUE(zjs::with_page_count(c.chunk, 5, &out, &inserted, &err)) << err;
    EXPECT_EQ(out, c.want);
    EXPECT_EQ(inserted, c.inserted);
  }
  std::string out, err;
  bool inserted = false;
  EXPECT_FALSE(zjs::with_page_count(header_bytes(16, 2, 0), 5, &out, &inserted, &err));
  EXPECT_EQ(err, "not a START_DOC chunk");
  EXPECT_FALSE(zjs::with_page_count(header_bytes(40, 0, 0), 5, &out, &inserted, &err));
  EXPECT_FALSE(zjs::with_page_count("JZJZ", 5, &out, &inserted, &err));
}

TEST(JobStream, WholeStreams) {
  testkit::TempRoot root;
  const std::string job = testkit::make_job(testkit::JobSpec());
  std::string bad_size = job;
  bad_size[4 + 3] = 15;  // the START_DOC size
  struct Case {
    std::string bytes;
    bool whole;
  } cases[] = {
      {job, true},  {"JZJZ", true}, {job.substr(0, job.size() - 1), false},
      {job.substr(0, job.size() - 5), false}, {bad_size.substr(0, 20) + std::string(12, '\0'), false},
      {"ZJZJ" + job.substr(4), false}, {"JZ", false},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    testkit::spit(root("/w.prn"), cases[i].bytes);
    EXPECT_EQ(zjs::stream_is_whole(root("/w.prn")), cases[i].whole) << i;
  }
  EXPECT_FALSE(zjs::stream_is_whole(root("/missing.prn")));
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
    if (st == zjs::Reader::kBadSize || st == zjs::Reader::kReadError) w.error = true;
    if (st != zjs::Reader::kOk) break;
    ++w.chunks;
    if (h.type == zjs::START_PAGE) {
      ++w.pages;
      zjs::Item it;
      uint32_t n = 0;
      while (n < h.items && r.next_item(&it) == zjs::Reader::kOk) ++n;
      EXPECT_LE(n, h.items);
    }
  }
  return w;
}

TEST(JobStream, ReaderWalksEveryTruncationWithoutHarm) {
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

TEST(JobStream, ReaderRejectsChunkSizesBelowTheHeader) {
  testkit::TempRoot root;
  std::string job("JZJZ\0\0\0\x0F\0\0\0\0\0\0\0\0\0\0ZZ", 20);
  testkit::spit(root("/bad.prn"), job);
  zjs::Reader r;
  std::string err;
  ASSERT_TRUE(r.open(root("/bad.prn"), &err));
  ASSERT_TRUE(r.read_signature(false, &err));
  zjs::ChunkHeader h;
  EXPECT_EQ(r.next_chunk(&h, &err), zjs::Reader::kBadSize);
  EXPECT_NE(err.find("below 16"), std::string::npos);
}

TEST(JobStream, ReaderSignatures) {
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

TEST(JobStream, GeneratedCaptureCarriesItsLength) {
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
