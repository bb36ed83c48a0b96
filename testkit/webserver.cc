#include "testkit/webserver.h"

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/net.h"

namespace testkit {
namespace {

constexpr size_t kMaxReply = 64 << 20;  // a reply larger than this is a fault of the test

// A value as a lighttpd configuration string; false when it holds what would need escaping.
bool conf_string(const std::string& v, std::string* out, std::string* err) {
  for (unsigned char c : v) {
    if (c == '"' || c == '\\' || c < 0x20 || c == 0x7F) {
      *err = "cannot put this value into the lighttpd configuration: " + v;
      return false;
    }
  }
  *out = "\"" + v + "\"";
  return true;
}

std::string docroot(const std::string& root) { return root + "/var/www/html"; }

}  // namespace

std::string webserver_config_path(const std::string& root) { return root + "/etc/lighttpd/lighttpd.conf"; }
std::string webserver_fragment_path(const std::string& root) {
  return root + "/etc/lighttpd/50-labeldock.conf";
}
std::string webserver_error_log(const std::string& root) { return root + "/var/log/lighttpd/error.log"; }
std::string webserver_cgi_log(const std::string& root) { return root + "/var/log/lighttpd/cgi.log"; }
std::string lighttpd_binary() { return "/usr/sbin/lighttpd"; }

bool lighttpd_config(const WebServerOptions& opt, std::string* text, std::string* err) {
  std::map<std::string, std::string> env;
  for (const char* const* n = ld::endpoint_variables(); *n; ++n) {
    const char* v = std::getenv(*n);
    if (v && *v) env[*n] = v;
  }
  env["LABELDOCK_ROOT"] = opt.root;
  for (const auto& [k, v] : opt.env) {
    if (v.empty()) env.erase(k);
    else env[k] = v;
  }

  std::string doc, errlog, cgilog, uploads, fragment, user;
  if (!conf_string(docroot(opt.root), &doc, err) ||
      !conf_string(webserver_error_log(opt.root), &errlog, err) ||
      !conf_string(webserver_cgi_log(opt.root), &cgilog, err) ||
      !conf_string(opt.root + "/var/cache/lighttpd/uploads", &uploads, err) ||
      !conf_string(webserver_fragment_path(opt.root), &fragment, err) ||
      !conf_string(opt.user, &user, err))
    return false;
  const bool own_fragment = !opt.fragment.empty();
  std::string t;
  t += "# Generated for one run: lighttpd serving the appliance's pages and CGI programs.\n";
  // With the appliance's fragment, the modules Debian's lighttpd.conf loads (the fragment adds
  // mod_cgi) and mod_setenv for the variables below.
  t += own_fragment ? "server.modules = ( \"mod_indexfile\", \"mod_access\", \"mod_alias\", "
                      "\"mod_redirect\", "
                      "\"mod_setenv\" )\n"
                    : "server.modules = ( \"mod_setenv\", \"mod_cgi\" )\n";
  t += "server.document-root = " + doc + "\n";
  if (!opt.any_address) t += "server.bind = \"127.0.0.1\"\n";
  t += "server.port = " + std::to_string(opt.port) + "\n";
  if (!opt.user.empty()) t += "server.username = " + user + "\nserver.groupname = " + user + "\n";
  t += "server.errorlog = " + errlog + "\n";
  // Standard error of the CGI programs, which the appliance keeps in the server's log.
  t += "server.breakagelog = " + cgilog + "\n";
  t += "server.upload-dirs = ( " + uploads + " )\n";
  // Files the tests rewrite between requests must be served fresh.
  t += "server.stat-cache-engine = \"disable\"\n";
  t += "index-file.names = ( \"index.html\" )\n";
  t += "mimetype.assign = ( \".json\" => \"application/json\", \".html\" => \"text/html\", "
       "\".js\" => \"text/javascript\", \".css\" => \"text/css\", \".jpeg\" => \"image/jpeg\", "
       "\".jpg\" => \"image/jpeg\", \".png\" => \"image/png\", \"\" => \"application/octet-stream\" )\n";
  // Every file in cgi-bin/ is a program (the CGI programs carry no extension), except the JSON
  // documents kept beside them, which pages fetch as files. lighttpd runs a program with
  // cgi-bin/ as its working directory. The appliance's fragment says the same its own way.
  if (own_fragment) {
    t += "url.access-deny = ( \"~\", \".inc\" )\n";  // Debian's
  } else {
    t += "$HTTP[\"url\"] =~ \"^/cgi-bin/\" {\n"
         "  $HTTP[\"url\"] !~ \"[.]json$\" {\n    cgi.assign = ( \"\" => \"\" )\n  }\n}\n";
  }
  t += "setenv.add-environment = (\n";
  bool first = true;
  for (const auto& [k, v] : env) {
    std::string key, val;
    if (!conf_string(k, &key, err) || !conf_string(v, &val, err)) return false;
    t += std::string(first ? "  " : ", ") + key + " => " + val + "\n";
    first = false;
  }
  t += ")\n";
  if (own_fragment) t += "include " + fragment + "\n";
  *text = std::move(t);
  return true;
}

namespace {

// The fragment with its helper paths moved from "/usr/share/labeldock/" to `share`.
bool moved_fragment(const WebServerOptions& opt, std::string* text, std::string* err) {
  if (!ld::read_file(opt.fragment, text, err)) return false;
  if (opt.share.empty()) return true;
  const std::string from = "\"/usr/share/labeldock/", to = "\"" + opt.share + "/";
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
  return true;
}

// lighttpd opens its logs and keeps uploads as the user it becomes.
bool give_to_user(const WebServerOptions& opt, std::string* err) {
  if (opt.user.empty() || ::geteuid() != 0) return true;
  const passwd* pw = ::getpwnam(opt.user.c_str());
  if (pw == nullptr) {
    if (err) *err = "no user " + opt.user;
    return false;
  }
  for (const char* d : {"/var/log/lighttpd", "/var/cache/lighttpd/uploads"}) {
    if (::chown((opt.root + d).c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      if (err) *err = "cannot give " + opt.root + d + " to " + opt.user;
      return false;
    }
  }
  return true;
}

}  // namespace

bool install_cgi(const std::string& root, const std::string& program, std::string* err) {
  std::string to = docroot(root) + "/cgi-bin/" + ld::base_name(program);
  if (!ld::make_dirs(docroot(root) + "/cgi-bin", err) || !ld::copy_file(program, to, err)) return false;
  if (::chmod(to.c_str(), 0755) != 0) {
    if (err) *err = "cannot make " + to + " executable";
    return false;
  }
  return true;
}

bool prepare_webserver(const WebServerOptions& opt, std::string* err) {
  std::string text;
  if (!lighttpd_config(opt, &text, err)) return false;
  for (const char* d : {"/etc/lighttpd", "/var/log/lighttpd", "/var/cache/lighttpd/uploads", "/var/www/html/cgi-bin"})
    if (!ld::make_dirs(opt.root + d, err)) return false;
  for (const auto& p : opt.cgi_programs)
    if (!install_cgi(opt.root, p, err)) return false;
  if (!opt.fragment.empty()) {
    std::string fragment;
    if (!moved_fragment(opt, &fragment, err) ||
        !ld::write_file_atomic(webserver_fragment_path(opt.root), fragment, err))
      return false;
  }
  return give_to_user(opt, err) &&
         ld::write_file_atomic(webserver_config_path(opt.root), text, err);
}

WebServer::WebServer(const TempRoot& root, const std::vector<std::string>& cgi_names,
                     const std::map<std::string, std::string>& env)
    : root_(root.path()) {
  WebServerOptions opt;
  opt.root = root_;
  opt.env = env;
  for (const auto& n : cgi_names) opt.cgi_programs.push_back(n.find('/') == std::string::npos ? bin(n) : n);
  // A free port can be taken by someone else before lighttpd binds it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    opt.port = free_port();
    if (!prepare_webserver(opt, &error_)) return;
    auto p = std::make_unique<Process>(
        std::vector<std::string>{lighttpd_binary(), "-D", "-f", webserver_config_path(root_)});
    int port = opt.port;
    bool up = wait_until(
        [&] {
          if (!p->running()) return true;
          std::string e;
          return ld::tcp_connect("127.0.0.1", port, 200, &e).valid();
        },
        10000);
    if (up && p->running()) {
      port_ = port;
      proc_ = std::move(p);
      error_.clear();
      return;
    }
    error_ = "lighttpd did not come up on port " + std::to_string(port) + ": " + p->err() + error_log();
  }
}

WebServer::~WebServer() = default;

std::string HttpResponse::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (::strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return "";
}

bool HttpResponse::has_header(const std::string& name) const {
  for (const auto& h : headers)
    if (::strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
  return false;
}

HttpResponse http_get(int port, const std::string& target, int timeout_ms) {
  HttpResponse r;
  std::string err;
  ld::UniqueFd fd = ld::tcp_connect("127.0.0.1", port, timeout_ms, &err);
  if (!fd.valid()) {
    r.error = err;
    return r;
  }
  ld::set_socket_timeouts(fd.get(), timeout_ms, timeout_ms);
  std::string req = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  if (!ld::write_all(fd.get(), req.data(), req.size())) {
    r.error = "cannot send the request";
    return r;
  }
  std::string raw;
  char buf[16384];
  for (;;) {
    long n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      r.error = "no complete reply in time";
      return r;
    }
    if (n == 0) break;
    raw.append(buf, static_cast<size_t>(n));
    if (raw.size() > kMaxReply) {
      r.error = "reply too large";
      return r;
    }
  }
  size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    r.error = "reply without a complete header: " + raw.substr(0, 200);
    return r;
  }
  std::string head = raw.substr(0, head_end + 2);
  r.body = raw.substr(head_end + 4);
  size_t eol = head.find("\r\n");
  r.status_line = head.substr(0, eol);
  for (size_t pos = eol + 2; pos < head.size();) {
    size_t e = head.find("\r\n", pos);
    std::string line = head.substr(pos, e - pos);
    pos = e + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t vs = line.find_first_not_of(" \t", colon + 1);
    r.headers.emplace_back(line.substr(0, colon), vs == std::string::npos ? "" : line.substr(vs));
  }
  // "HTTP/1.x NNN reason"
  if (r.status_line.compare(0, 5, "HTTP/") != 0 || r.status_line.size() < 12) {
    r.error = "not an HTTP status line: " + r.status_line;
    return r;
  }
  r.status = std::atoi(r.status_line.c_str() + 9);
  return r;
}

}  // namespace testkit
