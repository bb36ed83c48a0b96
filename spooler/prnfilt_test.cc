#include "spooler/prnfilt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include "common/fsops.h"
#include "common/bytes.h"
#include "spooler/jobstream.h"
#include "testkit/capture.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::slurp;
using testkit::spit;

zjs::Item item(uint16_t id, int32_t value) {
  zjs::Item it;
  it.id = id;
  it.value = static_cast<uint32_t>(value);
  return it;
}

struct Chunk {
  zjs::ChunkHeader h;
  std::vector<zjs::Item> items;
  std::string body;
};

// Splits a whole job in memory into its chunks; *clean is false when the stream does not end
// exactly at the end of a chunk.
std::vector<Chunk> chunks_of(const std::string& job, bool* clean) {
  std::vector<Chunk> out;
  *clean = job.compare(0, 4, "JZJZ") == 0;
  size_t pos = 4;
  const auto* b = reinterpret_cast<const unsigned char*>(job.data());
  while (*clean && pos < job.size()) {
    if (job.size() - pos < zjs::kHeaderSize) {
      *clean = false;
      break;
    }
    Chunk c;
    c.h = zjs::decode_header(b + pos);
    if (c.h.size < zjs::kHeaderSize || c.h.size > job.size() - pos) {
      *clean = false;
      break;
    }
    c.body = job.substr(pos + zjs::kHeaderSize, c.h.size - zjs::kHeaderSize);
    if (c.h.type == zjs::START_DOC || c.h.type == zjs::START_PAGE)
      c.items = zjs::parse_items(b + pos + zjs::kHeaderSize, c.body.size(), c.h.items);
    out.push_back(c);
    pos += c.h.size;
  }
  return out;
}

// An item as logs show it: "%x=%d".
std::string item_text(uint16_t id, uint32_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%x=%d", id, static_cast<int32_t>(value));
  return buf;
}

// "{id=value,...}" of the items that differ from the reference chunk's items.
std::string item_diff(const std::vector<zjs::Item>& got, const std::vector<zjs::Item>& ref) {
  std::string d;
  for (size_t i = 0; i < got.size(); ++i) {
    if (i < ref.size() && ref[i].id == got[i].id && ref[i].value == got[i].value) continue;
    d += (d.empty() ? "" : ",") + item_text(got[i].id, got[i].value);
  }
  return d.empty() ? "" : "{" + d + "}";
}

// A compact picture of a filtered generated job against the job it came from: "D" for the
// START_DOC, "pN" for input page N (START_PAGE, its image, END_PAGE), "x" for END_DOC, each
// followed by the items that differ from the input's, e.g. "D{8510=0} p2{4=3} p3{4=3} x".
std::string summary(const std::string& out, const std::string& in) {
  bool clean_in = false, clean_out = false;
  std::vector<Chunk> ref = chunks_of(in, &clean_in);
  std::vector<zjs::Item> doc_items;
  std::vector<std::vector<zjs::Item>> page_items;
  std::map<std::string, int> page_of_image;
  for (const Chunk& c : ref) {
    if (c.h.type == zjs::START_DOC) doc_items = c.items;
    if (c.h.type == zjs::START_PAGE) page_items.push_back(c.items);
    if (c.h.type == zjs::OPAQUE_DATA) page_of_image[c.body] = static_cast<int>(page_items.size());
  }
  std::string s;
  std::vector<Chunk> got = chunks_of(out, &clean_out);
  for (size_t i = 0; i < got.size(); ++i) {
    const Chunk& c = got[i];
    std::string tok;
    if (c.h.type == zjs::START_DOC) {
      tok = "D" + item_diff(c.items, doc_items);
    } else if (c.h.type == zjs::END_DOC) {
      tok = "x";
    } else if (c.h.type == zjs::START_PAGE && i + 2 < got.size() && got[i + 1].h.type == zjs::OPAQUE_DATA &&
               got[i + 2].h.type == zjs::END_PAGE && page_of_image.count(got[i + 1].body)) {
      int n = page_of_image[got[i + 1].body];
      tok = "p" + std::to_string(n) + item_diff(c.items, page_items[n - 1]);
      i += 2;
    } else {
      tok = zjs::chunk_type_name(c.h.type);
    }
    s += (s.empty() ? "" : " ") + tok;
  }
  if (!clean_out) s += " <broken>";
  return s;
}

class PrnfiltTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return root_.path() + "/" + name; }

  // Runs the filter with its messages captured.
  int filter(const prnfilt_args& a, int32_t* flag, std::string* messages, prnfilt_result* result = nullptr) {
    testkit::CapturedFile msg;
    prnfilt_result r = prnfilt_run(a, flag, msg.get());
    *messages = msg.text();
    EXPECT_EQ(r.fault == prnfilt_fault::kNone, r.pages >= 0);
    if (result != nullptr) *result = r;
    return r.pages;
  }

  testkit::TempRoot root_;
};

// A five-page job whose pages carry every item the filter treats specially.
testkit::JobSpec five_pages() {
  testkit::JobSpec gen;
  gen.pages = 5;
  gen.payload = 40;
  gen.doc_items = {item(0x8510, 9), item(0x8514, 2)};
  gen.page_items = {item(113, -4), item(0x8514, 1), item(0x8510, 7), item(0x20, 5), item(0x21, 6)};
  return gen;
}

struct Case {
  const char* name;
  int from, to, copies, collate, quality, disp;
  std::vector<prnfilt_override> overrides;
  const char* want;  // summary of the output; "" when no output is written
  int flag;          // send_copies afterwards
};

TEST_F(PrnfiltTest, GeneratedJobTable) {
  const Case cases[] = {
      {"range", 2, 3, 1, 0, 0, 0, {}, "D{8510=0} p2{8510=0} p3{8510=0} x", 0},
      {"to below from gives page from", 4, 2, 1, 0, 0, 0, {}, "D{8510=0} p4{8510=0} x", 0},
      {"single last page", 5, 5, 1, 0, 0, 0, {}, "D{8510=0} p5{8510=0} x", 0},
      {"collated copies repeat the pages as rewritten", 1, 2, 3, 1, -3, 0, {},
       "D{8510=0} p1{71=-3,8510=0} p2{71=-3,8510=0} p1{71=-3,8510=0} p2{71=-3,8510=0} "
       "p1{71=-3,8510=0} p2{71=-3,8510=0} x", 0},
      {"uncollated copies go into item 4", 1, 2, 3, 0, 0, 0, {},
       "D{8510=0} p1{4=3,8510=0} p2{4=3,8510=0} x", 0},
      {"collate with one copy", 1, 5, 1, 1, 0, 0, {},
       "D{8510=0} p1{8510=0} p2{8510=0} p3{8510=0} p4{8510=0} p5{8510=0} x", 0},
      {"to beyond the last page, collated: all copies", 4, 99, 2, 1, 0, 0, {},
       "D{8510=0} p4{8510=0} p5{8510=0} p4{8510=0} p5{8510=0} x", 0},
      {"to beyond the last page, uncollated", 4, 99, 2, 0, 0, 0, {},
       "D{8510=0} p4{4=2,8510=0} p5{4=2,8510=0} x", 0},
      {"disp and overrides, last wins, own rules first", 1, 1, 1, 0, 0, 3,
       {{0x20, 50}, {0x21, 60}, {0x20, 51}, {4, 9}, {113, 9}, {0x8510, 9}, {0x8514, 9}, {0, 1}},
       "D{0=1,8510=0,8514=3} p1{8514=3,8510=0,20=51,21=60} x", 0},
      {"too large for collation: one set and the flag", 2, 3, 5000000, 1, 0, 0, {},
       "D{8510=0} p2{8510=0} p3{8510=0} x", 1},
      {"count only", 0, 3, 1, 0, 0, 0, {}, "", 0},
      {"selection beyond the last page", 7, 9, 1, 0, 0, 0, {}, "", 0},
  };
  std::string in = path("in.prn");
  spit(in, testkit::make_job(five_pages()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = path("out.prn");
    ld::remove_file(out);
    prnfilt_args a{in, out, c.copies, c.collate, c.from, c.to, c.quality, c.disp, c.overrides};
    int32_t flag = 0;
    std::string msg;
    EXPECT_EQ(filter(a, &flag, &msg), 5);
    EXPECT_EQ(flag, c.flag);
    if (*c.want == '\0') {
      EXPECT_FALSE(ld::file_exists(out));
      EXPECT_EQ(msg, c.from > 0 ? "ERROR: Cannot find selected page\n" : "");
    } else {
      EXPECT_EQ(summary(slurp(out), slurp(in)), c.want);
      EXPECT_EQ(msg, "");
    }
  }
}

TEST_F(PrnfiltTest, FlagIsNeverCleared) {
  std::string in = path("in.prn");
  spit(in, testkit::make_job(five_pages()));
  prnfilt_args a{in, path("out.prn"), 2, 1, 1, 5, 0, 0, {}};
  int32_t flag = 1;
  std::string msg;
  EXPECT_EQ(filter(a, &flag, &msg), 5);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(summary(slurp(a.output), slurp(in)),
            "D{8510=0} p1{8510=0} p2{8510=0} p3{8510=0} p4{8510=0} p5{8510=0} p1{8510=0} "
            "p2{8510=0} p3{8510=0} p4{8510=0} p5{8510=0} x");
}

// Collated sets are read back in pieces; a selection spanning many pieces comes out whole.
TEST_F(PrnfiltTest, CollatesSelectionLargerThanOneReadPiece) {
  testkit::JobSpec gen = five_pages();
  gen.payload = 3 * kFilterBlock + 17;
  gen.payload_chunk = 1 << 20;
  std::string in = path("big.prn");
  spit(in, testkit::make_job(gen));
  prnfilt_args a{in, path("out.prn"), 3, 1, 2, 4, 0, 0, {}};
  int32_t flag = 0;
  std::string msg;
  EXPECT_EQ(filter(a, &flag, &msg), 5);
  EXPECT_EQ(summary(slurp(a.output), slurp(in)),
            "D{8510=0} p2{8510=0} p3{8510=0} p4{8510=0} p2{8510=0} p3{8510=0} p4{8510=0} "
            "p2{8510=0} p3{8510=0} p4{8510=0} x");
}

// Items that are not 12-byte numbers stop the rewriting, but the chunk keeps all its bytes.
TEST_F(PrnfiltTest, NonNumericItemsAreCarriedThrough) {
  std::string job = testkit::make_job(five_pages());
  // Page 1's START_PAGE follows the 4-byte signature and the 16 + 3 * 12 byte START_DOC.
  size_t page = 4 + 16 + 3 * 12;
  ASSERT_EQ(job[page + 7], zjs::START_PAGE);
  job[page + 16 + 12 + 6] = 2;  // the second item (113) becomes a type-2 item
  std::string in = path("odd.prn");
  spit(in, job);
  prnfilt_args a{in, path("out.prn"), 3, 0, 1, 1, -3, 0, {}};
  int32_t flag = 0;
  std::string msg;
  EXPECT_EQ(filter(a, &flag, &msg), 5);
  std::string out = slurp(a.output);
  // Item 4 is rewritten; from the odd item on, the chunk is copied as it stands.
  std::string start_page = job.substr(page, 16 + 6 * 12);
  bool clean = false;
  std::vector<Chunk> got = chunks_of(out, &clean);
  ASSERT_TRUE(clean);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[1].h.size, 16u + 6 * 12);
  EXPECT_EQ(got[1].body.substr(12), start_page.substr(16 + 12));
  EXPECT_EQ(got[1].items[0].value, 3u);
}

TEST_F(PrnfiltTest, FatalErrorsAreReturnedWithTheirMessage) {
  std::string good = path("good.prn");
  spit(good, testkit::make_job(five_pages()));
  std::string bad = path("bad.prn");
  spit(bad, "ZJZJ" + slurp(good).substr(4));
  struct {
    std::string in, out, want;
    prnfilt_fault fault;
    int error;
  } cases[] = {
      {path("missing.prn"), path("o.prn"), "ERROR: File " + path("missing.prn") + " not found.\n",
       prnfilt_fault::kJob, 0},
      {bad, path("o.prn"), "Error: invalid file format!\n", prnfilt_fault::kJob, 0},
      {path("messages"), path("o.prn"), "Error: invalid file format!\n", prnfilt_fault::kJob, 0},  // empty
      {good, path("no/such/dir/o.prn"), "ERROR: Cannot open file " + path("no/such/dir/o.prn") + "\n",
       prnfilt_fault::kOutput, ENOENT},
      {good, path(""), "ERROR: Cannot open file " + path("") + "\n", prnfilt_fault::kOutput, EISDIR},
      {good, good, "ERROR: Cannot open file " + good + "\n", prnfilt_fault::kOutput, 0},  // never onto itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    spit(path("messages"), "");
    prnfilt_args a{c.in, c.out, 1, 0, 1, 2, 0, 0, {}};
    int32_t flag = 0;
    std::string msg;
    prnfilt_result r;
    EXPECT_EQ(filter(a, &flag, &msg, &r), -1);
    EXPECT_EQ(msg, c.want);
    EXPECT_EQ(static_cast<int>(r.fault), static_cast<int>(c.fault));
    EXPECT_EQ(r.error, c.error);
    EXPECT_FALSE(ld::file_exists(path("o.prn")));
  }
  EXPECT_EQ(slurp(good), testkit::make_job(five_pages()));
}

// What zjsdecode (the driver package's own dump tool) sees in a job: "D", "pN{copies,media}"
// for each page by the page number the driver wrote into it, "x" for END_DOC.
std::string decoded(const std::string& file) {
  std::string dump;
  EXPECT_EQ(testkit::run({"/usr/bin/zjsdecode"}, &dump, nullptr, {}, slurp(file)), 0);
  std::istringstream lines(dump);
  std::string line, s, page, copies, media;
  auto flush_page = [&] {
    if (!page.empty()) s += " p" + page + "{" + copies + "," + media + "}";
    page.clear();
  };
  auto value = [](const std::string& l) { return l.substr(l.find(", ") + 2, l.find(" (") - l.find(", ") - 2); };
  while (std::getline(lines, line)) {
    if (line.rfind("ZJT_", 0) == 0) flush_page();
    if (line.rfind("ZJT_START_DOC", 0) == 0) s += "D";
    if (line.rfind("ZJT_END_DOC", 0) == 0) s += " x";
    if (line.rfind("\tZJI_MINOLTA_PAGE_NUMBER, ", 0) == 0) page = value(line);
    if (line.rfind("\tZJI_DMCOPIES, ", 0) == 0) copies = value(line);
    if (line.rfind("\tZJI_DMMEDIATYPE, ", 0) == 0) media = value(line);
  }
  flush_page();
  return s;
}

// Jobs made by the real driver: four pages of 1200 x 1600 dots.
TEST_F(PrnfiltTest, RealDriverJobs) {
  using testkit::Shade;
  std::string in = path("driver.prn");
  testkit::DriverJobSpec wanted =
      testkit::shade_pages(1200, 1600, {Shade::kWhite, Shade::kBlack, Shade::kGray, Shade::kWhite});
  wanted.path = in;
  testkit::DriverJob driver = testkit::driver_job(wanted);
  if (driver.cannot_start()) GTEST_SKIP() << driver.error;
  ASSERT_TRUE(driver.ok()) << driver.error;
  const std::string& job = driver.bytes;
  ASSERT_EQ(decoded(in), "D p1{1,1} p2{1,1} p3{1,1} p4{1,1} x");

  constexpr uint32_t kMediaType = 6;
  struct {
    int from, to, copies, collate;
    const char* want;
  } cases[] = {
      {2, 3, 1, 0, "D p2{1,2} p3{1,2} x"},
      {1, 2, 2, 1, "D p1{1,2} p2{1,2} p1{1,2} p2{1,2} x"},
      {3, 9, 3, 0, "D p3{3,2} p4{3,2} x"},
      {3, 9, 2, 1, "D p3{1,2} p4{1,2} p3{1,2} p4{1,2} x"},
      {4, 1, 5, 0, "D p4{5,2} x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    prnfilt_args a{in, path("out.prn"), c.copies, c.collate, c.from, c.to, 0, 0, {{kMediaType, 2}}};
    int32_t flag = 0;
    std::string msg;
    EXPECT_EQ(filter(a, &flag, &msg), 4);
    EXPECT_EQ(msg, "");
    EXPECT_EQ(decoded(a.output), c.want);
    bool clean = false;
    chunks_of(slurp(a.output), &clean);
    EXPECT_TRUE(clean);
  }

  // Every cut of the real job: no crash; either a failure that leaves no output, or an output
  // made of whole chunks.
  for (size_t len = 0; len < job.size(); ++len) {
    spit(in, job.substr(0, len));
    ld::remove_file(path("out.prn"));
    prnfilt_args a{in, path("out.prn"), 2, 1, 2, 3, -3, 0, {{kMediaType, 2}}};
    int32_t flag = 0;
    std::string msg;
    const int r = filter(a, &flag, &msg);
    EXPECT_GE(r, -1) << len;
    if (r < 0) {
      EXPECT_FALSE(ld::file_exists(a.output)) << len;
    } else if (ld::file_exists(a.output)) {
      bool whole = false;
      chunks_of(slurp(a.output), &whole);
      EXPECT_TRUE(whole) << len;
    }
  }
}

// A full disk in the middle of a job: the message, -1, and no half-written job left behind.
TEST_F(PrnfiltTest, WriteFailureRemovesThePartialOutput) {
  testkit::JobSpec gen = five_pages();
  gen.payload = 5000;
  std::string in = path("in.prn");
  spit(in, testkit::make_job(gen));
  std::string out = path("out.prn");
  testkit::CapturedFile msg;  // shared with the child, which writes it
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{8000, 8000};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    prnfilt_args a{in, out, 1, 0, 1, 5, 0, 0, {}};
    // The output's fault, with the system's reason: the job itself is sound.
    prnfilt_result r = prnfilt_run(a, nullptr, msg.get());
    std::fflush(msg.get());
    ::_exit(r.pages == -1 && r.fault == prnfilt_fault::kOutput && r.error == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(msg.text(), "ERROR: Cannot read input file!\n");
  EXPECT_FALSE(ld::file_exists(out));
}

// Every cut of a job is filtered without a crash. A cut inside a chunk of the selection fails
// (-1, no output: a job that ends inside a chunk must never be passed on to be printed); any
// other cut returns the START_PAGE headers that made it into the cut.
TEST_F(PrnfiltTest, EveryTruncationIsFilteredOrFails) {
  testkit::JobSpec gen = five_pages();
  gen.pages = 3;
  gen.payload = 20;
  std::string job = testkit::make_job(gen);
  std::vector<size_t> page_ends;  // offset just past each START_PAGE header
  std::vector<std::pair<size_t, size_t>> selected;  // chunks of pages 1 and 2
  bool clean = false;
  size_t pos = 4;
  for (const Chunk& c : chunks_of(job, &clean)) {
    if (c.h.type == zjs::START_PAGE) page_ends.push_back(pos + zjs::kHeaderSize);
    // A cut inside the first page's header leaves no page to select: not a failure.
    if (!page_ends.empty() && page_ends.size() <= 2 && c.h.type != zjs::END_DOC)
      selected.emplace_back(selected.empty() ? pos + zjs::kHeaderSize - 1 : pos, pos + c.h.size);
    pos += c.h.size;
  }
  ASSERT_EQ(page_ends.size(), 3u);
  std::string in = path("cut.prn"), out = path("out.prn");
  for (size_t len = 0; len < job.size(); ++len) {
    SCOPED_TRACE(len);
    spit(in, job.substr(0, len));
    ld::remove_file(out);
    prnfilt_args a{in, out, 3, 1, 1, 2, -3, 1, {{0x20, 1}}};
    int32_t flag = 0;
    std::string msg;
    int want = len < 4 ? -1 : 0;
    for (size_t e : page_ends) want += len >= e ? 1 : 0;
    for (auto [from, to] : selected) want = len > from && len < to ? -1 : want;
    EXPECT_EQ(filter(a, &flag, &msg), want);
    if (want < 0 && len >= 4) {
      EXPECT_FALSE(ld::file_exists(out));
      EXPECT_NE(msg.find("ERROR: Cannot read input file!\n"), std::string::npos) << msg;
    }
    if (ld::file_exists(out)) {
      bool whole = false;
      chunks_of(slurp(out), &whole);
      EXPECT_TRUE(whole);
      EXPECT_LE(ld::file_size(out), static_cast<int64_t>(3 * len));
    }
  }
}

// A chunk size below 16 cannot be followed: inside the selection it fails the filter instead of
// passing on the pages before it as the whole job.
TEST_F(PrnfiltTest, BrokenChunkInsideTheSelectionFails) {
  testkit::JobSpec gen = five_pages();
  std::string job = testkit::make_job(gen);
  bool clean = false;
  size_t pos = 4, page3 = 0;
  int pages = 0;
  for (const Chunk& c : chunks_of(job, &clean)) {
    if (c.h.type == zjs::START_PAGE && ++pages == 3) page3 = pos;
    pos += c.h.size;
  }
  ASSERT_GT(page3, 0u);
  write32(15, reinterpret_cast<unsigned char*>(job.data()) + page3);
  std::string in = path("bad.prn"), out = path("out.prn");
  spit(in, job);
  struct {
    int from, to, want;
    bool output;
  } cases[] = {
      {1, 5, -1, false},  // the broken chunk lies in the selection
      {1, 2, 2, true},    // it lies after it: the selection is whole
      {4, 5, 2, false},   // before the selection: the pages are never found
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    ld::remove_file(out);
    prnfilt_args a{in, out, 2, 1, c.from, c.to, 0, 0, {}};
    int32_t flag = 0;
    std::string msg;
    prnfilt_result r;
    EXPECT_EQ(filter(a, &flag, &msg, &r), c.want);
    if (c.want < 0) {
      EXPECT_EQ(static_cast<int>(r.fault), static_cast<int>(prnfilt_fault::kJob));  // the job's own
    }
    EXPECT_EQ(ld::file_exists(out), c.output);
    EXPECT_NE(msg.find("ERROR: chunk size 15 below 16 at offset " + std::to_string(page3) + "\n"), std::string::npos) << msg;
  }
}

}  // namespace
