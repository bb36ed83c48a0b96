#include "spooler/jobname.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(JobName, DecodesHexNames) {
  struct Case {
    std::string hex, name;
  } cases[] = {
      {"414243", "ABC"},  {"616263", "abc"}, {"4a6f62", "Job"}, {"4A6F62", "Job"},
      {"", "Unknown"},    {"414", "Invalid"}, {"C3A9", "\xC3\xA9"},
      {"610062", std::string("a\0b", 3)},  // a NUL stays in the name for the name rules to handle
      // Characters that are not hex digits are taken by the same arithmetic, never refused.
      {"ZZ", std::string(1, static_cast<char>(((('Z' - 7) % 16) * 16) + ('Z' - 7) % 16))},
  };
  for (const auto& c : cases) EXPECT_EQ(jobname::decode_hex_name(c.hex), c.name) << c.hex;
}

// The stored file name of every name a sender can send: in its directory, never hidden, never
// longer than the programs that handle the job later can name.
TEST(JobName, FileNamesStayInTheirDirectoryAndFitEveryRecord) {
  const std::string e_acute = "\xC3\xA9";
  std::string accents;
  for (int i = 0; i < 60; ++i) accents += e_acute;
  struct Case {
    std::string name;
    int suffix;
    std::string want;
  } cases[] = {
      {"Shipping label 42", 0, "Shipping label 42.prn"},
      {"Shipping label 42", 3, "Shipping label 423.prn"},
      {"caf\xC3\xA9 $(id)", 0, "caf\xC3\xA9 $(id).prn"},
      {"../../etc/passwd", 0, "_._.._etc_passwd.prn"},
      {".", 0, "_.prn"},
      {"..", 1, "__1.prn"},
      {".hidden job", 0, "_hidden job.prn"},
      {"", 0, "_.prn"},
      {std::string("ab\0cd", 5), 0, "ab_cd.prn"},
      {std::string("\0rest", 5), 0, "_rest.prn"},
      {"tab\there\nnl\x7f", 0, "tab_here_nl_.prn"},
      {"label.prn", 0, "label.prn.prn"},
      // Cut to 99 bytes in all, at a character boundary; the number stays whole.
      {std::string(120, 'a'), 0, std::string(95, 'a') + ".prn"},
      {std::string(120, 'a'), 999999, std::string(89, 'a') + "999999.prn"},
      {"x" + accents, 0, "x" + accents.substr(0, 94) + ".prn"},
      // Nothing but continuation bytes: cut to nothing, which must not give a hidden ".prn".
      {std::string(241, '\x80'), 0, "_.prn"},
      {std::string(241, '\x80'), 1, "_1.prn"},
  };
  for (const auto& c : cases) {
    const std::string got = jobname::job_file_name(c.name, c.suffix);
    EXPECT_EQ(got, c.want) << c.name.size() << " bytes, suffix " << c.suffix;
    EXPECT_LE(got.size(), jobname::kFileNameMax);
    EXPECT_NE(got[0], '.');
  }
}

TEST(JobName, CutsNeverLeaveAnEmptyOrHiddenName) {
  EXPECT_EQ(jobname::cut_name("\xC3\xA9", 1), "_");
  EXPECT_EQ(jobname::cut_name(".x", 5), "_x");
  EXPECT_EQ(jobname::cut_name("abc", 2), "ab");
}

// One base name for every program: up to the last ".prn", so jobs sent as "label.prn"
// ("label.prn.prn") and "label" keep apart thumbnails.
TEST(JobName, BaseNameEndsAtTheLastPrn) {
  struct Case {
    std::string file, base;
  } cases[] = {
      {"x.prn", "x"},           {"x.prn.bak", "x"},       {"label.prn.prn", "label.prn"},
      {"label.prnx.prn", "label.prnx"}, {"a.prn.b.prn", "a.prn.b"}, {"noext", "noext"},
      {".prn", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(jobname::base_name(c.file), c.base) << c.file;
}

}  // namespace
