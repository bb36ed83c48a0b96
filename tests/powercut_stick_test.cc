// Power cuts on the roads of the USB stick: the import of a job set (uploadcheck over the
// upload folder, a job of the library replaced by the set's job of the same name) and the job
// backup (the USB page's script, run by the watcher stand-in as the appliance's watcher runs
// it), both with the whole appliance root on cutfs. Each road runs once with the power on to
// time it, then cuts at random moments within that time. A longer campaign:
//   LABELDOCK_CUTS=100 LABELDOCK_CUT_SEED=3 build/bin/powercut_stick_test
#include <chrono>
#include <functional>
#include <set>

#include "tests/powercut_fixture.h"
#include "testkit/zjsgen.h"

namespace {

using powercut::bin;
using powercut::list_dir;
using powercut::slurp;

class StickCut : public powercut::PowerCut {
 protected:
  void SetUp() override {
    PowerCut::SetUp();
    if (IsSkipped()) return;
    for (const char* d : {"/print/tmp/thumbs", "/mnt/backup_usb"}) ld::make_dirs(template_ + d);
    testkit::spit(template_ + "/var/www/html/cgi-bin/system.json",
                  R"({"system":{"FirmwareVersion":"R7_2.01","RTC":"25/11/26 14:03:59"}})");
    testkit::spit(template_ + "/var/www/html/cgi-bin/diagnostics.json", R"({"system-diagnostics":{"SerialNumber":"SER42"}})");
    testkit::spit(template_ + "/home/pi/log_client", "#!/bin/sh\ncat > /dev/null\n");
    ::chmod((template_ + "/home/pi/log_client").c_str(), 0755);
  }

  // The starting card, durable; `prepare` runs with the power on before the card is synced.
  void boot_fresh_card(bool manifest, const std::function<void()>& prepare = {}) {
    card_from_template();
    ASSERT_TRUE(power_on(manifest));
    if (prepare) prepare();
    ASSERT_TRUE(mount_->sync());
  }

  // Runs `argv` with the power on and times it; the power goes at a random moment within it.
  int timed_run(const std::vector<std::string>& argv) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string out;
    EXPECT_EQ(run_bounded(argv, 60, &out), 0) << out;
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  }
  // The program starts slower than it ran when timed (a fresh mount, a session of its own), so
  // the cuts spread over twice its time: some come after its end.
  void run_and_cut(const std::vector<std::string>& argv, int span) {
    std::vector<std::unique_ptr<testkit::Process>> programs;
    programs.push_back(powercut::start(argv));
    cut_after(random_ms(0, 2 * span), programs);
  }

  // The folders holding a file with exactly these bytes, looked for where a job can be.
  std::vector<std::string> places_of(const std::string& bytes) {
    std::vector<std::string> at;
    for (const char* dir : {"/print/tmp/", "/print/prns/", "/print/prns/tmp/"})
      for (const std::string& n : list_dir(mnt_ + dir))
        if (n[0] != '.' && slurp(mnt_ + dir + n) == bytes) at.push_back(dir + n);
    return at;
  }
};

// uploadcheck over a set of four jobs: one replaces the library's job of the same name, one
// has no thumbnail and goes to the waiting folder, two are new. After the cut every job of the
// set is whole somewhere it can be found (the upload folder, the library or the waiting
// folder), never only under a hidden name; the library's job of that name is the old or the
// new one, whole with a thumbnail. After the import is run again and the thumbnails drawn,
// every job of the set is in the library.
TEST_F(StickCut, ImportLosesNoJobOfTheSet) {
  template_job("/print/prns/", "keep one", 1);
  const std::string old_same = template_job("/print/prns/", "same", 1);
  std::map<std::string, std::string> set = {{"same", template_job("/print/tmp/", "same", 3)},
                                            {"new one", template_job("/print/tmp/", "new one", 2)},
                                            {"new two", template_job("/print/tmp/", "new two", 1)},
                                            {"waiting", template_job("/print/tmp/", "waiting", 2, false)}};
  boot_fresh_card(false);
  const int span = timed_run({bin("uploadcheck")});
  EXPECT_EQ(slurp(mnt_ + "/print/prns/same.prn"), set["same"]);
  for (int round = 0; round < cuts_; ++round) {
    boot_fresh_card(false);
    run_and_cut({bin("uploadcheck")}, span);
    ASSERT_TRUE(power_on(false));
    for (const auto& [name, bytes] : set)
      check(!places_of(bytes).empty(), name + " of the set is nowhere whole after the cut");
    const std::string same = slurp(mnt_ + "/print/prns/same.prn");
    check(same == old_same || same == set["same"], "same.prn in the library is neither the old job nor the new one");
    check_library();
    std::string out;
    EXPECT_EQ(run_bounded({bin("uploadcheck")}, 60, &out), 0) << out;
    EXPECT_EQ(run_bounded({bin("thumbmaker")}, 60, &out), 0) << out;
    for (const auto& [name, bytes] : set) {
      bool in_library = false;
      for (const std::string& p : places_of(bytes)) in_library = in_library || p.rfind("/print/prns/", 0) == 0;
      check(in_library && ld::file_exists(mnt_ + "/print/prns/" + name + ".prn"),
            name + " of the set is not in the library after the import ran again");
    }
    check(slurp(mnt_ + "/print/prns/same.prn") == set["same"], "same.prn is not the set's job after the import ran again");
    check_library();
  }
  report("import");
}

// The USB page's job backup of five jobs, run by the watcher stand-in. After the cut the set on
// the stick holds, under their final names, whole copies only (of the jobs and of their
// thumbnails); once the watcher had renamed the script to say it is done, every job is there.
TEST_F(StickCut, BackupHoldsWholeJobsOnly) {
  std::map<std::string, std::string> jobs, thumbs;
  for (int k = 0; k < 5; ++k) {
    const std::string name = "job " + std::to_string(k);
    jobs[name] = template_job("/print/prns/", name, 1 + k % 3);
    thumbs[name] = slurp(template_ + "/print/prns/thumbs/" + name + ".jpeg");
  }
  const std::string set = "/mnt/backup_usb/prns/R7_SER42_2611251403/";
  // The page writes the script as it does for a touch on its button.
  auto press_backup = [&] {
    std::string out;
    ASSERT_EQ(run_bounded({"/bin/sh", "-c", "cd '" + mnt_ + "/var/www/html/cgi-bin' && exec '" + bin("usbdesk") + "'"}, 30,
                          &out, {{"QUERY_STRING", "backup_prns=1"}, {"REQUEST_METHOD", "GET"}}),
              0)
        << out;
    ASSERT_TRUE(ld::file_exists(mnt_ + "/tmp/do_usb.sh")) << out;
  };
  boot_fresh_card(false, press_backup);
  const int span = timed_run({bin("usbwatch"), "--once"});
  for (const auto& [name, bytes] : jobs) EXPECT_EQ(slurp(mnt_ + set + name + ".prn"), bytes) << name;
  for (int round = 0; round < cuts_; ++round) {
    boot_fresh_card(true, press_backup);
    run_and_cut({bin("usbwatch"), "--once"}, span);
    const bool done = !live_at_cut(std::regex("/tmp/usb_done\\.sh")).empty();
    ASSERT_TRUE(power_on(false));
    std::set<std::string> copied;
    for (const std::string& n : list_dir(mnt_ + set)) {
      if (n[0] == '.' || n == "thumbs") continue;
      const std::string name = n.size() > 4 ? n.substr(0, n.size() - 4) : n;
      check(jobs.count(name) && slurp(mnt_ + set + n) == jobs[name], set + n + " is not a whole copy of a job");
      copied.insert(name);
    }
    for (const std::string& n : list_dir(mnt_ + set + "thumbs")) {
      if (n[0] == '.') continue;
      const std::string name = n.size() > 5 ? n.substr(0, n.size() - 5) : n;
      check(thumbs.count(name) && slurp(mnt_ + set + "thumbs/" + n) == thumbs[name],
            set + "thumbs/" + n + " is not a whole copy of a thumbnail");
    }
    if (done)
      for (const auto& [name, bytes] : jobs)
        check(copied.count(name) && ld::file_exists(mnt_ + set + "thumbs/" + name + ".jpeg"),
              name + " is missing from a backup that was done before the cut");
    check_library();
    if (verbose_) std::printf("backup %s, %zu jobs on the stick\n", done ? "done" : "under way", copied.size());
  }
  report("usb backup");
}

}  // namespace
