#include "spooler/print_settings.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "spooler/jobstream.h"

namespace spooler {

namespace {

std::vector<queue_tag> numbered(int n) {
  std::vector<queue_tag> v;
  for (int i = 0; i < n; ++i) v.push_back({0x1000 + i, i});
  return v;
}

std::vector<std::pair<uint32_t, int32_t>> pairs(const prnfilt_args& a) {
  std::vector<std::pair<uint32_t, int32_t>> v;
  for (const prnfilt_override& o : a.overrides) v.emplace_back(o.id, o.value);
  return v;
}

TEST(PrintSettings, BecomeTheFilterArgumentsWithinTheirBounds) {
  struct Case {
    const char* what;
    print_settings in;
    int32_t from, to, copies, collate;
  } cases[] = {
      {"as chosen", {2, 4, 3, 1, -3, 2, {}}, 2, 4, 3, 1},
      {"a range that ends before it starts is left to the filter",
       {5, 2, 1, 0, 0, 0, {}},
       5,
       2,
       1,
       0},
      {"no first page prints from page 1", {0, 3, 1, 0, 0, 0, {}}, 1, 3, 1, 0},
      {"a negative first page too", {-7, 3, 1, 0, 0, 0, {}}, 1, 3, 1, 0},
      {"no copies is one copy", {1, 1, 0, 0, 0, 0, {}}, 1, 1, 1, 0},
      {"negative copies too", {1, 1, -4, 0, 0, 0, {}}, 1, 1, 1, 0},
      {"copies beyond the keypad's are held there",
       {1, 1, 2147483647, 1, 0, 0, {}},
       1,
       1,
       kPrintCopiesMax,
       1},
      {"any collate value is on", {1, 1, 2, -9, 0, 0, {}}, 1, 1, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const prnfilt_args a = filter_args(c.in, "/q/a_0.spl", "/q/a_0.spl.tmp");
    EXPECT_EQ(a.input, "/q/a_0.spl");
    EXPECT_EQ(a.output, "/q/a_0.spl.tmp");
    EXPECT_EQ(a.from, c.from);
    EXPECT_EQ(a.to, c.to);
    EXPECT_EQ(a.copies, c.copies);
    EXPECT_EQ(a.collate, c.collate);
    EXPECT_EQ(a.quality, c.in.quality);
    EXPECT_EQ(a.disp, c.in.disp);
    // The queued record says the same, so the sender sends what the filter made.
    queue_record r;
    put_settings(c.in, &r);
    const prnfilt_args again = filter_args(settings_of(r), a.input, a.output);
    EXPECT_EQ(r.copies, a.copies);
    EXPECT_EQ(again.from, a.from);
    EXPECT_EQ(again.copies, a.copies);
    EXPECT_EQ(again.collate, a.collate);
  }
}

TEST(PrintSettings, OnlyTheFirstFiftyOptionsCountForASaveAsForAPrint) {
  for (int n : {0, 1, kQueueMaxTags, kQueueMaxTags + 1, 200}) {
    SCOPED_TRACE(n);
    print_settings s;
    s.options = numbered(n);
    const prnfilt_args save = filter_args(s, "in", "out");
    queue_record r;
    r.ntags = 7;
    r.tags[kQueueMaxTags - 1] = {0x71, 99};  // left over in the record: must not survive
    put_settings(s, &r);
    const int kept = std::min(n, kQueueMaxTags);
    EXPECT_EQ(r.ntags, kept);
    ASSERT_EQ(save.overrides.size(), static_cast<size_t>(kept));
    EXPECT_EQ(pairs(filter_args(settings_of(r), "in", "out")), pairs(save));
    if (kept > 0) {
      EXPECT_EQ(save.overrides.back().id, static_cast<uint32_t>(0x1000 + kept - 1));
    }
    if (n < kQueueMaxTags) {
      EXPECT_EQ(r.tags[kQueueMaxTags - 1].id, 0);
    }
  }
  // A damaged record that claims more than it holds gives its fifty.
  queue_record r;
  r.ntags = 1000;
  EXPECT_EQ(settings_of(r).options.size(), static_cast<size_t>(kQueueMaxTags));
  r.ntags = -3;
  EXPECT_TRUE(settings_of(r).options.empty());
}

TEST(PrintSettings, HostileOptionsAreOnlyNumbersForTheirOwnItem) {
  print_settings s;
  s.options = {
      {-1, 5},                                // no item has it
      {static_cast<int32_t>(0xFFFF0071), 6},  // would be the quality item if it were cut to 16 bits
      {0x10000, 7},                           // one past the last item id
      {0x8001, -2147483647 - 1},              // any value is only a value
      {0x8001, 2147483647},                   // the last one naming an id wins in the filter
      {zjs::ZJI_COPIES, 50},                  // kept: the filter never lets it change the copies
  };
  const prnfilt_args a = filter_args(s, "in", "out");
  const std::vector<std::pair<uint32_t, int32_t>> want = {
      {0x8001, -2147483647 - 1}, {0x8001, 2147483647}, {zjs::ZJI_COPIES, 50}};
  EXPECT_EQ(pairs(a), want);
  // The record keeps them as given: it is what the user chose, and what the queue pages show.
  queue_record r;
  put_settings(s, &r);
  EXPECT_EQ(r.ntags, 6);
  EXPECT_EQ(r.tags[1].id, static_cast<int32_t>(0xFFFF0071));
}

}  // namespace

}  // namespace spooler
