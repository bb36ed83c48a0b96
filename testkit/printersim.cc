#include "testkit/printersim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/hexcode.h"
#include "common/net.h"
#include "testkit/printersim_rfid.h"

namespace printersim {
namespace {


template <typename T>
bool parse_int(std::string_view s, T min, T max, T* out) {
  T v{};
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < min || v > max) return false;
  *out = v;
  return true;
}

// An integer as JSON writes one: an optional minus, then 0 or digits without a leading zero.
bool is_integer(std::string_view s) {
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  if (s.empty() || s.size() > 18 || (s[0] == '0' && s.size() > 1)) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string json_str(std::string_view s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

// Numbers stay numbers so that readers taking them as integers see them as the printer writes
// them; anything else is sent as a string.
std::string json_num_or_str(std::string_view s) { return is_integer(s) ? std::string(s) : json_str(s); }

bool one_of(const std::string& v, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed)
    if (v == a) return true;
  return false;
}

constexpr int kMaxDelayMs = 600000;
constexpr size_t kReadChunkMax = 1 << 20;
constexpr int64_t kPageFileMax = 4 << 20;

}  // namespace

std::string unescape(std::string_view s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      o += s[i];
      continue;
    }
    char c = s[i + 1];
    switch (c) {
      case 'r': o += '\r'; ++i; break;
      case 'n': o += '\n'; ++i; break;
      case 't': o += '\t'; ++i; break;
      case 'f': o += '\f'; ++i; break;
      case 'e': o += '\x1b'; ++i; break;
      case '\\': o += '\\'; ++i; break;
      case 'x':
        if (i + 3 < s.size() && ld::hex_pair(s[i + 2], s[i + 3]) >= 0) {
          o += static_cast<char>(ld::hex_pair(s[i + 2], s[i + 3]));
          i += 3;
        } else {
          o += '\\';
        }
        break;
      default: o += '\\'; break;
    }
  }
  return o;
}

bool apply_setting(State* st, const std::string& key, const std::string& value, std::string* err) {
  auto bad = [&](const char* what) {
    if (err) *err = key + ": " + what + ": " + printable(value);
    return false;
  };
  std::string* text_field = nullptr;
  if (key == "SystemState") text_field = &st->SystemState;
  else if (key == "Media") text_field = &st->Media;
  else if (key == "Cutter") text_field = &st->Cutter;
  else if (key == "FirmwareVersion") text_field = &st->FirmwareVersion;
  else if (key == "RTC") text_field = &st->RTC;
  else if (key == "printer_ip") text_field = &st->printer_ip;
  else if (key == "ui_ip") text_field = &st->ui_ip;
  else if (key == "kova_ip") text_field = &st->kova_ip;
  else if (key == "kova_mac") text_field = &st->kova_mac;
  else if (key == "ui_alive") text_field = &st->ui_alive;
  else if (key == "chunked") text_field = &st->chunked;
  else if (key == "pages") text_field = &st->pages;
  if (text_field) {
    *text_field = value;
    return true;
  }
  if (key == "web") {
    if (!one_of(value, {"answer", "silent", "close"})) return bad("expected answer, silent or close");
    st->web = value;
  } else if (key == "raw") {
    if (!one_of(value, {"read", "stall", "close"})) return bad("expected read, stall or close");
    st->raw = value;
  } else if (key == "keep_open") {
    if (value != "0" && value != "1") return bad("expected 0 or 1");
    st->keep_open = value == "1";
  } else if (key == "chunk_size") {
    if (!parse_int<size_t>(value, 0, kReadChunkMax, &st->chunk_size)) return bad("expected 0 to 1048576");
  } else if (key == "chunk_digits") {
    if (!parse_int<int>(value, 1, 8, &st->chunk_digits)) return bad("expected 1 to 8");
  } else if (key == "web_delay_ms") {
    if (!parse_int<int>(value, 0, kMaxDelayMs, &st->web_delay_ms)) return bad("expected 0 to 600000");
  } else if (key == "read_delay_ms") {
    if (!parse_int<int>(value, 0, kMaxDelayMs, &st->read_delay_ms)) return bad("expected 0 to 600000");
  } else if (key == "read_chunk") {
    if (!parse_int<size_t>(value, 1, kReadChunkMax, &st->read_chunk)) return bad("expected 1 to 1048576");
  } else if (key == "drop_after") {
    if (!parse_int<int64_t>(value, -1, INT64_MAX, &st->drop_after)) return bad("expected -1 or a byte count");
  } else if (key == "say") {
    if (value.empty()) {
      st->say.clear();
      return true;
    }
    size_t colon = value.find(':');
    SayRule r;
    if (colon == std::string::npos ||
        !parse_int<uint64_t>(std::string_view(value).substr(0, colon), 0, UINT64_MAX, &r.after))
      return bad("expected BYTES:TEXT");
    r.text = value.substr(colon + 1);
    if (r.text.empty()) return bad("empty text");
    st->say.push_back(std::move(r));
  } else {
    if (err) *err = "unknown key " + printable(key);
    return false;
  }
  return true;
}

void apply_control(State* st, std::string_view text, std::string* errors) {
  size_t pos = 0;
  int lineno = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t lead = line.find_first_not_of(" \t");
    if (lead == std::string_view::npos || line[lead] == '#') continue;
    size_t eq = line.find('=');
    std::string err;
    if (eq == std::string_view::npos) {
      err = "expected KEY=VALUE";
    } else {
      std::string_view key = line.substr(lead, eq - lead);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
      // Blanks after "=" are layout; the rest of the line, trailing blanks included, is the value.
      std::string_view value = line.substr(eq + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      apply_setting(st, std::string(key), unescape(value), &err);
    }
    if (!err.empty() && errors) *errors += "line " + std::to_string(lineno) + ": " + err + "\n";
  }
}

// --- raw port ---------------------------------------------------------------------------------

namespace {
constexpr std::string_view kUel = "\x1b%-12345X";
constexpr std::string_view kPjl = "@PJL";
constexpr size_t kLineMax = 4096;

bool starts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}
// Whether `s` can still grow into a line that starts with `prefix`.
bool could_start(std::string_view s, std::string_view prefix) {
  return s.size() < prefix.size() && prefix.substr(0, s.size()) == s;
}
}  // namespace

void PjlSplitter::header_byte(char c, std::string* header) {
  *header += c;
  ++header_bytes_;
  if (line_.size() < kLineMax) line_ += c;
  if (c == '\n') {
    line_start_ = true;
    if (name_.empty()) name_ = pjl_job_name(line_);
    line_.clear();
  }
}

void PjlSplitter::feed(std::string_view in, std::string* header, std::string* body) {
  size_t i = 0;
  while (i < in.size() && in_header_) {
    if (header_bytes_ + pending_.size() >= kHeaderMax) {
      in_header_ = false;
      break;
    }
    if (!line_start_) {
      header_byte(in[i++], header);
      continue;
    }
    pending_ += in[i++];
    if (starts(pending_, kUel) || starts(pending_, kPjl)) {
      line_start_ = false;
      std::string p = std::move(pending_);
      pending_.clear();
      for (char c : p) header_byte(c, header);
    } else if (!could_start(pending_, kUel) && !could_start(pending_, kPjl)) {
      in_header_ = false;
    }
  }
  if (!in_header_) {
    *body += pending_;
    pending_.clear();
    body->append(in.substr(i));
  }
}

void PjlSplitter::finish(std::string* body) {
  *body += pending_;
  pending_.clear();
  in_header_ = false;
}

std::string pjl_job_name(std::string_view line) {
  size_t at = line.find("NAME = \"");
  if (line.find("@PJL JOB") == std::string_view::npos || at == std::string_view::npos) return "";
  size_t from = at + 8;
  size_t to = line.find('"', from);
  if (to == std::string_view::npos) return "";
  std::string_view text = line.substr(from, to - from);
  bool hex = !text.empty() && text.size() % 2 == 0 &&
             std::all_of(text.begin(), text.end(), [](char c) { return ld::hex_digit(c) >= 0; });
  if (!hex) return std::string(text);
  std::string out;
  for (size_t k = 0; k < text.size(); k += 2)
    out += static_cast<char>(ld::hex_pair(text[k], text[k + 1]));
  return out;
}

RawSchedule::RawSchedule(const State& st)
    : say_(st.say), drop_after_(st.drop_after), read_chunk_(std::max<size_t>(1, st.read_chunk)) {
  std::stable_sort(say_.begin(), say_.end(),
                   [](const SayRule& a, const SayRule& b) { return a.after < b.after; });
}

size_t RawSchedule::next_read_size() const {
  uint64_t n = read_chunk_;
  if (next_ < say_.size() && say_[next_].after > received_) n = std::min(n, say_[next_].after - received_);
  if (drop_after_ >= 0) {
    uint64_t drop = static_cast<uint64_t>(drop_after_);
    n = drop > received_ ? std::min(n, drop - received_) : 0;
  }
  return static_cast<size_t>(n);
}

std::vector<std::string> RawSchedule::on_read(size_t n) {
  received_ += n;
  std::vector<std::string> due;
  while (next_ < say_.size() && say_[next_].after <= received_) due.push_back(say_[next_++].text);
  return due;
}

// --- web server -------------------------------------------------------------------------------

int parse_request(std::string_view buf, Request* req, size_t* consumed) {
  size_t end = std::string_view::npos;
  size_t after = 0;
  // The head ends at the first empty line, CR LF or bare LF.
  for (size_t i = 0; i < buf.size(); ++i) {
    if (buf[i] != '\n') continue;
    if (i + 1 < buf.size() && buf[i + 1] == '\n') {
      end = i;
      after = i + 2;
      break;
    }
    if (i + 2 < buf.size() && buf[i + 1] == '\r' && buf[i + 2] == '\n') {
      end = i;
      after = i + 3;
      break;
    }
  }
  if (end == std::string_view::npos) return buf.size() > kRequestMax ? -1 : 0;
  if (after > kRequestMax) return -1;
  std::string_view head = buf.substr(0, end);
  size_t eol = head.find('\n');
  std::string_view line = head.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  req->line = std::string(line);
  size_t sp1 = line.find(' ');
  req->method = std::string(line.substr(0, sp1));
  std::string_view target;
  if (sp1 != std::string_view::npos) {
    target = line.substr(sp1 + 1);
    target = target.substr(0, target.find(' '));
  }
  size_t q = target.find('?');
  req->path = std::string(target.substr(0, q));
  req->query = q == std::string_view::npos ? "" : std::string(target.substr(q + 1));
  *consumed = after;
  return 1;
}

bool query_value(std::string_view query, std::string_view name, std::string* value) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string_view::npos) amp = query.size();
    std::string_view pair = query.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      std::string_view raw = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
      *value = ld::percent_decode(raw);
      return true;
    }
    pos = amp + 1;
  }
  return false;
}

Page builtin_page(const Request& req, const State& st, const std::string& now) {
  Page p;
  const std::string& path = req.path;
  if (path == "/status/system") {
    p.body = "{\"system\": {\"SystemState\": " + json_str(st.SystemState) +
             ", \"Media\": " + json_str(st.Media) + ", \"Cutter\": " + json_num_or_str(st.Cutter) +
             ", \"FirmwareVersion\": " + json_str(st.FirmwareVersion) +
             ", \"RTC\": " + json_str(st.RTC.empty() ? now : st.RTC) + "}}";
  } else if (path == "/status/ui") {
    // Flat members, each written `"key": value` with a blank after the colon and kova_mac
    // followed by a comma: the controller's readers search this text instead of parsing it.
    p.body = "{\"printer_ip\": " + json_str(st.printer_ip) + ", \"ui_ip\": " + json_str(st.ui_ip) +
             ", \"kova_ip\": " + json_str(st.kova_ip) + ", \"kova_mac\": " + json_str(st.kova_mac) +
             ", \"ui_alive\": " + json_num_or_str(st.ui_alive) + "}";
  } else if (path == "/config/network_config" || path == "/job/rfid_ntag" || path == "/job/rfid_exittag" ||
             path == "/job/rfid_wtag_result") {
    p.body = "{\"result\": \"OK\"}";
  } else if (path == "/system/status") {
    p.body = "{\"SystemState\": " + json_str(st.SystemState) + "}";
  } else {
    p.status = 404;
    p.type = "text/plain";
    p.body = "not found\n";
  }
  return p;
}

bool file_page(const std::string& dir, const std::string& path, Page* page) {
  if (dir.empty() || path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  // No component may climb out of the folder.
  size_t pos = 0;
  while (pos < path.size()) {
    size_t next = path.find('/', pos + 1);
    if (next == std::string::npos) next = path.size();
    std::string_view comp = std::string_view(path).substr(pos + 1, next - pos - 1);
    if (comp == ".." || comp == ".") return false;
    pos = next;
  }
  std::string file = dir + path;
  struct stat sb;
  if (::stat(file.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size > kPageFileMax) return false;
  if (!ld::read_file(file, &page->body)) return false;
  page->status = 200;
  auto ends = [&](const char* ext) {
    size_t n = std::strlen(ext);
    return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
  };
  page->type = ends(".html") || ends(".htm") ? "text/html"
               : ends(".txt")                ? "text/plain"
               : ends(".js")                 ? "application/javascript"
               : ends(".css")                ? "text/css"
                                             : "application/json";
  return true;
}

bool is_chunked(const std::string& chunked, const std::string& path) {
  if (chunked == "*") return true;
  size_t pos = 0;
  while (pos <= chunked.size()) {
    size_t comma = chunked.find(',', pos);
    if (comma == std::string::npos) comma = chunked.size();
    std::string_view item = std::string_view(chunked).substr(pos, comma - pos);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty() && item == path) return true;
    pos = comma + 1;
  }
  return false;
}

std::string http_reply(const Page& page, bool chunked, size_t chunk_size, int chunk_digits) {
  const char* reason = page.status == 200 ? "OK" : page.status == 404 ? "Not Found" : "Bad Request";
  std::string r = "HTTP/1.0 " + std::to_string(page.status) + " " + reason + "\r\n";
  r += "Content-Type: " + page.type + "\r\n";
  if (!chunked) {
    r += "Content-Length: " + std::to_string(page.body.size()) + "\r\n\r\n";
    return r + page.body;
  }
  r += "Transfer-Encoding: chunked\r\n\r\n";
  size_t step = chunk_size > 0 ? chunk_size : std::max<size_t>(1, page.body.size());
  char size_line[32];
  for (size_t at = 0; at < page.body.size(); at += step) {
    size_t n = std::min(step, page.body.size() - at);
    std::snprintf(size_line, sizeof size_line, "%0*zx\r\n", chunk_digits, n);
    r += size_line;
    r.append(page.body, at, n);
    r += "\r\n";
  }
  std::snprintf(size_line, sizeof size_line, "%0*x\r\n\r\n", chunk_digits, 0);
  return r + size_line;
}

std::string printable(std::string_view s) {
  std::string o;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

// --- the program ------------------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int64_t now_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string local_time_text() {
  time_t t = ::time(nullptr);
  struct tm tm;
  ::localtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%d/%m/%y %H:%M:%S", &tm);
  return b;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Appends one line to a log file; opened per line so a test may read or remove it any time.
void append_line(const std::string& path, const std::string& line) {
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  std::string l = line + "\n";
  if (fd.valid()) ld::write_all(fd.get(), l.data(), l.size());
}

// Sends what it can without blocking; false when the peer is gone.
bool flush_out(int fd, std::string* out) {
  while (!out->empty()) {
    ssize_t n = ::send(fd, out->data(), out->size(), MSG_NOSIGNAL);
    if (n > 0) {
      out->erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
}

struct RawConn {
  RawConn(ld::UniqueFd s, unsigned n, const State& st) : fd(std::move(s)), id(n), sched(st), read_delay_ms(st.read_delay_ms) {}
  ld::UniqueFd fd;
  unsigned id;
  RawSchedule sched;
  int read_delay_ms;
  PjlSplitter split;
  bool named = false;
  ld::UniqueFd pjl, prn;
  uint64_t pjl_bytes = 0, prn_bytes = 0;
  std::string out;
  int64_t read_at = 0;
};

struct WebConn {
  explicit WebConn(ld::UniqueFd s) : fd(std::move(s)) {}
  ld::UniqueFd fd;
  std::string in;
  std::string out;
  std::string delayed;     // a reply waiting for reply_at
  int64_t reply_at = -1;
  bool close_after = false;
  bool silent = false;     // requests are read and logged, never answered
  bool eof = false;        // the client closed its sending side
  bool done = false;       // to be closed
  int64_t last_active = 0;
};

constexpr size_t kMaxRawConns = 16;
constexpr size_t kMaxWebConns = 64;
constexpr int kTickMs = 100;

class Server {
 public:
  explicit Server(const Options& o) : opts_(o) {
    control_ = o.control.empty() ? o.dir + "/control" : o.control;
    jobs_dir_ = o.dir + "/jobs";
    raw_log_ = o.dir + "/raw.log";
    web_log_ = o.dir + "/requests.log";
  }

  int run();

 private:
  void reload(bool force = false);
  void accept_raw();
  void accept_web();
  void raw_readable(RawConn& c);
  void raw_say(RawConn& c, const std::vector<std::string>& texts);
  void raw_close(RawConn& c, const std::string& how);
  void web_readable(WebConn& c);
  void web_progress(WebConn& c);
  bool web_serve_one(WebConn& c);
  void raw_log(const RawConn& c, const std::string& what) {
    append_line(raw_log_, "job " + std::to_string(c.id) + " " + what);
  }

  Options opts_;
  std::string control_, jobs_dir_, raw_log_, web_log_;
  std::string control_text_;
  bool loaded_ = false;
  std::vector<std::pair<std::string, std::string>> overrides_;  // from /config/network_config
  State st_;
  ld::UniqueFd raw_listen_, web_listen_;
  std::list<std::unique_ptr<RawConn>> raw_;
  std::list<std::unique_ptr<WebConn>> web_;
  unsigned next_job_ = 1;
  std::vector<char> buf_ = std::vector<char>(kReadChunkMax);
};

// The state is rebuilt from the defaults, --set and the control file whenever the file's text
// changes; addresses taken through /config/network_config last until then.
void Server::reload(bool force) {
  std::string text;
  ld::read_file(control_, &text);
  if (loaded_ && !force && text == control_text_) return;
  if (loaded_ && text != control_text_) overrides_.clear();
  loaded_ = true;
  control_text_ = text;
  State s;
  std::string errors, err;
  for (const auto& [k, v] : opts_.settings)
    if (!apply_setting(&s, k, v, &err)) errors += "--set " + err + "\n";
  apply_control(&s, text, &errors);
  for (const auto& [k, v] : overrides_) apply_setting(&s, k, v, &err);
  if (!errors.empty()) std::fprintf(stderr, "printersim: %s: %s", control_.c_str(), errors.c_str());
  st_ = std::move(s);
}

void Server::accept_raw() {
  int c = ld::tcp_accept(raw_listen_.get());
  if (c < 0) return;
  ld::UniqueFd fd(c);
  reload();
  unsigned id = next_job_++;
  if (st_.raw == "close" || raw_.size() >= kMaxRawConns) {
    append_line(raw_log_, "job " + std::to_string(id) + " refuse");
    return;
  }
  set_nonblocking(fd.get());
  auto conn = std::make_unique<RawConn>(std::move(fd), id, st_);
  char name[32];
  std::snprintf(name, sizeof name, "/%04u", id);
  std::string base = jobs_dir_ + name;
  conn->pjl.reset(::open((base + ".pjl").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  conn->prn.reset(::open((base + ".prn").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!conn->pjl.valid() || !conn->prn.valid())
    std::fprintf(stderr, "printersim: cannot record %s: %s\n", base.c_str(), std::strerror(errno));
  raw_log(*conn, "open");
  raw_say(*conn, conn->sched.at_start());
  raw_.push_back(std::move(conn));
}

void Server::raw_say(RawConn& c, const std::vector<std::string>& texts) {
  for (const std::string& t : texts) {
    c.out += t;
    raw_log(c, "say " + std::to_string(t.size()) + " bytes at " + std::to_string(c.sched.received()));
  }
  if (!flush_out(c.fd.get(), &c.out)) c.out.clear();  // the peer left; what it sent is still read
}

void Server::raw_close(RawConn& c, const std::string& how) {
  std::string body;
  c.split.finish(&body);
  if (!body.empty() && c.prn.valid()) ld::write_all(c.prn.get(), body.data(), body.size());
  c.prn_bytes += body.size();
  raw_log(c, how + " pjl " + std::to_string(c.pjl_bytes) + " data " + std::to_string(c.prn_bytes));
  c.fd.reset();
}

void Server::raw_readable(RawConn& c) {
  size_t want = c.sched.next_read_size();
  ssize_t n = ::recv(c.fd.get(), buf_.data(), std::min(want, buf_.size()), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    raw_close(c, std::string("lost (") + std::strerror(errno) + ")");
    return;
  }
  if (n == 0) {
    raw_close(c, "end");
    return;
  }
  std::string header, body;
  c.split.feed(std::string_view(buf_.data(), static_cast<size_t>(n)), &header, &body);
  if (!header.empty() && c.pjl.valid()) ld::write_all(c.pjl.get(), header.data(), header.size());
  if (!body.empty() && c.prn.valid()) ld::write_all(c.prn.get(), body.data(), body.size());
  c.pjl_bytes += header.size();
  c.prn_bytes += body.size();
  if (!c.named && !c.split.job_name().empty()) {
    c.named = true;
    raw_log(c, "name " + printable(c.split.job_name()));
  }
  raw_say(c, c.sched.on_read(static_cast<size_t>(n)));
  if (c.read_delay_ms > 0) c.read_at = now_ms() + c.read_delay_ms;
  // Closing with the rest of the job unread makes the kernel reset the connection, as a
  // printer that gives up does: the sender's next write fails.
  if (c.sched.drop_due()) raw_close(c, "drop at " + std::to_string(c.sched.received()));
}

void Server::accept_web() {
  int c = ld::tcp_accept(web_listen_.get());
  if (c < 0) return;
  if (web_.size() >= kMaxWebConns) {
    // Make room by closing the connection that has been quiet longest.
    auto oldest = std::min_element(web_.begin(), web_.end(), [](const auto& a, const auto& b) {
      return a->last_active < b->last_active;
    });
    web_.erase(oldest);
  }
  set_nonblocking(c);
  auto conn = std::make_unique<WebConn>(ld::UniqueFd(c));
  conn->last_active = now_ms();
  web_.push_back(std::move(conn));
}

void Server::web_readable(WebConn& c) {
  char b[16384];
  ssize_t n = ::recv(c.fd.get(), b, sizeof b, 0);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.done = true;
    return;
  }
  c.last_active = now_ms();
  if (n == 0) {
    c.eof = true;
  } else if (!c.silent) {
    c.in.append(b, static_cast<size_t>(n));
    // A client that keeps sending while its replies wait is cut off rather than buffered.
    if (c.in.size() > 2 * kRequestMax) c.done = true;
  }
  web_progress(c);
}

// Moves a connection on as far as it can go now: writes what is due, then takes the next request.
void Server::web_progress(WebConn& c) {
  while (!c.done && c.reply_at < 0) {
    if (!c.out.empty()) {
      if (!flush_out(c.fd.get(), &c.out)) {
        c.done = true;
        return;
      }
      if (!c.out.empty()) return;  // the rest when the socket takes it
      if (c.close_after) c.done = true;  // HTTP/1.0: the end of the reply is the end of the connection
      continue;
    }
    if (c.silent || !web_serve_one(c)) {
      if (c.eof) c.done = true;
      return;
    }
  }
}

// Takes one complete request from the buffer and starts its reply; false when there is none.
bool Server::web_serve_one(WebConn& c) {
  // Line ends between requests are not requests.
  size_t lead = c.in.find_first_not_of("\r\n");
  if (lead == std::string::npos) {
    c.in.clear();
    return false;
  }
  c.in.erase(0, lead);
  // A client that ends its request by closing its sending side still gets an answer.
  if (c.eof && !c.in.empty() && c.in.size() <= kRequestMax && c.in.find("\n\n") == std::string::npos &&
      c.in.find("\n\r\n") == std::string::npos)
    c.in += "\r\n\r\n";
  Request req;
  size_t used = 0;
  int r = parse_request(c.in, &req, &used);
  if (r == 0) return false;
  if (r < 0) {
    append_line(web_log_, printable(std::string_view(c.in).substr(0, std::min<size_t>(c.in.find('\n'), 200))) +
                              " (request too long)");
    c.out = http_reply(Page{400, "text/plain", "request too long\n"}, false, 0, 4);
    c.in.clear();
    c.close_after = true;
    return true;
  }
  c.in.erase(0, used);
  reload();
  append_line(web_log_, printable(req.line));
  if (st_.web == "close") {
    c.done = true;
    return true;
  }
  if (st_.web == "silent") {
    c.silent = true;
    c.in.clear();
    return true;
  }
  if (req.path == "/config/network_config") {
    // The controller takes the addresses it is given: its own, and the one it expects the UI at.
    std::string v;
    if (query_value(req.query, "private_ip", &v)) overrides_.emplace_back("kova_ip", v);
    if (query_value(req.query, "ui_ip", &v)) overrides_.emplace_back("ui_ip", v);
    reload(true);
  }
  Page page;
  if (!file_page(st_.pages, req.path, &page)) page = builtin_page(req, st_, local_time_text());
  std::string reply = http_reply(page, is_chunked(st_.chunked, req.path), st_.chunk_size, st_.chunk_digits);
  c.close_after = !st_.keep_open;
  if (st_.web_delay_ms > 0) {
    c.delayed = std::move(reply);
    c.reply_at = now_ms() + st_.web_delay_ms;
  } else {
    c.out = std::move(reply);
  }
  return true;
}

int Server::run() {
  std::string err;
  if (!ld::make_dirs(jobs_dir_, &err)) {
    std::fprintf(stderr, "printersim: cannot create %s: %s\n", jobs_dir_.c_str(), err.c_str());
    return 1;
  }
  raw_listen_ = ld::tcp_listen(opts_.raw_port, 16, !opts_.any_address, &err);
  if (raw_listen_.valid()) web_listen_ = ld::tcp_listen(opts_.web_port, 64, !opts_.any_address, &err);
  if (!raw_listen_.valid() || !web_listen_.valid()) {
    std::fprintf(stderr, "printersim: %s\n", err.c_str());
    return 1;
  }
  int raw_port = ld::local_port(raw_listen_.get());
  int web_port = ld::local_port(web_listen_.get());
  reload(true);
  std::string ports = "LABELDOCK_PRINTER_HOST=127.0.0.1\nLABELDOCK_PRINTER_RAW_PORT=" +
                      std::to_string(raw_port) + "\nLABELDOCK_PRINTER_WEB_PORT=" +
                      std::to_string(web_port) + "\n";
  if (!ld::write_file_atomic(opts_.dir + "/ports", ports, &err)) {
    std::fprintf(stderr, "printersim: cannot write %s/ports: %s\n", opts_.dir.c_str(), err.c_str());
    return 1;
  }
  std::printf("printersim: raw port %d, web port %d on 127.0.0.1; jobs in %s, requests in %s\n", raw_port,
              web_port, jobs_dir_.c_str(), web_log_.c_str());
  std::fflush(stdout);

  std::vector<pollfd> fds;
  std::vector<RawConn*> raw_at;
  std::vector<WebConn*> web_at;
  std::unique_ptr<RfidScript> rfid;
  if (opts_.rfid_port > 0) {
    rfid = std::make_unique<RfidScript>(opts_.rfid_port,
                                        opts_.rfid_script.empty() ? opts_.dir + "/rfid_script" : opts_.rfid_script,
                                        opts_.dir + "/rfid.log");
  }
  while (!g_stop) {
    reload();
    int64_t now = now_ms();
    int64_t timeout = kTickMs;
    fds.clear();
    raw_at.clear();
    web_at.clear();
    fds.push_back({raw_listen_.get(), POLLIN, 0});
    fds.push_back({web_listen_.get(), POLLIN, 0});
    // A descriptor with nothing to wait for is left out (negative), so that a hung-up peer of a
    // stalled or paused connection does not wake the loop again and again.
    for (auto& c : raw_) {
      short ev = c->out.empty() ? 0 : POLLOUT;
      if (st_.raw != "stall") {
        if (c->read_at > now) timeout = std::min(timeout, c->read_at - now);
        else ev |= POLLIN;
      }
      fds.push_back({ev ? c->fd.get() : -1, ev, 0});
      raw_at.push_back(c.get());
    }
    for (auto& c : web_) {
      if (c->reply_at >= 0 && c->reply_at <= now) {
        c->out = std::move(c->delayed);
        c->reply_at = -1;
        web_progress(*c);
      }
      if (c->reply_at >= 0) timeout = std::min(timeout, c->reply_at - now);
      short ev = c->eof ? 0 : POLLIN;
      if (!c->out.empty()) ev |= POLLOUT;
      fds.push_back({ev && !c->done ? c->fd.get() : -1, ev, 0});
      web_at.push_back(c.get());
    }
    const size_t rfid_at = fds.size();
    if (rfid) {
      timeout = std::min(timeout, rfid->next_due(now) - now);
      fds.push_back({rfid->poll_fd(), POLLIN, 0});
    }
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(timeout, 0)));
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("printersim: poll");
      return 1;
    }
    size_t k = 2;
    for (RawConn* c : raw_at) {
      short re = fds[k++].revents;
      if ((re & POLLOUT) && !flush_out(c->fd.get(), &c->out)) c->out.clear();
      if (re & (POLLIN | POLLHUP | POLLERR)) raw_readable(*c);
    }
    for (WebConn* c : web_at) {
      short re = fds[k++].revents;
      if (c->done) continue;
      if (re & (POLLIN | POLLHUP | POLLERR)) web_readable(*c);
      else if (re & POLLOUT) web_progress(*c);
    }
    if (rfid) rfid->step(now_ms(), (fds[rfid_at].revents & (POLLIN | POLLHUP | POLLERR)) != 0);
    raw_.remove_if([](const auto& c) { return !c->fd.valid(); });
    web_.remove_if([](const auto& c) { return c->done; });
    if (fds[0].revents & POLLIN) accept_raw();
    if (fds[1].revents & POLLIN) accept_web();
  }
  for (auto& c : raw_) raw_close(*c, "stopped");
  return 0;
}

}  // namespace

int run(const Options& opts) {
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  Server s(opts);
  return s.run();
}

}  // namespace printersim
