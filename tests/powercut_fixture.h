// What every power-cut road shares: the card on cutfs with the appliance's folders, the cut
// (every program frozen at once, only the durable state kept), the reboot, bounded runs of the
// programs on what is left, the checks that count, and the figures each road prints.
// LABELDOCK_CUTS (cuts per road, default 4) and LABELDOCK_CUT_SEED (default 1) make a longer
// campaign; LABELDOCK_CUT_VERBOSE=1 tells what each round saw.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "spooler/jobstream.h"
#include "testkit/cutfs_mount.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace powercut {

using testkit::bin;
using testkit::list_dir;
using testkit::slurp;

inline int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

struct Figures {
  int cuts = 0, checks = 0, twice = 0;
};

// A program in a session of its own, so the cut freezes it with all its children at once.
inline std::unique_ptr<testkit::Process> start(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {}) {
  argv.insert(argv.begin(), "/usr/bin/setsid");
  return std::make_unique<testkit::Process>(argv, env);
}

inline std::string marker_of(const std::string& jpeg) {
  std::string f = slurp(jpeg);
  if (f.size() < 6) return "";
  size_t at = 4 + ((uint8_t(f[4]) << 8) | uint8_t(f[5]));
  if (f.size() < at + 42 || uint8_t(f[at]) != 0xFF || uint8_t(f[at + 1]) != 0xE9) return "";
  return std::string(f.c_str() + at + 4);
}

class PowerCut : public ::testing::Test {
 protected:
  static constexpr const char* kFolders[] = {"/print/prns/tmp", "/print/prns/thumbs", "/print/tmp", "/print/printq",
                                             "/print/log", "/tmp", "/var/www/html/cgi-bin", "/home/pi"};

  void SetUp() override {
    std::string why;
    if (!testkit::cutfs_usable(&why)) GTEST_SKIP() << "no power-cut file system here: " << why;
    base_ = scratch_.path() + "/cut";
    disk_ = base_ + "/disk";
    mnt_ = base_ + "/root";
    out_ = base_ + "/out";
    template_ = base_ + "/template";
    for (const char* d : kFolders) ld::make_dirs(template_ + d);
    ld::make_dirs(mnt_);
    ld::make_dirs(out_);
    rng_.seed(static_cast<uint32_t>(env_int("LABELDOCK_CUT_SEED", 1)));
    cuts_ = env_int("LABELDOCK_CUTS", 4);
  }
  void TearDown() override {
    mount_.reset();
    ::setenv("LABELDOCK_ROOT", scratch_.path().c_str(), 1);
  }

  // A fresh card with the appliance's folders, and whatever `prepare` puts on it (durable).
  void fresh_disk() {
    mount_.reset();
    ld::remove_tree(disk_);
    for (const char* d : kFolders) ld::make_dirs(disk_ + d);
  }
  // A fresh card that is a copy of the road's starting card (template_), made once per road.
  void card_from_template() {
    fresh_disk();
    ASSERT_EQ(testkit::run({"/bin/cp", "-a", template_ + "/.", disk_}), 0);
  }
  // A job of the starting card in `dir` ("/print/prns/"), with the thumbnail thumbmaker draws
  // for it in dir/thumbs when `thumb`; returns the job's bytes.
  std::string template_job(const std::string& dir, const std::string& name, int pages, bool thumb = true) {
    const std::string job = template_ + dir + name + ".prn";
    testkit::JobSpec s;
    s.pages = pages;
    s.payload = 5000;
    s.seed = static_cast<uint32_t>(name.size() * 17 + pages);
    testkit::spit(job, testkit::make_job(s));
    if (thumb) {
      std::string out;
      EXPECT_EQ(testkit::run({bin("thumbmaker"), job}, &out, &out), 0) << out;
      EXPECT_TRUE(ld::move_file(template_ + dir + name + ".jpeg", template_ + dir + "thumbs/" + name + ".jpeg"));
    }
    return slurp(job);
  }
  bool power_on(bool manifest) {
    mount_ = std::make_unique<testkit::CutMount>(disk_, mnt_, manifest ? out_ + "/live" : "");
    ::setenv("LABELDOCK_ROOT", mnt_.c_str(), 1);
    if (!mount_->ok()) ADD_FAILURE() << mount_->why();
    return mount_->ok();
  }
  // Freezes every program at once, cuts, and lets them go.
  void cut_after(int ms, std::vector<std::unique_ptr<testkit::Process>>& programs) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
    for (auto& p : programs) ::kill(-p->pid(), SIGSTOP);
    ASSERT_TRUE(mount_->cut());
    for (auto& p : programs) ::kill(-p->pid(), SIGKILL);
    programs.clear();
    ++fig_.cuts;
  }
  // The live files at the cut that match `re` (paths on the card).
  std::vector<std::string> live_at_cut(const std::regex& re) {
    std::vector<std::string> hits;
    std::istringstream in(slurp(out_ + "/live"));
    for (std::string l; std::getline(in, l);) {
      std::string path = l.substr(l.find(' ') + 1);
      if (std::regex_match(path, re)) hits.push_back(path);
    }
    return hits;
  }
  void check(bool ok, const std::string& what) {
    ++fig_.checks;
    EXPECT_TRUE(ok) << what << " (cut " << fig_.cuts << ")";
  }
  // Runs a program to its end within `seconds` (its output in *out); a program still running
  // then is killed and fails the test (-1), so a hang never holds up the campaign.
  int run_bounded(const std::vector<std::string>& argv, int seconds, std::string* out = nullptr,
                  const std::map<std::string, std::string>& env = {}, const std::string& stdin_file = "/dev/null") {
    testkit::Process p(argv, env, stdin_file);
    const int rc = p.wait(seconds * 1000);
    if (rc == -1) {
      p.kill(9);
      std::string err = p.err();
      ADD_FAILURE() << argv[0] << " still running after " << seconds << " s (cut " << fig_.cuts
                    << "), its last words: " << err.substr(err.size() > 600 ? err.size() - 600 : 0);
    }
    if (out != nullptr) *out = p.out() + p.err();
    return rc;
  }
  // Every job of the library is whole with its thumbnail's marker; returns how many there are.
  int check_library() {
    int jobs = 0;
    for (const std::string& n : list_dir(mnt_ + "/print/prns")) {
      if (n.size() < 4 || n.substr(n.size() - 4) != ".prn") continue;
      ++jobs;
      check(zjs::stream_is_whole(mnt_ + "/print/prns/" + n), n + " in the library is not a whole job");
      check(marker_of(mnt_ + "/print/prns/thumbs/" + n.substr(0, n.size() - 4) + ".jpeg").rfind("TAVU page", 0) == 0,
            n + " in the library has no thumbnail with its marker");
    }
    return jobs;
  }
  int random_ms(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  void report(const char* road) {
    std::printf("power cut road %s: %d cuts, %d invariant checks, %d jobs printed twice\n", road, fig_.cuts,
                fig_.checks, fig_.twice);
  }

  testkit::TempRoot scratch_;
  std::string base_, disk_, mnt_, out_, template_;
  std::unique_ptr<testkit::CutMount> mount_;
  std::mt19937 rng_;
  int cuts_ = 4;
  bool verbose_ = env_int("LABELDOCK_CUT_VERBOSE", 0) != 0;
  Figures fig_;
};

}  // namespace powercut
