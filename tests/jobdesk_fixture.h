// The job browser as the touch screen meets it: jobdesk run by real lighttpd under a temporary
// appliance root, with the documents of an installed appliance and jobs thumbmaker has drawn.
// Shared by the scenario files that drive jobdesk.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/fsops.h"
#include "testkit/scenario.h"
#include "testkit/webserver.h"
#include "testkit/zjsgen.h"

namespace jobdesk_scenario {

class JobdeskFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.install_recording_log_client();
    for (const char* d : {"/print/prns/thumbs", "/print/prns/tmp", "/print/printq", "/var/www/html/cgi-bin"})
      ld::make_dirs(root_(d));
    ASSERT_EQ(::symlink(root_("/print/prns/thumbs").c_str(), root_("/var/www/html/thumbs").c_str()), 0);
    for (const char* doc : {"local.json", "system.json", "tags.json"}) {
      testkit::spit(root_("/var/www/html/cgi-bin/") + doc,
                    testkit::slurp(std::string(LABELDOCK_SOURCE_DIR) + "/jobdesk/samples/" + doc));
    }
  }
  // A job in the library with the thumbnail thumbmaker made for it.
  void library_job(const std::string& name, int pages = 1) {
    std::string job = root_("/print/prns/") + name + ".prn";
    testkit::JobSpec wanted;
    wanted.pages = pages;
    testkit::spit(job, testkit::make_job(wanted));
    std::string out;
    ASSERT_EQ(testkit::run({testkit::bin("thumbmaker"), job}, &out, &out), 0) << out;
    ASSERT_TRUE(ld::move_file(root_("/print/prns/") + name + ".jpeg",
                              root_("/print/prns/thumbs/") + name + ".jpeg"));
  }
  std::string page(const std::string& query) {
    testkit::HttpResponse r = testkit::http_get(web_.port(), "/cgi-bin/jobdesk" + query);
    EXPECT_EQ(r.status, 200) << query << ": " << r.error << r.status_line << web_.cgi_log();
    EXPECT_EQ(r.header("Content-length"), std::to_string(r.body.size()));
    return r.body;
  }
  std::string job_file(const std::string& file_name) const { return root_("/print/prns/") + file_name; }
  std::string thumb_file(const std::string& base) const {
    return root_("/print/prns/thumbs/") + base + ".jpeg";
  }
  std::string events() const { return root_.log_client_output(); }
  // The page does not wait for the log client, so its line may land just after the reply.
  bool logged(const std::string& text) const {
    return testkit::wait_until([&] { return events().find(text) != std::string::npos; }, 5000);
  }

  testkit::TempRoot root_;
  testkit::WebServer web_{root_, {"jobdesk"}};
};

}  // namespace jobdesk_scenario
