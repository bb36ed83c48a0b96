// A real web server for the CGI programs, as on the appliance: Debian's lighttpd with mod_cgi on
// a loopback port, serving an appliance root's "/var/www/html" with the CGI programs installed
// in its "cgi-bin/" (their working directory). Tests, the demo and the benchmarks share it, and
// a small HTTP/1.0 client to ask it.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testkit/scenario.h"

namespace testkit {

struct WebServerOptions {
  std::string root;                        // the appliance root; LABELDOCK_ROOT of the CGIs
  int port = 0;                            // loopback port to listen on
  std::vector<std::string> cgi_programs;   // programs copied into cgi-bin/ under their own name
  // CGI environment beside LABELDOCK_ROOT and the endpoint variables set in this process;
  // an empty value leaves a variable out.
  std::map<std::string, std::string> env;
  // The appliance's own lighttpd fragment (deploy/lighttpd/50-labeldock.conf or an installed
  // copy) in place of the generic CGI rule, over Debian's base modules as on the board; its
  // helper paths under "/usr/share/labeldock/" are moved to `share` when that is given.
  std::string fragment;
  std::string share;
  bool any_address = false;  // listen on every address, not only 127.0.0.1
  std::string user;          // the user (and group) lighttpd becomes, when run as root
};

// Where the generated files live below the root.
std::string webserver_config_path(const std::string& root);    // <root>/etc/lighttpd/lighttpd.conf
std::string webserver_fragment_path(
    const std::string& root);  // <root>/etc/lighttpd/50-labeldock.conf
std::string webserver_error_log(const std::string& root);      // lighttpd's own messages
std::string webserver_cgi_log(const std::string& root);        // standard error of the CGIs
std::string lighttpd_binary();                                  // /usr/sbin/lighttpd

// The configuration text. lighttpd hands a CGI only the request variables and what the
// configuration adds, so the appliance variables are listed in it one by one. Fails for values
// that cannot be written into the configuration safely (quotes, backslashes, control bytes).
bool lighttpd_config(const WebServerOptions& opt, std::string* text, std::string* err);

// Creates the folders, installs the CGI programs and writes the configuration (and the moved
// fragment). With a user, the log and upload folders become that user's.
bool prepare_webserver(const WebServerOptions& opt, std::string* err);

// Copies a program into "<root>/var/www/html/cgi-bin/" under its own name, executable.
bool install_cgi(const std::string& root, const std::string& program, std::string* err);

// lighttpd running in the foreground for the lifetime of the object (stopped and reaped on
// destruction). Listens on a free loopback port; ok() tells whether it came up.
class WebServer {
 public:
  // cgi_names are programs of this build (bin(name)); programs given with a "/" are used as is.
  explicit WebServer(const TempRoot& root, const std::vector<std::string>& cgi_names = {},
                     const std::map<std::string, std::string>& env = {});
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  bool ok() const { return proc_ != nullptr; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string error_log() const { return slurp(webserver_error_log(root_)); }
  std::string cgi_log() const { return slurp(webserver_cgi_log(root_)); }

 private:
  std::string root_;
  int port_ = -1;
  std::string error_;
  std::unique_ptr<Process> proc_;
};

struct HttpResponse {
  int status = 0;                                            // 0 when no valid reply came
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;
  std::string error;                                         // why status is 0
  // The first header of that name (case-insensitive), or "" when absent.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
};

// One HTTP/1.0 GET (the connection closes after the reply), bounded by timeout_ms per step.
HttpResponse http_get(int port, const std::string& target, int timeout_ms = 10000);

}  // namespace testkit
