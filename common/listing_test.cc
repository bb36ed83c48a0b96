#include "common/listing.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/scenario.h"

namespace {

int open_descriptors() {
  std::vector<std::string> fds;
  EXPECT_TRUE(ld::list_names("/proc/self/fd", &fds));
  return static_cast<int>(fds.size());
}

TEST(DirReader, PassesOverDotEntriesAndClosesOnEveryWayOut) {
  testkit::TempRoot root;
  const std::string dir = root("/d/");
  ASSERT_TRUE(ld::make_dirs(dir));
  for (const char* n : {"a.prn", ".hidden", "b.spl"}) ASSERT_TRUE(ld::touch_file(dir + n));
  const int before = open_descriptors();
  std::vector<std::string> seen;
  {
    ld::DirReader d(dir);
    ASSERT_TRUE(d.ok());
    while (const char* n = d.next()) seen.emplace_back(n);
  }
  {
    ld::DirReader d(dir);
    ASSERT_NE(d.next(), nullptr);  // left before its end: closed all the same
  }
  EXPECT_EQ(open_descriptors(), before);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{".hidden", "a.prn", "b.spl"}));
  errno = 0;
  ld::DirReader missing(dir + "none");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(missing.next(), nullptr);
}

}  // namespace
