#include "receiver/jobcatcher.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "common/bytes.h"
#include "common/clock.h"
#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::slurp;
using testkit::spit;

std::string stream_of(int pages, bool with_count, uint64_t payload = 100) {
  testkit::JobSpec s;
  s.pages = pages;
  s.with_pagecount = with_count;
  s.payload = payload;
  s.doc_items.push_back(zjs::Item{12, 0x8510, 1, 3, 7});
  return testkit::make_job(s);
}

// Stores a capture as if it had just been received.
int store(const jobcatcher::Config& cfg, const testkit::TempRoot& root, const std::string& capture,
          int pages) {
  spit(root("/print/tmp/upload.pjl"), capture);
  return jobcatcher::_process(cfg, pages);
}

class Catcher : public ::testing::Test {
 protected:
  void SetUp() override { root_.install_recording_log_client(); }
  std::string waiting(const std::string& name) { return root_("/print/prns/tmp/" + name); }
  bool flag() { return ld::file_exists(root_("/tmp/run_prn2jpg")); }
  testkit::TempRoot root_;
  // The console lines and the refusals, read back from these streams.
  testkit::CapturedFile out_, err_;
  jobcatcher::Config cfg_ = [this] {
    jobcatcher::Config c;
    c.out = out_.get();
    c.err = err_.get();
    return c;
  }();
};

TEST_F(Catcher, StoresAStreamWithPageCountByteForByte) {
  std::string stream = stream_of(2, true);
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "ABC"), 2), 1);
  EXPECT_EQ(slurp(waiting("ABC.prn")), stream);
  EXPECT_TRUE(flag());
  EXPECT_FALSE(ld::file_exists(jobcatcher::capture_path()));
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/tmp")), std::vector<std::string>{"ABC.prn"});
  std::string log = root_.log_client_output();
  EXPECT_NE(log.find("capturing [ABC]\n"), std::string::npos);
  EXPECT_NE(log.find("writing captured " + waiting("ABC.prn") + "\n"), std::string::npos);
}

TEST_F(Catcher, InsertsThePageCountWhenMissing) {
  std::string stream = stream_of(3, false);
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "NoCount"), 3), 1);
  std::string got = slurp(waiting("NoCount.prn"));
  ASSERT_EQ(got.size(), stream.size() + 12);
  const auto* g = reinterpret_cast<const unsigned char*>(got.data());
  const auto* s = reinterpret_cast<const unsigned char*>(stream.data());
  EXPECT_EQ(val32(g + 4), val32(s + 4) + 12);    // chunk size
  EXPECT_EQ(val32(g + 12), val32(s + 12) + 1);   // item count
  size_t doc_end = 4 + val32(s + 4);
  EXPECT_EQ(got.substr(20, doc_end - 20), stream.substr(20, doc_end - 20));  // old items kept
  // The new item copies size, type and parameter of the first one: 12, 1, 3.
  EXPECT_EQ(got.substr(doc_end, 12), std::string("\0\0\0\x0C\0\0\x01\x03\0\0\0\x03", 12));
  EXPECT_EQ(got.substr(doc_end + 12), stream.substr(doc_end));
}

TEST_F(Catcher, InsertedItemWithoutItemsToCopyFrom) {
  testkit::JobSpec s;
  s.with_pagecount = false;
  std::string stream = testkit::make_job(s);  // START_DOC without items
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "bare"), 1), 1);
  std::string got = slurp(waiting("bare.prn"));
  EXPECT_EQ(got.substr(20, 12), std::string("\0\0\0\x0C\0\0\x01\0\0\0\0\x01", 12));
}

TEST_F(Catcher, TailsOfEveryLengthAreCopiedWhole) {
  // Streams whose length after the START_DOC items is a multiple of 4096 plus 0 to 5 bytes.
  for (uint64_t extra = 0; extra <= 5; ++extra) {
    testkit::JobSpec s;
    s.payload = 4096 * 3 - 16 * 5 - 24 + extra;
    std::string stream = testkit::make_job(s);
    std::string name = "tail" + std::to_string(extra);
    ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, name), 1), 1);
    EXPECT_EQ(slurp(waiting(name + ".prn")), stream) << extra;
  }
}

TEST_F(Catcher, DuplicateNamesAreNumberedAcrossBothDirectories) {
  std::string stream = stream_of(1, true);
  spit(root_("/print/prns/ABC.prn"), "stored");
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "ABC"), 1), 1);
  EXPECT_TRUE(ld::file_exists(waiting("ABC1.prn")));
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "ABC"), 1), 1);
  EXPECT_TRUE(ld::file_exists(waiting("ABC2.prn")));
  spit(root_("/print/prns/ABC3.prn"), "stored");
  ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, "ABC"), 1), 1);
  EXPECT_TRUE(ld::file_exists(waiting("ABC4.prn")));
  EXPECT_EQ(slurp(root_("/print/prns/ABC.prn")), "stored");  // never overwritten
}

TEST_F(Catcher, RejectedCapturesStayAndRaiseNoFlag) {
  std::string good = testkit::wrap_capture(stream_of(1, true), "ok");
  std::string bad_trailer = good;
  bad_trailer[bad_trailer.size() - 1]--;  // one less than the length
  std::string bad_header = good;
  bad_header[5] = 'x';
  std::string not_doc = testkit::wrap_capture(stream_of(1, true).substr(0, 4) + stream_of(1, true).substr(4 + 28), "nd");
  struct Case {
    std::string capture, message;
  } cases[] = {
      {good.substr(0, 99), "Invalid file length\n"},
      {bad_trailer, "Invalid received file length\n"},
      {bad_header, "Invalid file header\n"},
      {not_doc, "does not begin with START_DOC"},
  };
  for (const auto& c : cases) {
    err_.take();
    EXPECT_EQ(store(cfg_, root_, c.capture, 1), 0);
    std::string err = err_.take();
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(slurp(jobcatcher::capture_path()), c.capture);
    EXPECT_FALSE(flag());
    EXPECT_TRUE(testkit::list_dir(root_("/print/prns/tmp")).empty());
  }
}

TEST_F(Catcher, HundredByteCapturePassesTheLengthCheck) {
  std::string stream = stream_of(0, true);
  std::string cap = testkit::wrap_capture(stream, "A", "");
  std::string pad(100 - cap.size(), ' ');
  cap = testkit::wrap_capture(stream, "A", pad);
  ASSERT_EQ(cap.size(), 100u);
  EXPECT_EQ(store(cfg_, root_, cap, 0), 1);
}

TEST_F(Catcher, OversizedStartDocIsRefused) {
  testkit::JobSpec s;
  for (int i = 0; i < 400; ++i) s.doc_items.push_back(zjs::Item{12, 100, 1, 0, 1});  // 4812 bytes
  err_.take();
  EXPECT_EQ(store(cfg_, root_, testkit::wrap_capture(testkit::make_job(s), "big"), 1), 0);
  EXPECT_NE(err_.take().find("above 4096"), std::string::npos);
  EXPECT_TRUE(testkit::list_dir(root_("/print/prns/tmp")).empty());
}

// Every stored job is a visible file: the renderer takes no hidden file for a job.
TEST_F(Catcher, UnsafeNamesStayInTheWaitingDirectory) {
  std::string stream = stream_of(1, true);
  for (std::string name : {std::string("../../escape"), std::string(".."), std::string(".hidden"),
                           std::string("\0rest", 5)})
    ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, name), 1), 1) << name;
  std::vector<std::string> files = testkit::list_dir(root_("/print/prns/tmp"));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"_._.._escape.prn", "__.prn", "_hidden.prn", "_rest.prn"}));
  EXPECT_FALSE(ld::file_exists(root_("/escape.prn")));
}

// Names that the cut would leave empty or too long for the programs that handle the job later:
// the stored names are visible to the renderer and at most 99 bytes, the number included.
TEST_F(Catcher, CutNamesAreNeverHiddenAndFitTheLimit) {
  std::string stream = stream_of(1, true);
  for (std::string name : {std::string(241, '\x80'), std::string(241, '\x80'), std::string(200, 'n'),
                           std::string(200, 'n')})
    ASSERT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, name), 1), 1);
  std::vector<std::string> files = testkit::list_dir(root_("/print/prns/tmp"));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"_.prn", "_1.prn", std::string(94, 'n') + "1.prn",
                                             std::string(95, 'n') + ".prn"}));
}

// The job name ends in its quote within 970 hex digits and before the stream; a capture whose
// name runs on is refused instead of taking later bytes for the name.
TEST_F(Catcher, JobNameMustEndWithinItsWindow) {
  std::string stream = stream_of(1, true);
  EXPECT_EQ(store(cfg_, root_, testkit::wrap_capture(stream, std::string(485, 'n')), 1),
            1);  // 970 digits
  std::string prefix = "\x1b%-12345X@PJL JOB WNAME = \"";
  auto raw = [&](const std::string& pre) {
    std::string out = pre + stream;
    unsigned char t[4];
    write32(static_cast<uint32_t>(out.size() + 4), t);
    return out.append(reinterpret_cast<char*>(t), 4);
  };
  const std::string cases[] = {
      testkit::wrap_capture(stream, std::string(486, 'n')),  // 972 digits
      raw(prefix + "414243\r\n"),                            // no quote before the stream
  };
  for (const std::string& cap : cases) {
    err_.take();
    EXPECT_EQ(store(cfg_, root_, cap, 1), 0);
    EXPECT_NE(err_.take().find("Invalid file header: the job name does not end"),
              std::string::npos);
    EXPECT_EQ(slurp(jobcatcher::capture_path()), cap);
  }
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/tmp")).size(), 1u);
}

TEST_F(Catcher, EveryTruncationOfACaptureIsHandled) {
  std::string cap = testkit::wrap_capture(stream_of(2, false, 40), "T");
  for (size_t n = 0; n < cap.size(); ++n) {
    std::string cut = cap.substr(0, n);
    out_.take();
    err_.take();
    int r = store(cfg_, root_, cut, 2);
    out_.take();
    err_.take();
    EXPECT_EQ(r, 0) << n;  // the trailer never matches a cut capture
  }
  // A cut stream with a matching trailer still never stores more than it has.
  for (size_t n = 4; n < cap.size() - 4; n += 7) {
    std::string body = cap.substr(0, n);
    std::string fixed = body;
    unsigned char t[4];
    write32(static_cast<uint32_t>(body.size() + 4), t);
    fixed.append(reinterpret_cast<char*>(t), 4);
    out_.take();
    err_.take();
    store(cfg_, root_, fixed, 2);
    out_.take();
    err_.take();
  }
  for (const auto& f : testkit::list_dir(root_("/print/prns/tmp")))
    EXPECT_NE(f.find(".prn"), std::string::npos) << "temporary file left: " << f;
}

// receive() over a socket pair: the console lines, the capture, and the page count.
struct Pair {
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~Pair() {
    ::close(fd[0]);
    if (fd[1] >= 0) ::close(fd[1]);
  }
  int fd[2];
};

TEST_F(Catcher, ReceivesInPiecesAndCountsPages) {
  std::string cap = testkit::wrap_capture(stream_of(3, false, 70000), "net");
  Pair p;
  std::thread sender([&] {
    // Odd piece sizes split headers and bodies at every kind of place.
    for (size_t off = 0; off < cap.size(); off += 977) {
      size_t n = std::min<size_t>(977, cap.size() - off);
      ld::write_all(p.fd[1], cap.data() + off, n);
    }
    ::close(p.fd[1]);
    p.fd[1] = -1;
  });
  out_.take();
  jobcatcher::Config cfg = cfg_;
  int pages = jobcatcher::receive(p.fd[0], cfg);
  sender.join();
  std::string out = out_.take();
  EXPECT_EQ(pages, 3);
  EXPECT_NE(out.find("pagecount:3\n"), std::string::npos);
  EXPECT_NE(out.find("finished " + std::to_string(cap.size()) + " pages 3 (0,"), std::string::npos);
  EXPECT_EQ(slurp(jobcatcher::capture_path()), cap);
  EXPECT_EQ(jobcatcher::_process(cfg_, pages), 1);
  std::string stored = slurp(waiting("net.prn"));
  EXPECT_EQ(val32(reinterpret_cast<const unsigned char*>(stored.data()) + 12), 2u);  // 8510 + count
}

TEST_F(Catcher, StalledSenderIsCutOffAndTheJobNotStored) {
  std::string cap = testkit::wrap_capture(stream_of(2, true), "stall");
  Pair p;
  ld::write_all(p.fd[1], cap.data(), cap.size() / 2);  // half, then silence
  jobcatcher::Config cfg = cfg_;
  cfg.idle_timeout_s = 1;
  // The allowance for the whole connection is counted on this clock, which stands still: only
  // the second of silence can end it, however late a busy machine wakes the receiver.
  ld::FakeClock clock(1000);
  cfg.clock = &clock;
  out_.take();
  err_.take();
  EXPECT_EQ(jobcatcher::receive(p.fd[0], cfg), -1);
  out_.take();
  std::string err = err_.take();
  EXPECT_NE(err.find("sender idle for 1 s"), std::string::npos) << err;
  EXPECT_NE(err.find("ends inside a chunk"), std::string::npos) << err;
  EXPECT_FALSE(flag());
}

// A receive as the accept loop does it: stored only when receiving found a whole stream.
struct Outcome {
  int pages;
  int stored;
  std::string err;
};
Outcome receive_and_store(const std::string& cap, const jobcatcher::Config& cfg,
                          testkit::CapturedFile& err) {
  Pair p;
  std::thread sender([&] {
    // Without SIGPIPE: the receiver may refuse the rest of the stream and close.
    for (size_t off = 0; off < cap.size();) {
      ssize_t n = ::send(p.fd[1], cap.data() + off, cap.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    ::close(p.fd[1]);
    p.fd[1] = -1;
  });
  err.take();
  Outcome o{};
  o.pages = jobcatcher::receive(p.fd[0], cfg);
  ::shutdown(p.fd[0], SHUT_RDWR);  // a sender still writing is let go
  sender.join();
  o.stored = o.pages >= 0 ? jobcatcher::_process(cfg, o.pages) : 0;
  o.err = err.take();
  return o;
}

// The trailer equals the capture's length, yet the stream stops inside a chunk: no job.
TEST_F(Catcher, StreamThatDoesNotEndOnAChunkBoundaryIsRefused) {
  const std::string stream = stream_of(2, true, 3000);
  auto with_trailer = [](std::string body) {
    unsigned char t[4];
    write32(static_cast<uint32_t>(body.size() + 4), t);
    return body.append(reinterpret_cast<char*>(t), 4);
  };
  const std::string pre = "\x1b%-12345X@PJL JOB WNAME = \"41\"\r\n";
  const size_t doc_end = 4 + val32(reinterpret_cast<const unsigned char*>(stream.data()) + 4);
  std::string huge_chunk = stream.substr(0, doc_end) + std::string("\xFF\xFF\xFF\xFF\0\0\0\x02\0\0\0\0\0\0\0\0", 16) +
                           std::string(200, 'd');
  const struct {
    std::string capture, message;
  } cases[] = {
      {with_trailer(pre + stream.substr(0, stream.size() - 1000)), "it ends inside a chunk"},
      {with_trailer(pre + huge_chunk), "it ends inside a chunk, 4294967075 bytes short"},
      {with_trailer(pre + stream.substr(0, stream.size() - 8)), "it ends inside a chunk, 4 bytes short"},
      {pre + stream, "no length trailer after its last chunk"},
  };
  for (const auto& c : cases) {
    Outcome o = receive_and_store(c.capture, cfg_, err_);
    EXPECT_EQ(o.pages, -1) << c.message;
    EXPECT_NE(o.err.find("Invalid job stream: " + std::string(c.message)), std::string::npos) << o.err;
    EXPECT_EQ(slurp(jobcatcher::capture_path()), c.capture);  // kept for inspection
  }
  EXPECT_TRUE(testkit::list_dir(root_("/print/prns/tmp")).empty());
  EXPECT_FALSE(flag());
  // The same stream, whole, is a job.
  EXPECT_EQ(receive_and_store(with_trailer(pre + stream), cfg_, err_).stored, 1);
}

TEST(ConnectionTimeLeft, GrowsWithTheBytesBrought) {
  const struct {
    int idle;
    int64_t bytes, elapsed, left;
  } cases[] = {
      {60, 0, 0, 60},                      // a new connection has the idle time-out
      {60, 1, 59, 1},                      // one byte in 59 s: one more second
      {60, 2, 60, 0},                      // ... its last second
      {60, 2, 61, -1},                     // ... then its time is up
      {60, 16384, 60, 1},                  // every kMinRate bytes buy a second
      {60, 256LL << 20, 3600, 16444 - 3600},  // a big job at a modest rate keeps going
      {1, 0xFFFFFFFFLL, 262142, 2},        // 32-bit sizes do not wrap
  };
  for (const auto& c : cases)
    EXPECT_EQ(jobcatcher::connection_time_left(c.idle, c.bytes, c.elapsed), c.left) << c.bytes << " " << c.elapsed;
}

// Each look at this clock is `step` seconds later: a sender whose every piece takes that long.
class SteppingClock : public ld::Clock {
 public:
  explicit SteppingClock(time_t step) : step_(step) {}
  time_t now() override { return t_ += step_; }
  void sleep_ms(long) override {}

 private:
  time_t t_ = 1700000000;
  time_t step_;
};

// A sender that keeps sending, but too slowly for what it brings, is let go; one whose bytes
// come fast enough is not, however long its job.
TEST_F(Catcher, TricklingSenderIsCutWhenItsAllowanceIsSpent) {
  const struct {
    std::string name;
    time_t step;
    testkit::JobSpec wanted;
    bool cut;
  } cases[] = {
      {"byte_a_minute", 59, {}, true},
      {"many_small_chunks", 1, [] { testkit::JobSpec s; s.pages = 60; s.payload = 10; return s; }(), true},
      {"big_and_steady", 1, [] { testkit::JobSpec s; s.pages = 2; s.payload = 4 << 20; return s; }(), false},
  };
  for (auto c : cases) {
    c.wanted.capture = true;
    c.wanted.name = c.name;
    SteppingClock clock(c.step);
    jobcatcher::Config cfg = cfg_;
    cfg.clock = &clock;
    cfg.idle_timeout_s = 120;  // the preamble, read byte by byte, fits in it at 1 s a look
    Outcome o = receive_and_store(testkit::make_job(c.wanted), cfg, err_);
    EXPECT_EQ(o.err.find("sender too slow") != std::string::npos, c.cut) << c.name << ": " << o.err;
    EXPECT_EQ(o.stored, c.cut ? 0 : 1) << c.name;
  }
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/tmp")), std::vector<std::string>{"big_and_steady.prn"});
}

TEST_F(Catcher, ChunkSizeBelowSixteenEndsTheConnection) {
  std::string cap = "\x1b%-12345X@PJL JOB WNAME = \"41\"\r\nJZJZ" + std::string("\0\0\0\x08\0\0\0\0\0\0\0\0\0\0ZZ", 16);
  Pair p;
  ld::write_all(p.fd[1], cap.data(), cap.size());
  err_.take();
  EXPECT_EQ(jobcatcher::receive(p.fd[0], cfg_), -1);
  EXPECT_NE(err_.take().find("invalid chunk size 8"), std::string::npos);
}

TEST_F(Catcher, PreambleWithoutStreamIsBounded) {
  Pair p;
  std::string junk(jobcatcher::kPreambleMax + 10, 'P');  // fits in the socket's buffer
  ASSERT_TRUE(ld::write_all(p.fd[1], junk.data(), junk.size()));
  out_.take();
  err_.take();
  EXPECT_EQ(jobcatcher::receive(p.fd[0], cfg_), -1);
  out_.take();
  EXPECT_NE(err_.take().find("no job stream"), std::string::npos);
  EXPECT_EQ(ld::file_size(jobcatcher::capture_path()), static_cast<int64_t>(jobcatcher::kPreambleMax));
}

}  // namespace
