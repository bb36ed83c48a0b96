// webserver: runs lighttpd in the foreground for the demo and the benchmarks, configured as the
// tests configure it (document root "<root>/var/www/html", CGI programs in its "cgi-bin/"). The
// deployment tests take its configuration with the appliance's fragment (--fragment, its helper
// folder --share) and run lighttpd themselves (--write-only prints the configuration's path).
//   webserver --root DIR --port N [--cgi PROGRAM]... [--env NAME=VALUE]... [--fragment FILE]
//             [--share DIR] [--user NAME] [--any-address] [--write-only]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/run.h"
#include "testkit/webserver.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  testkit::WebServerOptions opt;
  bool write_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--root" && has_value) {
      opt.root = argv[++i];
    } else if (a == "--port" && has_value) {
      opt.port = std::atoi(argv[++i]);
    } else if (a == "--cgi" && has_value) {
      opt.cgi_programs.push_back(argv[++i]);
    } else if (a == "--fragment" && has_value) {
      opt.fragment = argv[++i];
    } else if (a == "--share" && has_value) {
      opt.share = argv[++i];
    } else if (a == "--user" && has_value) {
      opt.user = argv[++i];
    } else if (a == "--any-address") {
      opt.any_address = true;
    } else if (a == "--write-only") {
      write_only = true;
    } else if (a == "--env" && has_value &&
               std::string(argv[i + 1]).find('=') != std::string::npos) {
      std::string kv = argv[++i];
      opt.env[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    } else {
      opt.root.clear();
      break;
    }
  }
  if (opt.root.empty() || opt.port <= 0 || opt.port > 65535) {
    std::fprintf(stderr,
                 "usage: webserver --root DIR --port N [--cgi PROGRAM]... [--env NAME=VALUE]... "
                 "[--fragment FILE]\n"
                 "                 [--share DIR] [--user NAME] [--any-address] [--write-only]\n");
    return 2;
  }
  std::string err;
  if (!testkit::prepare_webserver(opt, &err)) {
    std::fprintf(stderr, "ERROR webserver: %s\n", err.c_str());
    return 1;
  }
  std::string bin = testkit::lighttpd_binary();
  std::string conf = testkit::webserver_config_path(opt.root);
  if (write_only) {
    std::printf("%s\n", conf.c_str());
    return 0;
  }
  std::printf("lighttpd on %s:%d serving %s/var/www/html (logs in %s/var/log/lighttpd)\n",
              opt.any_address ? "*" : "127.0.0.1", opt.port, opt.root.c_str(), opt.root.c_str());
  std::fflush(stdout);
  ::execl(bin.c_str(), bin.c_str(), "-D", "-f", conf.c_str(), static_cast<char*>(nullptr));
  std::fprintf(stderr, "ERROR webserver: cannot start %s\n", bin.c_str());
  return 1;
}
