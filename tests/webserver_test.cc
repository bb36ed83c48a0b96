// The web server that every CGI program is tested through: real lighttpd on a loopback port,
// the CGI programs in cgi-bin/ as their working directory, the appliance variables passed on.
#include "testkit/webserver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

namespace {

// A CGI program that reports what it was started with.
std::string write_env_cgi(const testkit::TempRoot& root) {
  std::string path = root.path() + "/envdump";
  testkit::spit(path,
                "#!/bin/sh\n"
                "body=\"root=$LABELDOCK_ROOT\nweb=$LABELDOCK_PRINTER_WEB_PORT\nraw=$LABELDOCK_PRINTER_RAW_PORT\n"
                "query=$QUERY_STRING\nuri=$REQUEST_URI\ncwd=$(pwd)\n\"\n"
                // Before the reply: once the reply is complete the server may stop reading.
                "echo 'a line on standard error' >&2\n"
                "printf 'Content-length: %d\\r\\nContent-Type:text/plain\\r\\n\\r\\n%s' ${#body} \"$body\"\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(WebServer, RunsCgiProgramsInCgiBinWithTheApplianceEnvironment) {
  testkit::TempRoot root;
  ::setenv("LABELDOCK_PRINTER_RAW_PORT", "19100", 1);
  testkit::WebServer web(root, {write_env_cgi(root)}, {{"LABELDOCK_PRINTER_WEB_PORT", "18080"}});
  ::unsetenv("LABELDOCK_PRINTER_RAW_PORT");
  ASSERT_TRUE(web.ok()) << web.error();

  testkit::HttpResponse r = testkit::http_get(web.port(), "/cgi-bin/envdump?list=1&sort=name");
  ASSERT_EQ(r.status, 200) << r.error << r.status_line;
  EXPECT_EQ(r.header("Content-Type"), "text/plain");
  EXPECT_EQ(r.body, "root=" + root.path() + "\nweb=18080\nraw=19100\nquery=list=1&sort=name\n"
                    "uri=/cgi-bin/envdump?list=1&sort=name\ncwd=" + root.path() + "/var/www/html/cgi-bin\n");
  EXPECT_EQ(r.header("Content-length"), std::to_string(r.body.size()));
  EXPECT_TRUE(testkit::wait_until([&] { return web.cgi_log().find("a line on standard error") != std::string::npos; }))
      << web.cgi_log();
}

TEST(WebServer, ServesStaticFilesAndAnswersMissingOnes) {
  testkit::TempRoot root;
  testkit::WebServer web(root);
  ASSERT_TRUE(web.ok()) << web.error();
  std::string doc = "{ \"system\": { \"SystemState\": \"Online\" } }\n";
  testkit::spit(root("/var/www/html/cgi-bin/system.json"), doc);
  testkit::spit(root("/var/www/html/page.json"), doc);

  testkit::HttpResponse r = testkit::http_get(web.port(), "/page.json");
  ASSERT_EQ(r.status, 200) << r.error;
  EXPECT_EQ(r.body, doc);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  // JSON documents beside the CGI programs are files, not programs.
  r = testkit::http_get(web.port(), "/cgi-bin/system.json");
  EXPECT_EQ(r.status, 200) << r.error;
  EXPECT_EQ(r.body, doc);
  EXPECT_EQ(testkit::http_get(web.port(), "/cgi-bin/nothing").status, 404);
  EXPECT_EQ(testkit::http_get(web.port(), "/nothing.html").status, 404);
}

}  // namespace
