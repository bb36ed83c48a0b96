#include "testkit/webserver.h"

#include <string>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/scenario.h"

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The deployment tests run lighttpd with the appliance's own fragment through this writer; the
// other tests with its generic CGI rule. Each must get exactly its form.
TEST(LighttpdConfig, GenericOrWithTheAppliancesFragment) {
  testkit::TempRoot root;
  testkit::WebServerOptions opt;
  opt.root = root.path();
  opt.port = 8080;
  std::string text, err;
  ASSERT_TRUE(testkit::lighttpd_config(opt, &text, &err)) << err;
  EXPECT_TRUE(has(text, "server.bind = \"127.0.0.1\"\n"));
  EXPECT_TRUE(has(text, "cgi.assign"));
  EXPECT_FALSE(has(text, "include ") || has(text, "server.username"));

  const std::string fragment = root("/frag.conf");
  ASSERT_TRUE(
      ld::write_file_atomic(fragment,
                            "include_shell \"/usr/share/labeldock/printer-address\"\n"
                            "x = \"/usr/share/labeldock/a\" + \"/usr/share/labeldock/b\"\n"));
  opt.fragment = fragment;
  opt.share = root("/share");
  opt.any_address = true;
  opt.user = "www-data";
  ASSERT_TRUE(testkit::lighttpd_config(opt, &text, &err)) << err;
  EXPECT_FALSE(has(text, "server.bind"));
  EXPECT_FALSE(has(text, "cgi.assign"));  // the fragment's own rules only
  EXPECT_TRUE(has(text, "\"mod_setenv\" )\n"));
  EXPECT_TRUE(has(text, "server.username = \"www-data\"\nserver.groupname = \"www-data\"\n"));
  EXPECT_TRUE(has(text, "include \"" + testkit::webserver_fragment_path(root.path()) + "\"\n"));

  opt.user.clear();  // no chown needed for this check
  ASSERT_TRUE(testkit::prepare_webserver(opt, &err)) << err;
  EXPECT_EQ(testkit::slurp(testkit::webserver_fragment_path(root.path())),
            "include_shell \"" + root("/share") +
                "/printer-address\"\n"
                "x = \"" +
                root("/share") + "/a\" + \"" + root("/share") + "/b\"\n");
  opt.user = "bad\"user";
  EXPECT_FALSE(testkit::lighttpd_config(opt, &text, &err));
}

}  // namespace
