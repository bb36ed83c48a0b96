// Power cuts at random moments on the roads where the appliance writes its SD card: the sandbox
// root lives on cutfs, the real programs run on it, the power is cut (every program frozen at
// once, only the durable state kept), the board "reboots" (the programs run again on what is
// left) and the invariants are checked. This file: receiving and placing jobs, the event log,
// spooling and sending. A longer campaign:
//   LABELDOCK_CUTS=200 LABELDOCK_CUT_SEED=7 build/tests/powercut_test
#include <atomic>
#include <set>
#include <thread>

#include "common/net.h"
#include "tests/powercut_fixture.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"

namespace {

using powercut::bin;
using powercut::list_dir;
using powercut::PowerCut;
using powercut::slurp;
using powercut::marker_of;
using powercut::start;

// Jobs sent to the receiver, rendered and moved into the library. A job the screen could list
// (its file and thumbnail in the library) is there after the reboot, whole, with its marker; so
// is every job the library holds after the renderer took up what was waiting.
TEST_F(PowerCut, ReceivingAndPlacingJobsLosesNoListedJob) {
  std::vector<std::string> caps;
  for (int j = 0; j < 3; ++j) {
    testkit::JobSpec s;
    s.pages = 1 + j % 2;
    s.payload = 20000u + 7000u * j;
    caps.push_back(out_ + "/job" + std::to_string(j) + ".cap");
    testkit::spit(caps.back(), testkit::wrap_capture(testkit::make_job(s), "job " + std::to_string(j)));
  }
  const int port = testkit::free_port();
  const std::map<std::string, std::string> env = {{"LABELDOCK_RECEIVER_PORT", std::to_string(port)}};
  std::string script = "for f in";
  for (auto& c : caps) script += " '" + c + "'";
  script += "; do '" + bin("jobsend") + "' 127.0.0.1:" + std::to_string(port) + " \"$f\"; '" + bin("thumbmaker") +
            "'; done";
  for (int round = 0; round < cuts_; ++round) {
    fresh_disk();
    ASSERT_TRUE(power_on(true));
    std::vector<std::unique_ptr<testkit::Process>> programs;
    programs.push_back(start({bin("jobcatcher")}, env));
    ASSERT_TRUE(testkit::wait_for_port(port));
    programs.push_back(start({"/bin/sh", "-c", script}, env));
    cut_after(random_ms(0, 4500), programs);

    std::vector<std::string> listed;
    for (const std::string& p : live_at_cut(std::regex("/print/prns/[^/]*\\.prn"))) {
      std::string thumb = "/print/prns/thumbs/" + ld::strip_extension(ld::base_name(p)) + ".jpeg";
      if (!live_at_cut(std::regex(thumb)).empty()) listed.push_back(p);
    }
    ASSERT_TRUE(power_on(false));
    std::string out;
    EXPECT_EQ(run_bounded({bin("thumbmaker")}, 60, &out), 0) << out;
    if (verbose_) std::printf("live at the cut:\n%s\nthumbmaker after the reboot:\n%s\n", slurp(out_ + "/live").c_str(), out.c_str());
    for (const std::string& p : listed) check(ld::file_exists(mnt_ + p), p + " was listed before the cut and is gone");
    for (const std::string& n : list_dir(mnt_ + "/print/prns")) {
      if (n.size() < 4 || n.substr(n.size() - 4) != ".prn") continue;
      check(zjs::stream_is_whole(mnt_ + "/print/prns/" + n), n + " in the library is not a whole job");
      std::string m = marker_of(mnt_ + "/print/prns/thumbs/" + ld::strip_extension(n) + ".jpeg");
      check(m.rfind("TAVU page", 0) == 0, n + " has no thumbnail with its marker");
    }
  }
  report("receive+thumbnails");
}

// Lines sent to eventlogd while the power goes. Its protocol has no answer, so the test paces
// itself on the live day file: line n+1 is sent only once line n can be read there, and since
// eventlogd syncs each batch it has written before it reads the next, every line but the last
// one seen before the cut must be in the day file after it. The day files hold whole lines only,
// also once the rebooted eventlogd has appended to them.
TEST_F(PowerCut, TheEventLogKeepsWholeLinesOnly) {
  const int port = testkit::free_port();
  const std::map<std::string, std::string> env = {{"LABELDOCK_EVENTLOG_PORT", std::to_string(port)}};
  const std::regex line("\\d\\d:\\d\\d:\\d\\d,(line \\d+ of the campaign|after the reboot)");
  auto text_of = [](const std::string& line_text) { return "," + line_text + "\r\n"; };
  auto logged = [&](const std::string& dir) {
    std::string all;
    for (const std::string& n : list_dir(dir)) all += slurp(dir + "/" + n);
    return all;
  };
  for (int round = 0; round < cuts_; ++round) {
    fresh_disk();
    ASSERT_TRUE(power_on(false));
    std::vector<std::unique_ptr<testkit::Process>> programs;
    programs.push_back(start({bin("eventlogd")}, env));
    ASSERT_TRUE(testkit::wait_for_port(port));
    std::string err;
    ld::UniqueFd sock = ld::tcp_connect("127.0.0.1", port, 5000, &err);
    ASSERT_TRUE(sock.valid()) << err;
    std::atomic<bool> stop{false}, stuck{false};
    std::atomic<int> seen{0};
    std::thread sender([&] {
      for (int i = 0; !stop; ++i) {
        std::string l = "line " + std::to_string(i) + " of the campaign";
        std::string wire = "pc," + l + "\n";
        if (!ld::write_all(sock.get(), wire.data(), wire.size())) return;
        // A bounded wait: eventlogd that never writes the line fails the round, not the run.
        bool shown = false;
        for (int k = 0; k < 2500 && !stop && !(shown = logged(mnt_ + "/print/log").find(text_of(l)) != std::string::npos); ++k)
          ::usleep(2000);
        if (!shown) {
          stuck = !stop;
          return;
        }
        seen = i + 1;
      }
    });
    ::usleep(static_cast<useconds_t>(random_ms(0, 1500)) * 1000);
    stop = true;
    sender.join();
    EXPECT_FALSE(stuck) << "eventlogd did not write line " << seen << " within 5 s";
    cut_after(0, programs);
    sock.reset();

    ASSERT_TRUE(power_on(false));
    const std::string kept = logged(mnt_ + "/print/log");
    for (int i = 0; i + 1 < seen; ++i) {
      std::string l = "line " + std::to_string(i) + " of the campaign";
      check(kept.find(text_of(l)) != std::string::npos, "\"" + l + "\" was written and synced before the cut and is gone");
    }
    if (verbose_) std::printf("%d lines seen before the cut\n", seen.load());
    {
      testkit::Process server({bin("eventlogd")}, env);
      ASSERT_TRUE(testkit::wait_for_port(port));
      testkit::spit(out_ + "/after", "after the reboot\n");
      ASSERT_EQ(run_bounded({bin("log_client"), "--tag", "pc"}, 15, nullptr, env, out_ + "/after"), 0);
      EXPECT_TRUE(testkit::wait_until([&] { return logged(mnt_ + "/print/log").find("after the reboot") != std::string::npos; }))
          << "the rebooted eventlogd wrote nothing";
    }
    for (const std::string& n : list_dir(mnt_ + "/print/log")) {
      std::string text = slurp(mnt_ + "/print/log/" + n);
      check(text.empty() || text.substr(text.size() - 2) == "\r\n", n + " ends inside a line");
      size_t at = 0;
      for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        check(std::regex_match(text.substr(at, end - at), line), n + " holds a torn line: " + text.substr(at, end - at));
    }
  }
  report("event log");
}

// Jobs queued, spooled and sent to printersim while the power goes. After the reboot spoold and
// pjlsend run again on what is left: a job queued before the cut (its queuejob had returned) is
// printed exactly once, or twice only when printersim had already received it whole before the
// cut (pjlsend had no time to take it off the queue); no job is printed more often than that.
// Every program runs with a deadline, so a send that waits for ever fails the round quickly.
TEST_F(PowerCut, SpoolingAndSendingPrintsEachQueuedJobOnce) {
  testkit::SimPrinter sim(base_ + "/printer", {"--set", "chunked="});
  ASSERT_TRUE(sim.ok()) << sim.error();
  sim.export_endpoints();
  const std::string status = sim.status_page();
  ASSERT_FALSE(status.empty()) << "printersim serves no status page";
  // The relay's part: pjlsend sends only while the status document is younger than a few
  // seconds. The path is the mount point's, so the writes fail while the power is off.
  struct Relay {
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Relay() {  // also when an assertion leaves the test early
      stop = true;
      if (thread.joinable()) thread.join();
    }
  } relay;
  relay.thread = std::thread([&] {
    for (; !relay.stop; ::usleep(200000)) ld::write_file_atomic(mnt_ + "/var/www/html/cgi-bin/system.json", status);
  });
  const std::vector<std::string> jobs = {"ja", "jb"};
  const std::string queued_list = out_ + "/queued";
  std::string script;
  for (const std::string& j : jobs)
    script += "'" + bin("queuejob") + "' '" + mnt_ + "/print/prns/" + j + ".prn' && echo " + j + " >> '" + queued_list + "'; ";
  script += "'" + bin("spoold") + "'; '" + bin("pjlsend") + "'";
  // Runs a program to its end within `seconds`; false (and the campaign stops) when it is
  // still running then.
  auto bounded = [&](const std::string& prog, int seconds) {
    std::string out;
    const bool ended = run_bounded({bin(prog)}, seconds, &out) != -1;
    if (verbose_) std::printf("%s after the reboot:\n%s\n", prog.c_str(), out.c_str());
    return ended;
  };
  // Whole jobs printersim received, per job, from its log starting at byte `from`; `before`
  // counts those whose connection opened before byte `cut_at`.
  struct Printed {
    int whole = 0, before = 0;
  };
  auto printed = [&](size_t from, size_t cut_at) {
    std::map<std::string, Printed> out;
    std::string log = sim.raw_log();
    std::istringstream in(log.substr(std::min(from, log.size())));
    size_t at = from;
    std::map<int, size_t> opened;
    for (std::string l; std::getline(in, l); at += l.size() + 1) {
      int id = 0;
      char what[64] = "";
      if (std::sscanf(l.c_str(), "job %d %63s", &id, what) != 2) continue;
      std::string w = what;
      if (w == "open") opened[id] = at;
      if (w != "name") continue;
      std::string name = l.substr(l.find(" name ") + 6);
      char file[32];
      std::snprintf(file, sizeof file, "/jobs/%04d.prn", id);
      if (!zjs::stream_is_whole(sim.dir() + file)) continue;
      Printed& p = out[name.substr(0, name.find('_'))];
      ++p.whole;
      if (opened.count(id) && opened[id] < cut_at) ++p.before;
    }
    return out;
  };
  for (int round = 0; round < cuts_; ++round) {
    fresh_disk();
    for (size_t k = 0; k < jobs.size(); ++k) {
      testkit::JobSpec s;
      s.pages = 1 + static_cast<int>(k);
      s.payload = 15000u + 5000u * k;
      testkit::spit(disk_ + "/print/prns/" + jobs[k] + ".prn", testkit::make_job(s));
    }
    ld::remove_file(queued_list);
    const size_t round_start = sim.raw_log().size();
    ASSERT_TRUE(power_on(false));
    std::vector<std::unique_ptr<testkit::Process>> programs;
    programs.push_back(start({"/bin/sh", "-c", script}));
    cut_after(random_ms(0, 2500), programs);
    const size_t cut_at = sim.raw_log().size();

    ASSERT_TRUE(power_on(false));
    if (!bounded("spoold", 15) || !bounded("pjlsend", 20)) break;
    std::set<std::string> queued;
    std::istringstream q(slurp(queued_list));
    for (std::string j; std::getline(q, j);) queued.insert(j);
    auto got = printed(round_start, cut_at);
    for (const std::string& j : jobs) {
      const Printed p = got[j];
      const bool twice = p.whole == 2 && p.before >= 1;
      if (twice) ++fig_.twice;
      if (queued.count(j)) check(p.whole == 1 || twice, j + " was queued before the cut and printed " + std::to_string(p.whole) + " times");
      else check(p.whole <= 1 || twice, j + " printed " + std::to_string(p.whole) + " times");
    }
    if (verbose_) std::printf("queued %zu, printersim log:\n%s\n", queued.size(), sim.raw_log().substr(round_start).c_str());
  }
  report("spool+send");
}

}  // namespace
