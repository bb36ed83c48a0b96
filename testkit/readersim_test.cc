#include "testkit/readersim.h"

#include <gtest/gtest.h>

#include "rfid/frame.h"

namespace readersim {
namespace {

using Bytes = std::vector<uint8_t>;

// Len, the bytes, the CRC: a frame as the modules send it.
Bytes framed(const Bytes& body) { return rfid::frame_of(body); }

Bytes epc(uint8_t last) {
  Bytes e(12, 0x30);
  e[11] = last;
  return e;
}

Bytes ask(Module& m, const Script& s, const Bytes& body, std::vector<std::string>* events = nullptr) {
  std::vector<std::string> ev;
  return answer(m, s, framed(body), events ? events : &ev);
}

TEST(Readersim, EachModelAnswersItsCommandsByteExactly) {
  struct Case {
    Model model;
    Bytes command, reply;
  } cases[] = {
      {Model::RU5102, {0x00, 0x21}, {0x00, 0x21, 0x00, 0x03, 0x00, 0x08, 0x02, 0x3E, 0x00, 26, 0x0A}},
      {Model::RU5202, {0x00, 0x21}, {0x00, 0x21, 0x00, 0x05, 0x01, 0x10, 0x02, 0x3E, 0x00, 26, 0x0A}},
      {Model::RU5202, {0x00, 0x4C}, {0x00, 0x4C, 0x00, 0x52, 0x00, 0x00, 0x01}},
      {Model::RU5202, {0x00, 0x2F, 0x01}, {0x00, 0x2F, 0x00}},
      {Model::RU5202, {0x00, 0x46, 0x03}, {0x00, 0x46, 0x00}},
      {Model::RU5202, {0x00, 0x47}, {0x00, 0x47, 0x00, 0x00}},
      {Model::RU5102, {0x00, 0x35, 0x80}, {0x00, 0x35, 0x00}},
      {Model::RU5202, {0x00, 0x40, 0x00}, {0x00, 0x40, 0x00}},
      // Each model refuses the other's beeper command, and commands it does not know.
      {Model::RU5202, {0x00, 0x35, 0x80}, {0x00, 0x35, 0xFE}},
      {Model::RU5102, {0x00, 0x99}, {0x00, 0x99, 0xFE}},
      {Model::RU5102, {0x00, 0x2F}, {0x00, 0x2F, 0xFF}},
      // An empty field: "no tag" from both.
      {Model::RU5102, {0x00, 0x01}, {0x00, 0x01, 0xFB}},
      {Model::RU5202, {0x00, 0x01, 0x04, 0x00, 0x00, 0x80, 0x0A}, {0x00, 0x01, 0xFB}},
  };
  for (const auto& c : cases) {
    Module m = make_module(c.model, 1);
    EXPECT_EQ(ask(m, Script{}, c.command), framed(c.reply)) << hex(c.command);
  }
  EXPECT_EQ(framed({0x00, 0x01}), (Bytes{0x04, 0x00, 0x01, 0xDB, 0x4B}));
}

TEST(Readersim, InventoryItemsFollowTheModelAndTheCycle) {
  std::string errors;
  auto scripts = parse_control(
      "# entry sees A for two cycles, then nothing, then A again\n"
      "ttyUSB0 field 303030303030303030303030:41 303030303030303030303032\n"
      "ttyUSB0 cycle 3-4\n"
      "ttyUSB1 cycle 2- 303030303030303030303031\n",
      &errors);
  EXPECT_EQ(errors, "");
  Module m5202 = make_module(Model::RU5202, 0);
  Bytes want{0x00, 0x01, 0x01, 0x01, 2, 12};
  Bytes a = epc(0x30), b = epc(0x32);
  want.insert(want.end(), a.begin(), a.end());
  want.push_back(0x41);
  want.push_back(12);
  want.insert(want.end(), b.begin(), b.end());
  want.push_back(0x60);
  EXPECT_EQ(ask(m5202, scripts["ttyUSB0"], {0x00, 0x01}), framed(want));
  ask(m5202, scripts["ttyUSB0"], {0x00, 0x01});
  EXPECT_EQ(ask(m5202, scripts["ttyUSB0"], {0x00, 0x01}), framed({0x00, 0x01, 0xFB}));  // cycle 3
  ask(m5202, scripts["ttyUSB0"], {0x00, 0x01});
  EXPECT_EQ(ask(m5202, scripts["ttyUSB0"], {0x00, 0x01}), framed(want));  // cycle 5: back

  Module m5102 = make_module(Model::RU5102, 1);
  std::vector<std::string> events;
  EXPECT_EQ(ask(m5102, scripts["ttyUSB1"], {0x00, 0x01}, &events), framed({0x00, 0x01, 0xFB}));
  Bytes want5102{0x00, 0x01, 0x01, 1, 12};
  Bytes c = epc(0x31);
  want5102.insert(want5102.end(), c.begin(), c.end());
  EXPECT_EQ(ask(m5102, scripts["ttyUSB1"], {0x00, 0x01}, &events), framed(want5102));
  EXPECT_EQ(events, (std::vector<std::string>{"inventory 1 tags 0", "inventory 2 tags 1"}));
}

TEST(Readersim, WritesFailAsScriptedAndRenameTheTag) {
  std::string errors;
  auto scripts = parse_control("ttyUSB0 field 303030303030303030303030\nttyUSB0 write fc:0b\n", &errors);
  const Script& s = scripts["ttyUSB0"];
  Module m = make_module(Model::RU5202, 0);
  // The RU5202 write: WNum 7, ENum 6, old EPC, bank 1, word 1, PC 3000, new EPC, password.
  Bytes write{0x00, 0x03, 0x07, 0x06};
  Bytes old_epc = epc(0x30), new_epc = epc(0x39);
  write.insert(write.end(), old_epc.begin(), old_epc.end());
  write.insert(write.end(), {0x01, 0x01, 0x30, 0x00});
  write.insert(write.end(), new_epc.begin(), new_epc.end());
  write.insert(write.end(), 4, 0x00);
  EXPECT_EQ(ask(m, s, write), framed({0x00, 0x03, 0xFC, 0x0B}));
  std::vector<std::string> events;
  EXPECT_EQ(ask(m, s, write, &events), framed({0x00, 0x03, 0x00}));
  EXPECT_EQ(events[0], "write ok 303030303030303030303030 -> 303030303030303030303039");
  const Bytes inv = ask(m, s, {0x00, 0x01});
  EXPECT_EQ(Bytes(inv.begin() + 7, inv.begin() + 19), new_epc);
  // A frame whose counts disagree with its length is a parameter error, not a write.
  Bytes cut(write.begin(), write.end() - 1);
  EXPECT_EQ(ask(m, s, cut), framed({0x00, 0x03, 0xFF}));
}

TEST(Readersim, ScriptedRepliesReplaceTheModelsAnswer) {
  std::string errors;
  auto scripts = parse_control("ttyUSB0 reply raw:0500 silent frame:0001fb badcrc:0001fb\n", &errors);
  Module m = make_module(Model::RU5102, 0);
  const Script& s = scripts["ttyUSB0"];
  EXPECT_EQ(ask(m, s, {0x00, 0x01}), (Bytes{0x05, 0x00}));
  EXPECT_EQ(ask(m, s, {0x00, 0x01}), Bytes{});
  EXPECT_EQ(ask(m, s, {0x00, 0x01}), framed({0x00, 0x01, 0xFB}));
  const Bytes bad = ask(m, s, {0x00, 0x01});
  EXPECT_FALSE(rfid::frame_crc_ok(bad));
  EXPECT_EQ(m.inventories, 0);  // none of them was the model's own inventory
}

TEST(Readersim, ScriptedFaultsSpoilTheModelsOwnAnswer) {
  std::string errors;
  auto scripts = parse_control("ttyUSB0 reply cut:3 late:700 split:2:600 badcrc long:4 lost\n", &errors);
  ASSERT_EQ(errors, "");
  Module m = make_module(Model::RU5102, 0);
  const Script& s = scripts["ttyUSB0"];
  const Bytes own = framed({0x00, 0x01, 0xFB});
  std::vector<std::string> events;
  Delivery how;
  const Bytes inventory = framed({0x00, 0x01});
  auto next = [&] { return answer(m, s, inventory, &events, &how); };
  EXPECT_EQ(next(), Bytes(own.begin(), own.begin() + 3));
  EXPECT_EQ(next(), own);
  EXPECT_EQ(how.first_ms, 700);
  EXPECT_EQ(next(), own);
  EXPECT_EQ(how.split_at, 2u);
  EXPECT_EQ(how.gap_ms, 600);
  const Bytes bad = next();
  EXPECT_EQ(bad.size(), own.size());
  EXPECT_FALSE(rfid::frame_crc_ok(bad));
  Bytes longer = own;
  longer.insert(longer.end(), 4, 0xEE);
  EXPECT_EQ(next(), longer);
  EXPECT_EQ(next(), Bytes{});
  EXPECT_EQ(next(), own);  // the script used up: the model answers again
}

TEST(Readersim, ControlLinesThatCannotBeUsedAreReported) {
  std::string errors;
  parse_control(
      "ttyUSB0 field 3030zz\n"
      "ttyUSB0 cycle 0 303030303030303030303030\n"
      "ttyUSB0 write 100\n"
      "ttyUSB0 reply frame:\n"
      "ttyUSB0 serial 1234\n"
      "ttyUSB0 colour red\n"
      "ttyUSB0 power 20\n",
      &errors);
  for (int line = 1; line <= 6; ++line) {
    EXPECT_NE(errors.find("line " + std::to_string(line) + ":"), std::string::npos) << errors;
  }
  EXPECT_EQ(errors.find("line 7:"), std::string::npos) << errors;
}

}  // namespace
}  // namespace readersim
