#include "rfid/tags.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdlib.h>

#include <filesystem>

namespace rfid {
namespace {

// An inventory item as the tag table takes it: two header bytes, the EPC, three signal bytes.
std::vector<uint8_t> item(uint8_t id, uint8_t rssi = 0x40) {
  std::vector<uint8_t> b{0x30, 12};
  for (int i = 0; i < 12; ++i) b.push_back(static_cast<uint8_t>(i == 11 ? id : 0xE0 + i));
  b.push_back(rssi);
  b.push_back(0x02);
  b.push_back(0x07);
  return b;
}

struct Harness {
  std::vector<TagReport> reports;
  std::string out, log;
  int lost_tags = 0;
  TagContext ctx;
  Harness(int location = 1) {
    ctx.location = location;
    ctx.send_entry_tags = ctx.send_exit_tags = true;
    ctx.out = &out;
    ctx.log = &log;
    ctx.lost_tags = &lost_tags;
    ctx.now = {1000, 0};
    ctx.report = [this](const TagReport& r) { reports.push_back(r); };
  }
  // One inventory reply carrying `ids` in cycle `cycle`, followed by lost detection.
  void cycle(TagTable& t, int cycle, std::initializer_list<uint8_t> ids) {
    ctx.now.sec += 1;
    for (uint8_t id : ids) t.add_tag(item(id), cycle, ctx);
    t.check_tags(cycle, ctx);
  }
};

TEST(TagEntry, EncodesAtFixedOffsets) {
  tag_entry e;
  e.hdr = {0xA1, 0xA2};
  e.epc[0] = 0xE1;
  e.written_epc[11] = 0xEB;
  e.signal = 0x1234;
  e.reads = -2;
  e.first_seen = {0x01020304, 5};
  e.last_seen = {7, 0x0A0B0C0D};
  e.t1 = 1.5;
  e.status = 4;
  e.pos = 17;
  e.cycle_list[0] = 0x11;
  e.cycle_list[199] = 0x22;
  e.cycle_count = 10;
  e.lost_seq = 0x7F000001;
  std::array<uint8_t, kTagEntryBytes> b;
  encode_tag_entry(e, b);
  struct {
    size_t off;
    uint8_t byte;
  } golden[] = {{0, 0xA1}, {1, 0xA2}, {2, 0xE1}, {33, 0xEB}, {44, 0x34}, {45, 0x12}, {52, 0xFE},
                {55, 0xFF}, {56, 0x04}, {59, 0x01}, {60, 5}, {64, 7}, {68, 0x0D}, {71, 0x0A},
                {78, 0xF8}, {79, 0x3F},  // 1.5 as a little-endian double
                {88, 4}, {92, 17}, {96, 0x11}, {892, 0x22}, {896, 10}, {916, 0x01}, {919, 0x7F}};
  for (const auto& g : golden) EXPECT_EQ(b[g.off], g.byte) << "offset " << g.off;
  const tag_entry d = decode_tag_entry(b);
  std::array<uint8_t, kTagEntryBytes> again;
  encode_tag_entry(d, again);
  EXPECT_EQ(b, again);
  EXPECT_EQ(d.first_seen.sec, 0x01020304);
  EXPECT_EQ(d.t1, 1.5);
}

TEST(TagTable, AddsThenUpdates) {
  Harness h;
  h.ctx.current_pos = 3;
  h.ctx.since_last_tof = 0.25;
  TagTable t;
  EXPECT_TRUE(t.add_tag(item(1, 0x55), 1, h.ctx));
  EXPECT_FALSE(t.add_tag(item(1), 2, h.ctx));
  ASSERT_EQ(t.count(), 1);
  const tag_entry& e = t.at(0);
  EXPECT_EQ(e.reads, 2);
  EXPECT_EQ(e.signal, 0x55 * 256 + 2);
  EXPECT_EQ(e.extra, 7);
  EXPECT_EQ(e.pos, 3);
  EXPECT_EQ(e.t1, 0.25);
  EXPECT_EQ(e.first, 1);
  EXPECT_EQ(e.last, 2);
  ASSERT_EQ(h.reports.size(), 1u);  // the new tag only
  EXPECT_EQ(h.reports[0].st, 1);
  EXPECT_TRUE(h.reports[0].entry);
  EXPECT_EQ(t.find_tag(e.epc), 0);
  EXPECT_NE(h.log.find("Entry: new tag 1 <e0e1"), std::string::npos) << h.log;
}

TEST(TagTable, LostThenRefoundAfterMoreThanTwoCycles) {
  Harness h;
  TagTable t;
  h.cycle(t, 1, {1});
  h.cycle(t, 2, {1});
  h.cycle(t, 3, {2});  // 1 missing: lost
  h.cycle(t, 4, {2});  // still missing: not reported again
  h.cycle(t, 6, {1, 2});
  // new 1, new 2, lost 1, refound 1
  ASSERT_EQ(h.reports.size(), 4u);
  EXPECT_EQ(h.reports[2].st, 0);
  EXPECT_EQ(h.reports[2].nr, 2);
  EXPECT_EQ(h.reports[2].dt, 1000);
  EXPECT_EQ(h.reports[3].st, 1);
  EXPECT_EQ(t.at(0).lost_state, REFOUND);
  EXPECT_EQ(h.lost_tags, 1);
}

TEST(TagTable, NotRefoundWithinTwoCycles) {
  Harness h;
  TagTable t;
  h.cycle(t, 1, {1});
  h.cycle(t, 2, {2});
  h.cycle(t, 3, {1, 2});
  EXPECT_EQ(t.at(0).lost_state, LOST);
  EXPECT_EQ(h.reports.size(), 3u);  // new, new, lost
}

TEST(TagTable, CycleListKeepsTenAndTheLatest) {
  Harness h;
  TagTable t;
  for (int c = 1; c <= 15; ++c) t.add_tag(item(1), c, h.ctx);
  const tag_entry& e = t.at(0);
  EXPECT_EQ(e.cycle_count, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(e.cycle_list[i], i + 1);
  EXPECT_EQ(e.cycle_list[10], 15);
}

TEST(TagTable, FullTableReplacesEntryZero) {
  Harness h;
  h.ctx.send_entry_tags = false;
  TagTable t;
  for (int i = 0; i < kTagTableFill; ++i) {
    auto it = item(0);
    it[2] = static_cast<uint8_t>(i >> 8);
    it[3] = static_cast<uint8_t>(i);
    t.add_tag(it, 0, h.ctx);
  }
  ASSERT_EQ(t.count(), kTagTableFill);
  EXPECT_TRUE(t.add_tag(item(0xEE), 0, h.ctx));
  EXPECT_EQ(t.count(), kTagTableFill);
  EXPECT_EQ(t.at(0).epc[11], 0xEE);
}

TEST(TagTable, DumpLoadRoundTripAndOverlap) {
  Harness h;
  TagTable entry, exit_t;
  h.cycle(entry, 1, {1, 2, 3});
  const auto bytes = entry.dump();
  ASSERT_EQ(bytes.size(), 3 * kTagEntryBytes);
  EXPECT_EQ(exit_t.load(bytes), 3);
  EXPECT_EQ(exit_t.at(2).epc, entry.at(2).epc);
  EXPECT_EQ(exit_t.at(2).reads, 0);
  std::string out;
  EXPECT_EQ(check_overlap(entry, exit_t, &out), 3);
  EXPECT_NE(out.find(" 3 found overlap 2 2 0\n"), std::string::npos) << out;
  // A partial trailing record is not loaded.
  std::vector<uint8_t> partial(bytes.begin(), bytes.end() - 1);
  EXPECT_EQ(exit_t.load(partial), 2);
}

TEST(TagTable, FixStepGivesTheEntryANewEpc) {
  Harness h;
  h.ctx.fix_mode = true;
  TagTable t;
  for (uint8_t id = 1; id <= 4; ++id) {
    auto it = item(id);
    it[2 + 9] = 0x55;  // no fix needed
    t.add_tag(it, 0, h.ctx);
  }
  const std::vector<uint8_t> bad{0, 0, 0x30, 0x08, 0x33, 0xB2, 0xDD, 0xD9, 0x01, 0x40,
                                 0,  0, 0,    0,    0,    0,    0};
  t.add_tag(bad, 0, h.ctx);
  EXPECT_TRUE(h.reports.empty());
  Epc old_epc, new_epc;
  ASSERT_TRUE(t.fix_step(&old_epc, &new_epc));
  EXPECT_EQ(epc_to_str(new_epc), "300833B2DDD9014000050000");
  EXPECT_EQ(t.at(4).epc, new_epc);
  EXPECT_FALSE(t.fix_step(&old_epc, &new_epc));
}

TEST(TagTable, DumpFileRoundTripAndListing) {
  char tmpl[] = "/tmp/rfid_tags_XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  const std::string dir = tmpl;
  Harness h;
  TagTable t, back;
  h.cycle(t, 1, {1, 2});
  t.at(0).status = 2;
  t.at(1).status = 7;  // only a damaged file holds such a code
  std::string err;
  ASSERT_TRUE(dump_tags(t, dir, 1, &err)) << err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/entry_tags.data"));
  ASSERT_TRUE(load_tags(&back, dir, 1, &err)) << err;
  EXPECT_EQ(back.count(), 2);
  EXPECT_FALSE(load_tags(&back, dir, 2, &err));
  EXPECT_EQ(err, "could not open " + dir + "/exit_tags.data\n");
  // An empty table (the key command "d" before any read) has no buffer to hand to fwrite: it is
  // dumped as an empty file and loads as no tags.
  const TagTable empty;
  ASSERT_TRUE(dump_tags(empty, dir, 2, &err)) << err;
  EXPECT_EQ(std::filesystem::file_size(dir + "/exit_tags.data"), 0u);
  ASSERT_TRUE(load_tags(&back, dir, 2, &err)) << err;
  EXPECT_EQ(back.count(), 0);
  std::filesystem::remove_all(dir);

  const std::string list = show_tags(t, 1, {1003, 0});
  EXPECT_NE(list.find("------- Entry TAGS (2) ---"), std::string::npos) << list;
  EXPECT_NE(list.find("   0:(      OK) : e0e1e2e3e4e5e6e7e8e9ea01  1   1  0 "), std::string::npos) << list;
  EXPECT_NE(list.find("   1:(       7) : "), std::string::npos) << list;
  EXPECT_NE(list.find("        OK :    1\n"), std::string::npos) << list;
}

TEST(LabelPositions, FirstReportSetsTheOrigin) {
  LabelPositions p;
  std::string out;
  EXPECT_EQ(p.get_last_pos(), -1);
  p.tof(40, {100, 0}, &out);
  EXPECT_EQ(out, "got first tof at 40\n");
  EXPECT_EQ(p.get_last_pos(), 0);
  p.tof(43, {101, 500000}, &out);
  EXPECT_EQ(p.get_last_pos(), 3);
  EXPECT_DOUBLE_EQ(p.get_time_since_last_tof({102, 0}), 0.5);
  p.clear_positions();
  EXPECT_EQ(p.get_last_pos(), -1);
  // Positions whose difference does not fit an int are saturated, never overflowed.
  p.tof(-2000000000, {103, 0}, &out);
  p.tof(2000000000, {104, 0}, &out);
  EXPECT_EQ(p.get_last_pos(), INT_MAX);
}

TEST(EpcText, Conversions) {
  Epc e;
  for (int i = 0; i < 12; ++i) e[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  EXPECT_EQ(epc_to_str(e), "000102030405060708090A0B");
  std::vector<uint8_t> b;
  EXPECT_EQ(hex2byte("12345", &b), 0);
  EXPECT_EQ(hex2byte("0aFF", &b), 2);
  EXPECT_EQ(b, (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(write_status_name(5), "RW_FAIL");
  EXPECT_EQ(write_status_name(9), "9");
  EXPECT_EQ(write_status_name(-1), "-1");
}

// A damaged dump file cannot steer memory: a record whose cycle count is out of range is
// refused (a later read of that tag indexed its cycle list with it), and a listing of positions
// far apart prints their true distance.
TEST(TagTable, DamagedRecordsAreRefusedAndFarPositionsListed) {
  Harness h;
  TagTable t, back;
  h.cycle(t, 1, {1, 2, 3});
  t.at(1).cycle_count = -1000000000;
  t.at(2).cycle_count = kCycleCountMax + 1;
  int refused = 0;
  EXPECT_EQ(back.load(t.dump(), &refused), 1);
  EXPECT_EQ(refused, 2);
  back.add_tag(item(2), 2, h.ctx);  // the refused tag comes back as a new entry
  EXPECT_EQ(back.count(), 2);

  t.at(0).pos = INT32_MIN;
  t.at(1).pos = INT32_MAX;
  EXPECT_NE(show_tags(t, 1, {1003, 0}).find(" 4294967295 "), std::string::npos);
}

}  // namespace
}  // namespace rfid
