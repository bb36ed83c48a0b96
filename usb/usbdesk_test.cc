#include "usb/usbdesk.h"

#include <gtest/gtest.h>

#include "common/fsops.h"
#include "testkit/scenario.h"

namespace usb {
namespace {

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l;
  return s;
}

class UsbPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ld::make_dirs(root_("/tmp"));
    ld::make_dirs(root_("/mnt/backup_usb/prns/A"));
    ld::make_dirs(root_("/mnt/backup_usb/prns/B"));
    testkit::spit(root_("/system.json"),
                  R"({"system": {"FirmwareVersion": "QX9_2.1", "RTC": "25/11/26 14:03:59"}})");
    testkit::spit(root_("/diagnostics.json"), R"({"system-diagnostics": {"SerialNumber": "ABC123"}})");
  }
  Page run(const std::string& query) {
    UsbConfig cfg;
    cfg.query = query;
    cfg.system_json = root_("/system.json");
    cfg.diagnostics_json = root_("/diagnostics.json");
    cfg.err = messages_;
    return build_page(cfg);
  }
  std::string file(const char* p) { return testkit::slurp(root_(p)); }
  bool exists(const char* p) { return ld::file_exists(root_(p)); }
  std::string q(const char* p) { return "'" + root_(p) + "'"; }

  testkit::TempRoot root_;
  // The page's messages; kept out of the test output.
  FILE* messages_ = std::tmpfile();
  void TearDown() override {
    if (messages_) std::fclose(messages_);
  }
};

TEST_F(UsbPage, NoKeysShowsActiveButtonsAndIdle) {
  Page page = run("");
  std::string body = joined(page.body), head = joined(page.head);
  EXPECT_NE(body.find("value='Backup Logs' name='backup_logs'>"), std::string::npos);
  EXPECT_NE(body.find("value='Backup Print Jobs' name='backup_prns'>"), std::string::npos);
  EXPECT_NE(body.find("onclick='show_prns_div()' id='upload_prns'>Upload Print Jobs</button>"), std::string::npos);
  EXPECT_EQ(testkit::count_of(head, "<script>var waiting_for_completion = 0;</script>\n"), 1);
  EXPECT_NE(head.find("<script>var n_options=2;</script>\n"), std::string::npos);
  EXPECT_NE(head.find("<script>var percent_disk_usage="), std::string::npos);
  EXPECT_FALSE(exists("/tmp/do_usb.sh"));
  EXPECT_EQ(page.body.back(), "</BODY>\r\n");
}

TEST_F(UsbPage, BackupLogsScriptModeAndHead) {
  Page page = run("backup_logs=1");
  std::string head = joined(page.head);
  EXPECT_EQ(testkit::count_of(head, "<script>var backup_fname='QX9_ABC123_2611251403';</script>\n"
                                    "<script>var saving_dir = 1;</script>\n"),
            2);
  EXPECT_EQ(testkit::count_of(head, "waiting_for_completion = 1;"), 1);
  EXPECT_EQ(testkit::count_of(head, "waiting_for_completion = 0;"), 0);
  EXPECT_EQ(file("/tmp/usb_mode"), "backuplog=QX9_ABC123_2611251403_syslog.tgz");
  EXPECT_EQ(file("/tmp/do_usb.sh"),
            "tar czf " + q("/mnt/backup_usb/QX9_ABC123_2611251403_syslog.tgz") + " " + q("/var/log") + "\n" +
                "tar czf " + q("/mnt/backup_usb/QX9_ABC123_2611251403.tgz") + " " + q("/print/log") + "\n" +
                "mv " + q("/tmp/active_usb.sh") + " " + q("/tmp/usb_done.sh") + "\n");
  EXPECT_NE(joined(page.body).find("Logs backed up to<br> QX9_ABC123_2611251403.tgz</button>"), std::string::npos);
}

TEST_F(UsbPage, BackupPrnsScriptAndMode) {
  Page page = run("backup_prns=1");
  std::string set = "/mnt/backup_usb/prns/QX9_ABC123_2611251403";
  EXPECT_EQ(file("/tmp/usb_mode"), "backupprn=prns/QX9_ABC123_2611251403");
  const std::string script = file("/tmp/do_usb.sh");
  EXPECT_EQ(script.rfind("mkdir " + q("/mnt/backup_usb/prns") + "\nmkdir " + q(set.c_str()) + "\nmkdir " +
                             q((set + "/thumbs").c_str()) + "\n",
                         0),
            0u)
      << script;
  EXPECT_NE(script.find("for job in " + q("/print/prns/") + "*.prn; do\n"), std::string::npos) << script;
  EXPECT_TRUE(script.ends_with("mv " + q("/tmp/active_usb.sh") + " " + q("/tmp/usb_done.sh") + "\n")) << script;
  EXPECT_NE(joined(page.body).find("Print jobs backed up to <br>prns/QX9_ABC123_2611251403</button>"),
            std::string::npos);
}

TEST_F(UsbPage, UploadOfAnExistingSet) {
  ld::make_dirs(root_("/mnt/backup_usb/prns/it's $(x)"));
  Page page = run("upload_prn=it%27s+%24%28x%29");
  EXPECT_EQ(file("/tmp/usb_mode"), "import=it's $(x)");
  std::string quoted_set = "'" + root_("/mnt/backup_usb/prns/it") + "'\\''s $(x)'";
  EXPECT_EQ(file("/tmp/do_usb.sh"),
            "echo \"run upload_prns ...\" | " + q("/home/pi/log_client") + "\n" + q("/home/pi/upload_prns.sh") +
                " " + quoted_set + "\necho \"done upload_prns ...\" | " + q("/home/pi/log_client") + "\nmv " +
                q("/tmp/active_usb.sh") + " " + q("/tmp/usb_done.sh") + "\n");
  std::string head = joined(page.head);
  EXPECT_NE(head.find("<script>var waiting_for_completion = 1;</script>\n"
                      "<script>var backup_fname='it\\x27s $(x)';</script>\n<script>var saving_dir = 0;</script>\n"),
            std::string::npos)
      << head;
  EXPECT_NE(joined(page.body).find("id='upload_prns'>Print jobs uploaded done</button>"), std::string::npos);
}

TEST_F(UsbPage, HostileUploadValuesWriteNothing) {
  testkit::spit(root_("/mnt/backup_usb/prns/file"), "x");
  for (const char* v : {"", "..", ".", "..%2F..%2Fprint", "A%2F..%2F..", "A%0A", "none", "file",
                        "%27%3B+rm+-rf+%2F%3B%27"}) {
    Page page = run(std::string("upload_prn=") + v);
    EXPECT_FALSE(exists("/tmp/do_usb.sh")) << v;
    EXPECT_FALSE(exists("/tmp/usb_mode")) << v;
    std::string body = joined(page.body);
    EXPECT_NE(body.find("<div class='usb_error'>No job set "), std::string::npos) << v;
    EXPECT_EQ(body.find("<script"), std::string::npos) << v;
    EXPECT_EQ(testkit::count_of(joined(page.head), "waiting_for_completion = 0;"), 1) << v;
  }
}

TEST_F(UsbPage, QuitWithAndWithoutPid) {
  struct Case {
    const char* pid;  // nullptr: no file
    bool ejects;
  } cases[] = {{"1234", true}, {"1234\n", true}, {nullptr, false}, {"", false},
               {"1234; rm -rf /\n", false}, {"abc", false}};
  for (const auto& c : cases) {
    ld::remove_file(root_("/tmp/kill_usb_kweb.sh"));
    ld::remove_file(root_("/tmp/usb_pid"));
    if (c.pid) testkit::spit(root_("/tmp/usb_pid"), c.pid);
    Page page = run("quit=Quit");
    std::string body = joined(page.body);
    EXPECT_EQ(body.find("<form"), std::string::npos);
    EXPECT_EQ(body.find("ejecting usb device") != std::string::npos, c.ejects) << (c.pid ? c.pid : "none");
    if (c.ejects) EXPECT_EQ(file("/tmp/kill_usb_kweb.sh"), "sudo kill 1234\nsudo umount -f " + q("/mnt/backup_usb") + "\n");
    else EXPECT_FALSE(exists("/tmp/kill_usb_kweb.sh"));
  }
  testkit::spit(root_("/tmp/usb_pid"), std::string(100, '1'));
  run("quit=Quit");
  EXPECT_FALSE(exists("/tmp/kill_usb_kweb.sh"));
}

TEST_F(UsbPage, NoDeviceNoListNoGauge) {
  ld::remove_tree(root_("/mnt"));
  Page page = run("");
  std::string head = joined(page.head);
  EXPECT_EQ(head.find("n_options"), std::string::npos);
  EXPECT_EQ(head.find("options_visible"), std::string::npos);
  EXPECT_EQ(head.find("percent_disk_usage"), std::string::npos);
  EXPECT_EQ(joined(page.body).find("prns_dir_div"), std::string::npos);
}

TEST_F(UsbPage, MissingDocumentsGiveFallbackName) {
  ld::remove_file(root_("/system.json"));
  Page page = run("backup_prns=1");
  EXPECT_NE(joined(page.body).find("Could not load system data!"), std::string::npos);
  std::string mode = file("/tmp/usb_mode");
  EXPECT_EQ(mode.rfind("backupprn=prns/backup_", 0), 0u) << mode;
  EXPECT_EQ(mode.size(), std::string("backupprn=prns/backup_").size() + 10) << mode;
}

}  // namespace
}  // namespace usb
