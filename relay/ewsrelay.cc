#include "relay/ewsrelay.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/http_client.h"
#include "relay/reply.h"

namespace ewsrelay {

namespace {

void write_text(FILE* f, std::string_view s) {
  if (!s.empty()) std::fwrite(s.data(), 1, s.size(), f);
}

}  // namespace

Target printer_target() {
  Target t;
  t.host = ld::printer_host();
  t.port = ld::printer_web_port();
  return t;
}

int call(const Target& t, std::string_view method, std::string_view path,
         const std::string* output_file, FILE* out, FILE* err, bool cgi) {
  std::string why;
  if (!ld::http::path_acceptable(path, &why)) {
    std::fprintf(err, "ERROR refusing path: %s\n", why.c_str());
    return 0;
  }
  ld::http::Reply f;
  if (!ld::http::fetch(t.host, t.port, ld::http::build_request(method, path),
                       ld::http::deadline_in(t.time_limit_ms), kReplyMax, &f, &why)) {
    std::fprintf(err, "%s\n", why.c_str());
    return 0;
  }
  if (!f.problem.empty()) std::fprintf(err, "ERROR %s:%d: %s\n", t.host.c_str(), t.port, f.problem.c_str());

  Relayed r = relay_reply(f.raw, cgi);
  const bool whole = r.whole && f.complete;
  write_text(out, r.head);
  if (output_file == nullptr) {
    write_text(out, r.body);
  } else if (!whole) {
    // A cut status document would stop all printing: better the previous copy than half of one.
    std::fprintf(err, "ERROR incomplete reply, %s left as it was\n", output_file->c_str());
  } else {
    std::fprintf(err, "flushing output file %s\n", output_file->c_str());
    if (!ld::write_file_atomic(*output_file, r.body, &why)) {
      std::fprintf(err, "Error openning %s\n", output_file->c_str());
      write_text(out, r.body);
    }
  }
  write_text(out, r.tail);
  write_text(err, r.errors);
  std::fflush(out);
  return whole ? 1 : 0;
}

int run(const char* query_string, const std::vector<std::string>& args, const Target& t, FILE* out,
        FILE* err) {
  std::string path = "/status/system";
  const std::string* output_file = nullptr;
  std::string why;
  std::optional<std::string> value;
  if (query_string != nullptr) value = getParam(query_string, "path", &why);
  if (value) {
    path = *value;
  } else if (!why.empty()) {
    std::fprintf(err, "ERROR refusing request: %s\n", why.c_str());
    return 0;
  } else if (!args.empty()) {
    std::fprintf(err, "%d args calling %s\n", static_cast<int>(args.size()), args[0].c_str());
    path = args[0];
    if (args.size() > 1) output_file = &args[1];
  }
  // A web server always sets QUERY_STRING for a CGI program (empty without a query).
  call(t, "GET", path, output_file, out, err, query_string != nullptr);
  return 0;
}

}  // namespace ewsrelay
