#include "spooler/stuckwatch.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "spooler/printq.h"
#include "testkit/scenario.h"

namespace {

using ld::StuckChange;
using spooler::queue_record;

struct Row {
  int64_t t_ms;
  bool online, paused, sending;
  int64_t bytes;
  StuckChange want;
  bool stuck_after;
};

void run_table(const char* what, const std::vector<Row>& rows) {
  ld::StuckState st;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    ld::StuckSample s{r.t_ms, r.online, r.paused, r.sending, r.bytes};
    EXPECT_EQ(ld::stuck_step(&st, s, 1000), r.want) << what << ", row " << i;
    EXPECT_EQ(st.stuck, r.stuck_after) << what << ", row " << i;
  }
}

constexpr auto N = StuckChange::kNone;
constexpr auto S = StuckChange::kBecameStuck;
constexpr auto M = StuckChange::kMovedAgain;

TEST(StuckWatch, DecidesOverTime) {
  run_table("a send that keeps moving is never stuck",
            {{0, true, false, true, 0, N, false}, {900, true, false, true, 10, N, false},
             {1800, true, false, true, 20, N, false}, {2700, true, false, true, 30, N, false}});
  run_table("no progress for the limit raises it once, progress clears it",
            {{0, true, false, true, 5, N, false}, {999, true, false, true, 5, N, false},
             {1000, true, false, true, 5, S, true}, {5000, true, false, true, 5, N, true},
             {5100, true, false, true, 6, M, false}, {6000, true, false, true, 6, N, false},
             {6100, true, false, true, 6, S, true}});
  run_table("offline or paused time does not count",
            {{0, true, false, true, 0, N, false}, {900, false, false, true, 0, N, false},
             {1800, true, true, true, 0, N, false}, {2700, true, false, true, 0, N, false},
             {3700, true, false, true, 0, S, true}});
  run_table("a printer going offline takes the notice down",
            {{0, true, false, true, 0, N, false}, {1000, true, false, true, 0, S, true},
             {1500, false, false, true, 0, M, false}});
  run_table("the send ending takes the notice down, a new send starts its own clock",
            {{0, true, false, true, 0, N, false}, {1000, true, false, true, 0, S, true},
             {1200, true, false, false, 0, M, false}, {1300, true, false, false, 0, N, false},
             {1400, true, false, true, 0, N, false}, {2399, true, false, true, 0, N, false},
             {2400, true, false, true, 0, S, true}});
}

queue_record head_record(const char* path, const char* name, int copies_sent) {
  queue_record r;
  std::strncpy(r.path, path, sizeof r.path - 1);
  std::strncpy(r.displayname, name, sizeof r.displayname - 1);
  r.printing = 1;
  r.copies_sent = copies_sent;
  return r;
}

// The watchdog as the send loop drives it: the notice file and the event-log lines follow the
// decision, a send tried again after it was given up keeps its clock, a resend that gets no
// further than the last try is no progress, and the pages show only a notice about the head.
TEST(StuckWatchdog, NoticeAndLogFollowTheSendAcrossRetries) {
  testkit::TempRoot root;
  ld::FakeClock clock;
  std::vector<std::string> log;
  bool online = true;
  ld::StuckWatchdog::Probes probes;
  probes.printer_online = [&] { return online; };
  probes.paused = [] { return false; };
  probes.log = [&](std::string_view t) { log.emplace_back(t); };
  ld::StuckWatchdog watch(clock, probes, 60000);
  const queue_record head = head_record("/print/printq/a_0.prn", "Pallet tags", 1);
  std::vector<queue_record> queue = {head};

  // A sender killed while its job was stuck left the notice; the next send takes it down.
  ASSERT_TRUE(ld::write_file_atomic(ld::stuck_notice_path(), ld::format_stuck_notice({"Pallet tags", head.path, 1})));
  watch.begin(head);
  EXPECT_FALSE(ld::file_exists(ld::stuck_notice_path()));
  watch.progress(50000);
  clock.advance(59);
  watch.progress(50000);
  EXPECT_FALSE(ld::file_exists(ld::stuck_notice_path()));
  clock.advance(1);
  watch.progress(50000);
  ASSERT_TRUE(ld::current_stuck_notice(queue).has_value());
  EXPECT_EQ(ld::current_stuck_notice(queue)->job, "Pallet tags");
  EXPECT_EQ(ld::current_stuck_notice(queue)->since, static_cast<int64_t>(clock.now()) - 60);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("Pallet tags is not moving"), std::string::npos) << log[0];

  // The send was given up and is tried again: the same bytes again are no progress.
  watch.begin(head);
  watch.progress(20000);
  clock.advance(5);
  watch.progress(50000);
  EXPECT_TRUE(ld::file_exists(ld::stuck_notice_path()));
  EXPECT_EQ(log.size(), 1u);

  // The notice concerns the head job only: another head does not show it.
  EXPECT_FALSE(ld::current_stuck_notice({head_record("/print/printq/b_0.prn", "B", 1)}).has_value());

  watch.progress(50001);
  EXPECT_FALSE(ld::file_exists(ld::stuck_notice_path()));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find("moving again"), std::string::npos) << log[1];

  // Stuck again, then the printer goes offline: that explains the wait, the notice goes.
  clock.advance(61);
  watch.progress(50001);
  EXPECT_TRUE(ld::file_exists(ld::stuck_notice_path()));
  online = false;
  clock.advance(1);
  watch.progress(50001);
  EXPECT_FALSE(ld::file_exists(ld::stuck_notice_path()));

  // A new copy is a new send; the loop ending takes everything down.
  online = true;
  watch.begin(head_record("/print/printq/a_0.prn", "Pallet tags", 2));
  clock.advance(61);
  watch.progress(0);
  EXPECT_TRUE(ld::file_exists(ld::stuck_notice_path()));
  watch.idle();
  EXPECT_FALSE(ld::file_exists(ld::stuck_notice_path()));
  EXPECT_EQ(log.size(), 6u);
}

TEST(StuckNotice, ParsesWhatItWritesAndRefusesTheRest) {
  ld::StuckNotice n{"name\nwith=line", "/print/printq/x_0.prn", 1700000000};
  std::optional<ld::StuckNotice> back = ld::parse_stuck_notice(ld::format_stuck_notice(n));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->job, "name with=line");
  EXPECT_EQ(back->path, n.path);
  EXPECT_EQ(back->since, n.since);
  for (const char* bad : {"", "since=12\n", "since=x\npath=/a\n", "job=a\npath=/a\n", "since=\npath=/a\n"})
    EXPECT_FALSE(ld::parse_stuck_notice(bad).has_value()) << bad;
}

}  // namespace
