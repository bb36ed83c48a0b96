#include "spooler/stuckwatch.h"

#include <vector>

#include "gtest/gtest.h"

namespace {

using ld::StuckChange;

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

}  // namespace
