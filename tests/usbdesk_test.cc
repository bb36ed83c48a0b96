// The USB page's road through the appliance's web server: usbdesk run by real lighttpd leaves
// its action script, the watcher stand-in runs it as the appliance would, and the stick's job
// set goes back into the library through the upload script stand-in and uploadcheck.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/fsops.h"
#include "testkit/scenario.h"
#include "testkit/webserver.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::bin;

const char* kName = "R7_SER42_2611251403";

class UsbRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.install_recording_log_client();
    for (const char* d : {"/var/log", "/print/log", "/print/prns/thumbs", "/print/prns/tmp", "/print/tmp/thumbs",
                          "/mnt/backup_usb", "/tmp", "/var/www/html/cgi-bin"})
      ld::make_dirs(root_(d));
    testkit::spit(root_("/var/log/syslog"), "boot\n");
    testkit::spit(root_("/print/log/ui_2026-12-08.log"), "ui,started\n");
    testkit::spit(root_("/var/www/html/cgi-bin/system.json"),
                  R"({"system":{"FirmwareVersion":"R7_2.01","RTC":"25/11/26 14:03:59"}})");
    testkit::spit(root_("/var/www/html/cgi-bin/diagnostics.json"), R"({"system-diagnostics":{"SerialNumber":"SER42"}})");
    ASSERT_EQ(::symlink(bin("upload_prns").c_str(), root_("/home/pi/upload_prns.sh").c_str()), 0);
    for (const char* name : {"Shelf label", "Price tag"}) library_job(name);
  }
  // A job in the library with the thumbnail thumbmaker made for it.
  void library_job(const std::string& name) {
    std::string job = root_("/print/prns/") + name + ".prn";
    testkit::spit(job, testkit::make_job(testkit::JobSpec{}));
    std::string out;
    ASSERT_EQ(testkit::run({bin("thumbmaker"), job}, &out, &out), 0) << out;
    ASSERT_TRUE(ld::move_file(root_("/print/prns/") + name + ".jpeg", root_("/print/prns/thumbs/") + name + ".jpeg"));
  }
  std::string page(const std::string& query) {
    testkit::HttpResponse r = testkit::http_get(web_.port(), "/cgi-bin/usbdesk" + query);
    EXPECT_EQ(r.status, 200) << r.error << r.status_line << web_.cgi_log();
    EXPECT_EQ(r.header("Content-length"), std::to_string(r.body.size()));
    return r.body;
  }
  void run_watcher() {
    std::string out, err;
    EXPECT_EQ(testkit::run({bin("usbwatch"), "--once"}, &out, &err), 0) << out << err;
    EXPECT_TRUE(ld::file_exists(root_("/tmp/usb_done.sh")));
    EXPECT_FALSE(ld::file_exists(root_("/tmp/active_usb.sh")));
    EXPECT_FALSE(ld::file_exists(root_("/tmp/do_usb.sh")));
  }

  testkit::TempRoot root_;
  testkit::WebServer web_{root_, {"usbdesk"}};
};

TEST_F(UsbRoad, BackupOfJobsUploadedBackIntoLibrary) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  std::string body = page("?backup_prns=1");
  EXPECT_NE(body.find(std::string("Print jobs backed up to <br>prns/") + kName), std::string::npos) << body;
  run_watcher();
  std::string set = root_("/mnt/backup_usb/prns/") + kName;
  for (const char* name : {"Shelf label", "Price tag"}) {
    EXPECT_EQ(testkit::slurp(set + "/" + name + ".prn"), testkit::slurp(root_("/print/prns/") + name + ".prn"));
    EXPECT_EQ(testkit::slurp(set + "/thumbs/" + name + ".jpeg"),
              testkit::slurp(root_("/print/prns/thumbs/") + name + ".jpeg"));
  }

  // The library is lost; the stick brings it back.
  ASSERT_TRUE(ld::remove_tree(root_("/print/prns")));
  for (const char* d : {"/print/prns/thumbs", "/print/prns/tmp"}) ld::make_dirs(root_(d));
  body = page("");
  EXPECT_NE(body.find(std::string("onclick=\"upload_prns('") + kName + "');\">" + kName + "</td>"), std::string::npos)
      << body;
  EXPECT_NE(body.find("<script>var n_options=1;</script>"), std::string::npos);
  body = page(std::string("?upload_prn=") + kName);
  EXPECT_NE(body.find("Print jobs uploaded done"), std::string::npos) << body;
  EXPECT_EQ(testkit::slurp(root_("/tmp/usb_mode")), std::string("import=") + kName);
  run_watcher();
  EXPECT_EQ(testkit::list_dir(root_("/print/prns")),
            (std::vector<std::string>{"Price tag.prn", "Shelf label.prn", "thumbs", "tmp"}));
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/thumbs")),
            (std::vector<std::string>{"Price tag.jpeg", "Shelf label.jpeg"}));
  // The script's event lines frame uploadcheck's own.
  std::string log = root_.log_client_output();
  EXPECT_EQ(log.rfind(std::string("Backup to prns/") + kName + ": 2 print jobs copied, 0 not copied\nrun upload_prns ...\n", 0), 0u)
      << log;
  EXPECT_NE(log.find("Import " + root_("/print/tmp/Shelf label.prn")), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("done upload_prns ...\n")) << log;
}

// Restoring a backup over the library it came from replaces every job with its copy: nothing is
// doubled, and nothing is left under a hidden name.
TEST_F(UsbRoad, RestoreOverTheLibraryDoublesNothing) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  page("?backup_prns=1");
  run_watcher();
  page(std::string("?upload_prn=") + kName);
  run_watcher();
  EXPECT_EQ(testkit::list_dir(root_("/print/prns")),
            (std::vector<std::string>{"Price tag.prn", "Shelf label.prn", "thumbs", "tmp"}));
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/thumbs")),
            (std::vector<std::string>{"Price tag.jpeg", "Shelf label.jpeg"}));
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/tmp")), std::vector<std::string>{});
  EXPECT_EQ(testkit::slurp(root_("/print/prns/Price tag.prn")),
            testkit::slurp(root_("/mnt/backup_usb/prns/") + kName + "/Price tag.prn"));
}

// A job the stick cannot take is named in the event log, and the count of copied jobs follows;
// the stick keeps no part of it. (The set's folder holding a folder of the job's name stands in
// for a FAT stick refusing the name.)
TEST_F(UsbRoad, BackupNamesEveryJobItCouldNotCopy) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  library_job("Box 3:4 \"big\"");
  const std::string set = root_("/mnt/backup_usb/prns/") + kName;
  ld::make_dirs(set + "/Box 3:4 \"big\".prn");
  page("?backup_prns=1");
  run_watcher();
  EXPECT_EQ(testkit::list_dir(set), (std::vector<std::string>{"Box 3:4 \"big\".prn", "Price tag.prn",
                                                              "Shelf label.prn", "thumbs"}));
  EXPECT_TRUE(ld::is_directory(set + "/Box 3:4 \"big\".prn"));
  const std::string log = root_.log_client_output();
  EXPECT_EQ(testkit::count_of(log, "Backup could not copy Box 3:4 \"big\".prn (a FAT stick holds no name with \" * : "
                                   "< > ? \\ |)\n"),
            1)
      << log;
  EXPECT_EQ(testkit::count_of(log, std::string("Backup to prns/") + kName + ": 2 print jobs copied, 1 not copied\n"), 1)
      << log;
}

// When the action cannot be left for the watcher, the page says so and offers it again.
TEST_F(UsbRoad, ActionThatCannotBeWrittenIsShownAsFailed) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  ld::make_dirs(root_("/tmp/do_usb.sh/blocked"));  // no file can take this name
  ld::make_dirs(root_("/mnt/backup_usb/prns/A"));
  for (const auto& [query, what, button] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"?backup_logs=1", "the log backup", "value='Backup Logs'"},
           {"?backup_prns=1", "the print job backup", "value='Backup Print Jobs'"},
           {"?upload_prn=A", "the upload", ">Upload Print Jobs</button>"}}) {
    const std::string body = page(query);
    EXPECT_NE(body.find("<div class='usb_error'>Could not start " + what + ": "), std::string::npos) << query << body;
    EXPECT_NE(body.find(button), std::string::npos) << query << body;
    EXPECT_EQ(body.find("btn_done"), std::string::npos) << query << body;
    EXPECT_NE(body.find("<script>var waiting_for_completion = 0;</script>"), std::string::npos) << query << body;
  }
}

TEST_F(UsbRoad, LogBackupAndHostileUpload) {
  ASSERT_TRUE(web_.ok()) << web_.error();
  page("?backup_logs=1");
  run_watcher();
  std::string listing;
  EXPECT_EQ(testkit::run({"/bin/tar", "tzf", root_("/mnt/backup_usb/") + kName + "_syslog.tgz"}, &listing), 0);
  EXPECT_NE(listing.find("var/log/syslog"), std::string::npos) << listing;
  EXPECT_EQ(testkit::run({"/bin/tar", "tzf", root_("/mnt/backup_usb/") + kName + ".tgz"}, &listing), 0);
  EXPECT_NE(listing.find("print/log/ui_2026-12-08.log"), std::string::npos) << listing;

  ld::make_dirs(root_("/mnt/backup_usb/prns/A"));
  ld::remove_file(root_("/tmp/usb_mode"));
  for (const char* v : {"..%2F..%2Fprint", "A%2F..", "A%22%3Btouch+HACKED%3B%22", "%24%28touch+HACKED%29"}) {
    std::string body = page(std::string("?upload_prn=") + v);
    EXPECT_NE(body.find("<div class='usb_error'>No job set "), std::string::npos) << v << body;
    EXPECT_FALSE(ld::file_exists(root_("/tmp/do_usb.sh"))) << v;
    EXPECT_FALSE(ld::file_exists(root_("/tmp/usb_mode"))) << v;
  }
}

}  // namespace
