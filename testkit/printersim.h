// printersim: a stand-in for the label printer that tests and the demo talk to. It records what
// arrives on the raw print port (PJL header and job bytes apart), answers there on a schedule,
// and serves the printer's web pages over HTTP/1.0 from a state that can change while it runs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace printersim {

// One status text for the raw port: written once `after` bytes of the connection were read.
struct SayRule {
  uint64_t after = 0;
  std::string text;
};

// Everything the control file and --set can change. Defaults describe an idle, online printer.
struct State {
  // "/status/system": members of the object `system`. Cutter is written as a number when it
  // is an integer, like the printer does; RTC empty means the simulator's local time.
  std::string SystemState = "Online";
  std::string Media = "Continuous";
  std::string Cutter = "1";
  std::string FirmwareVersion = "QX9_2.1";
  std::string RTC;
  // "/status/ui": the network controller's view. ui_alive is a number when it is an integer.
  std::string printer_ip = "10.0.0.7";
  std::string ui_ip = "172.31.31.33";
  std::string kova_ip = "172.31.31.253";
  std::string kova_mac = "0050C20A0B0C";
  std::string ui_alive = "0";

  // Web server: "answer", "silent" (read and log requests, never reply) or "close" (log the
  // request, close without a byte).
  std::string web = "answer";
  // Paths answered chunked: "*" for all, "" for none, else a comma-separated list of paths.
  std::string chunked = "*";
  size_t chunk_size = 0;     // body bytes per chunk; 0 = the whole body in one chunk
  int chunk_digits = 4;      // chunk sizes written zero-padded to this many hex digits
  bool keep_open = false;    // after a reply, wait for the next request on the connection
  int web_delay_ms = 0;      // pause before a reply is written
  std::string pages;         // folder whose files answer paths before the built-in pages

  // Raw port: "read" (normal), "stall" (stop reading open connections), "close" (accept and
  // close at once). The remaining keys are fixed for a connection when it is accepted.
  std::string raw = "read";
  std::vector<SayRule> say;
  int64_t drop_after = -1;   // close the connection once this many bytes were read; -1 never
  size_t read_chunk = 65536; // largest single read
  int read_delay_ms = 0;     // pause after every read (a slow printer)
};

// Decodes the escapes of a value: \r \n \t \f \e \\ and \xHH. Anything else stays as written.
std::string unescape(std::string_view s);

// Applies one KEY=VALUE setting (the value already unescaped). "say" takes AFTER:TEXT and adds a
// rule; an empty "say" clears the list. False with *err for unknown keys and bad values.
bool apply_setting(State* st, const std::string& key, const std::string& value, std::string* err);

// Applies the lines of a control file: KEY=VALUE, "#" comments and blank lines ignored, values
// unescaped. A bad line is reported in *errors (one line each) and skipped; the others apply.
void apply_control(State* st, std::string_view text, std::string* errors);

// --- raw port ---------------------------------------------------------------------------------

// Splits what arrives on the raw port into the PJL header (lines at the start that begin with
// the universal exit command or "@PJL") and the job bytes after it, whatever the pieces.
class PjlSplitter {
 public:
  static constexpr size_t kHeaderMax = 65536;  // a longer header is taken as job bytes

  // Appends the bytes of `in` to *header or *body.
  void feed(std::string_view in, std::string* header, std::string* body);
  // End of the connection: bytes held back to decide on go to *body.
  void finish(std::string* body);
  // The job name of the header's JOB command, once its line is complete ("" before).
  const std::string& job_name() const { return name_; }

 private:
  void header_byte(char c, std::string* header);
  bool in_header_ = true;
  bool line_start_ = true;
  std::string pending_;  // start of a line, not yet known to be PJL
  std::string line_;     // the current header line, for the job name (bounded)
  size_t header_bytes_ = 0;
  std::string name_;
};

// The name in a PJL JOB line: the text between `NAME = "` and the next quote, decoded when it
// is hexadecimal (as the appliance sends it); "" when the line names no job.
std::string pjl_job_name(std::string_view line);

// What one raw connection does next, from the rules it was accepted with.
class RawSchedule {
 public:
  explicit RawSchedule(const State& st);
  // Bytes to read next: never past the next status text or the drop point, so each text goes
  // out exactly after its byte count. 0 once the drop point is reached.
  size_t next_read_size() const;
  // Counts `n` bytes read; returns the texts that are due now, in order.
  std::vector<std::string> on_read(size_t n);
  // Texts due before anything was read (rules with after = 0).
  std::vector<std::string> at_start() { return on_read(0); }
  bool drop_due() const { return drop_after_ >= 0 && received_ >= static_cast<uint64_t>(drop_after_); }
  uint64_t received() const { return received_; }

 private:
  std::vector<SayRule> say_;  // sorted by `after`, stable
  size_t next_ = 0;           // first rule not yet said
  int64_t drop_after_;
  size_t read_chunk_;
  uint64_t received_ = 0;
};

// --- web server -------------------------------------------------------------------------------

struct Request {
  std::string line;    // the request line without its line end
  std::string method;
  std::string path;    // without the query
  std::string query;   // after "?", "" when none
};

constexpr size_t kRequestMax = 65536;

// Looks for one complete request (request line, header lines, an empty line) at the start of
// `buf`. 1: *req filled and *consumed set; 0: more bytes needed; -1: longer than kRequestMax.
int parse_request(std::string_view buf, Request* req, size_t* consumed);

// The value of `name` in a query string ("a=1&b=2"), %XX and "+" decoded; false when absent.
bool query_value(std::string_view query, std::string_view name, std::string* value);

struct Page {
  int status = 200;
  std::string type = "application/json";
  std::string body;
};

// The built-in page for a request ("/status/system", "/status/ui", "/config/network_config",
// the RFID event pages, "/system/status"), or 404. `now` is the RTC text when RTC is unset.
Page builtin_page(const Request& req, const State& st, const std::string& now);

// The page from the `pages` folder for a path, when a regular file holds it (never outside the
// folder). False when there is none.
bool file_page(const std::string& dir, const std::string& path, Page* page);

// Whether `path` is answered chunked under the setting `chunked`.
bool is_chunked(const std::string& chunked, const std::string& path);

// The whole reply: status line, Content-Type first (clients look for it), then either
// Transfer-Encoding: chunked with the body in chunks, or Content-Length and the body.
std::string http_reply(const Page& page, bool chunked, size_t chunk_size, int chunk_digits);

// A log line for outside text: bytes below 0x20 and 0x7f as \xHH.
std::string printable(std::string_view s);

// --- the program ------------------------------------------------------------------------------

struct Options {
  std::string dir;                 // jobs/, raw.log, requests.log, ports
  bool any_address = false;        // listen on every address (only inside a test's own network namespace)
  std::string control;             // control file; "" = <dir>/control
  int raw_port = 0;                // 0 = any free port
  int web_port = 0;
  std::vector<std::pair<std::string, std::string>> settings;  // from --set, under the file
  int rfid_port = 0;               // the RFID encoder's command port to play a script to; 0 none
  std::string rfid_script;         // its script; "" = <dir>/rfid_script (log: <dir>/rfid.log)
};

// Listens on 127.0.0.1, writes the ports file, and serves until SIGTERM or SIGINT.
// Returns the exit status (0 after a signal, 1 when it cannot start).
int run(const Options& opts);

}  // namespace printersim
