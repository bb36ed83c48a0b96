// webserver: runs lighttpd in the foreground for the demo and the benchmarks, configured as the
// tests configure it (document root "<root>/var/www/html", CGI programs in its "cgi-bin/").
//   webserver --root DIR --port N [--cgi PROGRAM]... [--env NAME=VALUE]...
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/run.h"
#include "testkit/webserver.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  testkit::WebServerOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--root" && has_value) {
      opt.root = argv[++i];
    } else if (a == "--port" && has_value) {
      opt.port = std::atoi(argv[++i]);
    } else if (a == "--cgi" && has_value) {
      opt.cgi_programs.push_back(argv[++i]);
    } else if (a == "--env" && has_value && std::string(argv[i + 1]).find('=') != std::string::npos) {
      std::string kv = argv[++i];
      opt.env[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
    } else {
      opt.root.clear();
      break;
    }
  }
  if (opt.root.empty() || opt.port <= 0 || opt.port > 65535) {
    std::fprintf(stderr, "usage: webserver --root DIR --port N [--cgi PROGRAM]... [--env NAME=VALUE]...\n");
    return 2;
  }
  std::string err;
  if (!testkit::prepare_webserver(opt, &err)) {
    std::fprintf(stderr, "ERROR webserver: %s\n", err.c_str());
    return 1;
  }
  std::string bin = testkit::lighttpd_binary();
  std::string conf = testkit::webserver_config_path(opt.root);
  std::printf("lighttpd on 127.0.0.1:%d serving %s/var/www/html (logs in %s/var/log/lighttpd)\n", opt.port,
              opt.root.c_str(), opt.root.c_str());
  std::fflush(stdout);
  ::execl(bin.c_str(), bin.c_str(), "-D", "-f", conf.c_str(), static_cast<char*>(nullptr));
  std::fprintf(stderr, "ERROR webserver: cannot start %s\n", bin.c_str());
  return 1;
}
