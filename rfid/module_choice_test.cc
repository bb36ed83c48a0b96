#include "rfid/module_choice.h"

#include <gtest/gtest.h>

namespace rfid {
namespace {

TEST(ModuleChoice, ByTags) {
  struct {
    int r0, r1, who;
  } cases[] = {{3, 0, 1}, {0, 5, 2}, {0, 0, 0}, {2, 4, 0}};
  for (const auto& c : cases) EXPECT_EQ(decide_by_tags(c.r0, c.r1), c.who) << c.r0 << " " << c.r1;
}

// Every field of a line is checked against its bounds; a line that fails is refused whole.
TEST(ModuleChoice, LinesAreReadWithinTheirBounds) {
  struct {
    const char* line;
    bool ok;
    int power;
  } cases[] = {
      {"ENTRY /dev/ttyUSB0 52000000 5", true, 5},
      {"EXIT /dev/ttyUSB1 x 0", true, 0},     // corrected later
      {"EXIT /dev/ttyUSB1 x -7", true, -7},   // likewise
      {"EXIT /dev/ttyUSB1 x 30", true, 30},
      {"EXIT /dev/ttyUSB1 x 31", false, 0},
      {"EXIT /dev/ttyUSB1 x 99999999999999999999", false, 0},  // %d would make anything of it
      {"EXIT /dev/ttyUSB1 x -1000000000", false, 0},
      {"EXIT /dev/ttyUSB1 x 7x", false, 0},
      {"EXIT /dev/ttyUSB1 x", false, 0},
  };
  for (const auto& c : cases) {
    ModuleFileLine l;
    EXPECT_EQ(parse_module_line(c.line, &l), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(l.power, c.power) << c.line;
    }
  }
}

TEST(ModuleChoice, FromTheModuleFile) {
  const std::vector<std::string> devs{"/r/dev/ttyUSB0", "/r/dev/ttyUSB1"};
  struct Case {
    std::string text;
    bool all, corrected;
    std::vector<ModuleAssignment> mods;
    std::string err;  // a piece of what is printed on standard error
  } cases[] = {
      {"ENTRY /r/dev/ttyUSB1 0a0b0c0d 5\nEXIT /r/dev/ttyUSB0 UNKNOWN 7\n", true, false, {{2, 7}, {1, 5}}, ""},
      {"ENTRY /r/dev/ttyUSB0 x 1\nEXIT /r/dev/ttyUSB1 x 0\n", true, true, {{1, 1}, {2, 1}},
       "Correcting power 0->1\n"},
      {"ENTRY /r/dev/ttyUSB0 x 1\n", false, false, {{1, 1}, {0, 0}},
       "could not find location of /r/dev/ttyUSB1\n"},
      {"ENTRY /r/dev/ttyUSB0 x\nEXIT /r/dev/ttyUSB1 x 3\n", false, false, {{0, 0}, {2, 3}},
       "error parsing input\n"},
      {"SIDE /r/dev/ttyUSB0 x 1\nEXIT /r/dev/ttyUSB1 x 3\n", false, false, {{0, 0}, {2, 3}},
       "ERROR could not find module loation SIDE /r/dev/ttyUSB0 x"},
      // Two entry lines: there would be no exit module to write with.
      {"ENTRY /r/dev/ttyUSB0 x 1\nENTRY /r/dev/ttyUSB1 x 3\n", false, false, {{1, 1}, {1, 3}},
       "does not name one entry and one exit"},
      // An overlong line is read in pieces, none of which names a module.
      {"ENTRY /r/dev/ttyUSB0 " + std::string(120, 'x') + " 1\nEXIT /r/dev/ttyUSB1 x 3\n", false, false,
       {{0, 0}, {2, 3}}, "error parsing input\n"},
  };
  for (const auto& c : cases) {
    std::string out, err, log;
    const FileDecision d = decide_from_file(c.text, devs, &out, &err, &log);
    EXPECT_EQ(d.all_assigned, c.all) << c.text << err;
    EXPECT_EQ(d.corrected, c.corrected) << c.text;
    for (size_t i = 0; i < devs.size(); ++i) {
      EXPECT_EQ(d.modules[i].location, c.mods[i].location) << c.text << i;
      EXPECT_EQ(d.modules[i].power, c.mods[i].power) << c.text << i;
    }
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
    EXPECT_EQ(out.ends_with("done OK"), c.all) << out;
  }
  std::string out, err, log;
  decide_from_file("EXIT /r/dev/ttyUSB0 s 2\n", devs, &out, &err, &log);
  EXPECT_TRUE(out.starts_with("loaded <EXIT /r/dev/ttyUSB0 s 2\n>\nloaded <EXIT> </r/dev/ttyUSB0> <s> <2>\n")) << out;
  EXPECT_EQ(log, "loaded <EXIT> </r/dev/ttyUSB0> <s> <2>\n");
}

TEST(ModuleChoice, FileTextRoundTrips) {
  const std::string text = module_file_text("/d/ttyUSB0", "0a0b0c0d", 0, "/d/ttyUSB1", "UNKNOWN", 7);
  EXPECT_EQ(text, "ENTRY /d/ttyUSB0 0a0b0c0d 1\nEXIT /d/ttyUSB1 UNKNOWN 7\n");
  std::string out, err, log;
  const FileDecision d = decide_from_file(text, {"/d/ttyUSB1", "/d/ttyUSB0"}, &out, &err, &log);
  EXPECT_TRUE(d.all_assigned);
  EXPECT_EQ(d.modules[0].location, 2);
  EXPECT_EQ(d.modules[1].location, 1);
}

}  // namespace
}  // namespace rfid
