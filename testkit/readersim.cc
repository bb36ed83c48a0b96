// readersim: the reader modules on pseudo-terminals.
//
// Command line (readersim_main.cc):
//   readersim --dir DIR [--control FILE] --module ru5102|ru5202 [--module ...]
// Module i (in the order given, from 0) gets a pseudo-terminal published under LABELDOCK_ROOT
// (which must be set) as "<root>/dev/ttyUSB<i>", a link to the pty's slave, and a folder
// "<root>/sys/bus/usb-serial/devices/ttyUSB<i>", which is where the daemon looks for adapters.
// Once all are published, DIR/ports is written in one step, one line per module:
//   ttyUSB0 ru5102 /dev/pts/7
// Everything goes to DIR/readersim.log, one line per event, each led by the module name:
//   ttyUSB0 rx 04 00 01 db 4b          a frame whose CRC holds (lowercase hex)
//   ttyUSB0 bad-crc 04 00 01 00 00     a frame whose CRC does not hold: not answered
//   ttyUSB0 junk 00                    a byte that cannot start a frame (Len below 4), dropped
//   ttyUSB0 incomplete 09 00 01        a frame cut short (no byte for 300 ms), dropped
//   ttyUSB0 inventory 3 tags 2         the module's 3rd inventory, 2 tags in the reply
//   ttyUSB0 write ok <old> -> <new>    | write fail fc 0b      (EPCs as plain hex)
//   ttyUSB0 power 1 | serial | info | gpio set 3 | gpio get | beeper 80
//   ttyUSB0 unknown command 99 (answered with Status fe) | bad parameters 2f (Status ff)
//   ttyUSB0 scripted reply | scripted silence
//   ttyUSB0 tx 05 00 01 fb 41 c7       the reply as written
// SIGTERM or SIGINT ends it; it removes what it published.
//
// Control file (DIR/control unless --control), read again every 100 ms and before each frame is
// answered; when its text changes, the new text replaces all the old one said and the write and
// reply lists start over (replace it by renaming a new file over it). Lines:
//   # comment
//   <module> field EPC[:RSSI] ...        tags in the field for inventories no cycle line covers
//   <module> cycle N[-M|-] EPC[:RSSI] ...  tags in the field for its inventories N to M
//                                        ("N-": from N on); none listed: an empty field;
//                                        the last line that covers an inventory wins
//   <module> write SS[:EE] ...           the next writes end with Status SS and error code EE
//                                        (hex; 00 is success), in order; later writes succeed
//   <module> reply ITEM ...              the next frames, in order, get ITEM in place of the
//                                        model's answer: frame:HEX (Adr onwards; Len and CRC
//                                        added), badcrc:HEX (the same with a wrong CRC),
//                                        raw:HEX (bytes as they stand), silent or lost (no
//                                        answer); or the model's own answer spoilt: cut:N (its
//                                        first N bytes only), late:MS (sent MS late), split:N:MS
//                                        (N bytes, a gap of MS, the rest), badcrc (CRC spoilt),
//                                        long:N (followed by N bytes EE)
//   <module> serial HHHHHHHH | power N | gpio N | delay MS (pause before each reply)
// <module> is the published name ("ttyUSB0"); EPCs are hex (usually 24 digits), RSSI two hex
// digits (default 60). Inventories are counted per module from 1; a tag written successfully
// answers later inventories with its new EPC.
#include "testkit/readersim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/paths.h"
#include "rfid/frame.h"

namespace readersim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusTags = 0x01;
constexpr uint8_t kStatusNoTag = 0xFB;
constexpr uint8_t kStatusBadCommand = 0xFE;
constexpr uint8_t kStatusBadParameter = 0xFF;
// A reply's Len byte counts at most 255 bytes after itself: Adr reCmd Status data CRC.
constexpr size_t kReplyDataMax = 255 - 5;

bool parse_hex(std::string_view s, Bytes* out) {
  out->clear();
  if (s.size() % 2 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
    if (ec != std::errc() || p != s.data() + i + 2) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool parse_uint(std::string_view s, int base, long long max, long long* out) {
  long long v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty() || v < 0 || v > max) return false;
  *out = v;
  return true;
}

bool parse_tag(std::string_view s, Tag* tag) {
  const size_t colon = s.find(':');
  long long rssi = 0x60;
  if (colon != std::string_view::npos && !parse_uint(s.substr(colon + 1), 16, 255, &rssi)) return false;
  if (!parse_hex(s.substr(0, colon), &tag->epc) || tag->epc.empty() || tag->epc.size() > 62) return false;
  tag->rssi = static_cast<uint8_t>(rssi);
  return true;
}

bool parse_cycles(std::string_view s, CycleRule* rule) {
  const size_t dash = s.find('-');
  long long from = 0, to = INT_MAX;
  if (!parse_uint(s.substr(0, dash), 10, INT_MAX, &from) || from < 1) return false;
  if (dash != std::string_view::npos && dash + 1 < s.size() &&
      !parse_uint(s.substr(dash + 1), 10, INT_MAX, &to)) {
    return false;
  }
  if (dash == std::string_view::npos) to = from;
  rule->from = static_cast<int>(from);
  rule->to = static_cast<int>(to);
  return to >= from;
}

bool parse_reply_item(std::string_view s, ScriptedReply* r) {
  if (s == "silent" || s == "lost") {
    r->kind = ScriptedReply::kSilent;
    r->silent = true;
    return true;
  }
  if (s == "badcrc") {
    r->kind = ScriptedReply::kBadCrc;
    return true;
  }
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view kind = s.substr(0, colon);
  long long a = 0, gap = 0;
  const std::string_view rest = s.substr(colon + 1);
  if (kind == "cut" || kind == "late" || kind == "long") {
    if (!parse_uint(rest, 10, 10000, &a)) return false;
    r->kind = kind == "cut" ? ScriptedReply::kCut : kind == "late" ? ScriptedReply::kLate : ScriptedReply::kLong;
    (kind == "late" ? r->ms : r->n) = static_cast<int>(a);
    return true;
  }
  if (kind == "split") {
    const size_t c2 = rest.find(':');
    if (c2 == std::string_view::npos || !parse_uint(rest.substr(0, c2), 10, 255, &a) ||
        !parse_uint(rest.substr(c2 + 1), 10, 10000, &gap) || a < 1) {
      return false;
    }
    r->kind = ScriptedReply::kSplit;
    r->n = static_cast<int>(a);
    r->ms = static_cast<int>(gap);
    return true;
  }
  Bytes b;
  if (!parse_hex(s.substr(colon + 1), &b)) return false;
  if (kind == "raw") {
    r->bytes = b;
  } else if ((kind == "frame" || kind == "badcrc") && !b.empty() && b.size() <= 252) {
    r->bytes = rfid::frame_of(b);
    if (kind == "badcrc") r->bytes.back() ^= 0x5A;
  } else {
    return false;
  }
  return true;
}

// Applies one line's values to the module's script; false when a value does not parse.
bool apply_line(const std::string& key, const std::vector<std::string>& vals, Script* s) {
  long long v = 0;
  if (key == "field" || key == "cycle") {
    std::vector<Tag> tags;
    CycleRule rule;
    size_t first = 0;
    if (key == "cycle") {
      if (vals.empty() || !parse_cycles(vals[0], &rule)) return false;
      first = 1;
    }
    for (size_t i = first; i < vals.size(); ++i) {
      Tag t;
      if (!parse_tag(vals[i], &t)) return false;
      tags.push_back(t);
    }
    if (key == "field") {
      s->field = tags;
    } else {
      rule.tags = tags;
      s->cycles.push_back(rule);
    }
    return true;
  }
  if (key == "write") {
    for (const auto& w : vals) {
      long long st = 0, er = 0;
      const size_t colon = w.find(':');
      if (!parse_uint(std::string_view(w).substr(0, colon), 16, 255, &st)) return false;
      if (colon != std::string::npos && !parse_uint(std::string_view(w).substr(colon + 1), 16, 255, &er)) {
        return false;
      }
      s->writes.push_back({static_cast<uint8_t>(st), static_cast<uint8_t>(er)});
    }
    return true;
  }
  if (key == "reply") {
    for (const auto& r : vals) {
      ScriptedReply item;
      if (!parse_reply_item(r, &item)) return false;
      s->replies.push_back(item);
    }
    return true;
  }
  if (vals.size() != 1) return false;
  if (key == "serial" && vals[0].size() == 8 && parse_uint(vals[0], 16, 0xFFFFFFFFLL, &v)) {
    s->serial = v;
    return true;
  }
  if (key == "power" && parse_uint(vals[0], 10, 255, &v)) return s->power = static_cast<int>(v), true;
  if (key == "gpio" && parse_uint(vals[0], 10, 255, &v)) return s->gpio = static_cast<int>(v), true;
  if (key == "delay" && parse_uint(vals[0], 10, 10000, &v)) return s->delay_ms = static_cast<int>(v), true;
  return false;
}

}  // namespace

bool parse_model(std::string_view text, Model* model) {
  std::string t(text);
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "ru5102") return *model = Model::RU5102, true;
  if (t == "ru5202") return *model = Model::RU5202, true;
  return false;
}

const char* model_name(Model model) { return model == Model::RU5102 ? "ru5102" : "ru5202"; }

std::map<std::string, Script> parse_control(std::string_view text, std::string* errors) {
  std::map<std::string, Script> scripts;
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string module, key, w;
    if (!(words >> module)) continue;
    std::vector<std::string> vals;
    words >> key;
    while (words >> w) vals.push_back(w);
    if (key.empty() || !apply_line(key, vals, &scripts[module])) {
      if (errors) *errors += "line " + std::to_string(number) + ": cannot use \"" + line + "\"\n";
    }
  }
  return scripts;
}

Module make_module(Model model, int index) {
  Module m;
  m.model = model;
  m.name = "ttyUSB" + std::to_string(index);
  m.serial = 0x52000000u + static_cast<uint32_t>(index);
  return m;
}

std::string hex(std::span<const uint8_t> bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, s.empty() ? "%02x" : " %02x", b);
    s += buf;
  }
  return s;
}

namespace {

std::string plain_hex(const Bytes& b) {
  std::string s = hex(b);
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s;
}

Bytes reply_frame(uint8_t recmd, uint8_t status, const Bytes& data) {
  Bytes body{rfid::kAddress, recmd, status};
  body.insert(body.end(), data.begin(), data.end());
  return rfid::frame_of(body);
}

const std::vector<Tag>& field_for(const Script& s, int cycle) {
  for (auto it = s.cycles.rbegin(); it != s.cycles.rend(); ++it) {
    if (cycle >= it->from && cycle <= it->to) return it->tags;
  }
  return s.field;
}

Bytes inventory(Module& m, const Script& s, std::vector<std::string>* events) {
  const int cycle = ++m.inventories;
  const bool ru5202 = m.model == Model::RU5202;
  Bytes items;
  int num = 0;
  for (const Tag& t : field_for(s, cycle)) {
    auto re = m.rewritten.find(t.epc);
    const Bytes& epc = re == m.rewritten.end() ? t.epc : re->second;
    const size_t item = 1 + epc.size() + (ru5202 ? 1 : 0);
    if ((ru5202 ? 2 : 1) + items.size() + item > kReplyDataMax) break;  // what one reply holds
    items.push_back(static_cast<uint8_t>(epc.size()));
    items.insert(items.end(), epc.begin(), epc.end());
    if (ru5202) items.push_back(t.rssi);
    ++num;
  }
  events->push_back("inventory " + std::to_string(cycle) + " tags " + std::to_string(num));
  if (num == 0) return reply_frame(0x01, kStatusNoTag, {});
  Bytes data;
  if (ru5202) data.push_back(0x01);  // the antenna that saw them
  data.push_back(static_cast<uint8_t>(num));
  data.insert(data.end(), items.begin(), items.end());
  return reply_frame(0x01, kStatusTags, data);
}

// The write commands' data: where the new EPC lies, and the EPC addressed (empty for 0x04).
struct WriteRequest {
  Bytes old_epc, new_epc;
};

bool parse_write(uint8_t cmd, std::span<const uint8_t> d, WriteRequest* w) {
  if (cmd == 0x03) {  // WNum ENum oldEPC Mem WordPtr data password
    if (d.size() < 2) return false;
    const size_t wnum = d[0], enum_ = d[1];
    if (d.size() != 2 + 2 * enum_ + 2 + 2 * wnum + 4 || d[2 + 2 * enum_] != 0x01) return false;
    w->old_epc.assign(d.begin() + 2, d.begin() + 2 + 2 * static_cast<long>(enum_));
    const uint8_t word_ptr = d[3 + 2 * enum_];
    auto data = d.subspan(4 + 2 * enum_, 2 * wnum);
    // From word 1 the PC word comes first; from word 2 the EPC itself.
    if (word_ptr == 1 && data.size() >= 2) data = data.subspan(2);
    else if (word_ptr != 2) return false;
    w->new_epc.assign(data.begin(), data.end());
    return true;
  }
  if (d.empty() || d.size() != 1 + 4 + 2 * static_cast<size_t>(d[0])) return false;  // ENum password EPC
  w->new_epc.assign(d.begin() + 5, d.end());
  return true;
}

Bytes write_tag(Module& m, const Script& s, uint8_t cmd, std::span<const uint8_t> d,
                std::vector<std::string>* events) {
  WriteRequest w;
  if (!parse_write(cmd, d, &w)) {
    events->push_back("write malformed");
    return reply_frame(cmd, kStatusBadParameter, {});
  }
  const WriteResult r = m.writes_used < s.writes.size() ? s.writes[m.writes_used++] : WriteResult{};
  if (r.status != kStatusOk) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "write fail %02x %02x", r.status, r.error);
    events->push_back(buf);
    return reply_frame(cmd, r.status, {r.error});
  }
  events->push_back("write ok " + plain_hex(w.old_epc) + " -> " + plain_hex(w.new_epc));
  if (!w.old_epc.empty()) {
    // The tag that carried the old EPC (possibly itself a rewritten one) now carries the new.
    for (auto& [orig, now] : m.rewritten) {
      if (now == w.old_epc) now = w.new_epc;
    }
    if (!m.rewritten.count(w.old_epc)) m.rewritten[w.old_epc] = w.new_epc;
  }
  return reply_frame(cmd, kStatusOk, {});
}

Bytes info(const Module& m) {
  const bool ru5102 = m.model == Model::RU5102;
  // Version, sub version, type, protocols, max and min frequency, power, scan time.
  return reply_frame(0x21, kStatusOk,
                     {static_cast<uint8_t>(ru5102 ? 0x03 : 0x05), static_cast<uint8_t>(ru5102 ? 0x00 : 0x01),
                      static_cast<uint8_t>(ru5102 ? 0x08 : 0x10), 0x02, 0x3E, 0x00,
                      static_cast<uint8_t>(m.power), 0x0A});
}

}  // namespace

namespace {
std::vector<uint8_t> model_answer(Module& m, const Script& s, std::span<const uint8_t> frame,
                                  std::vector<std::string>* events);
}  // namespace

std::vector<uint8_t> answer(Module& m, const Script& s, std::span<const uint8_t> frame,
                            std::vector<std::string>* events, Delivery* how) {
  if (how) *how = Delivery{s.delay_ms, 0, 0};
  if (m.replies_used >= s.replies.size()) return model_answer(m, s, frame, events);
  const ScriptedReply& r = s.replies[m.replies_used++];
  if (r.kind == ScriptedReply::kBytes || r.kind == ScriptedReply::kSilent) {
    events->push_back(r.silent ? "scripted silence" : "scripted reply");
    return r.bytes;
  }
  Bytes b = model_answer(m, s, frame, events);
  if (b.empty()) return b;
  switch (r.kind) {
    case ScriptedReply::kCut:
      b.resize(std::min(b.size(), static_cast<size_t>(r.n)));
      events->push_back("scripted cut " + std::to_string(b.size()));
      break;
    case ScriptedReply::kLate:
      if (how) how->first_ms += r.ms;
      events->push_back("scripted late " + std::to_string(r.ms));
      break;
    case ScriptedReply::kSplit:
      if (how && static_cast<size_t>(r.n) < b.size()) {
        how->split_at = static_cast<size_t>(r.n);
        how->gap_ms = r.ms;
      }
      events->push_back("scripted split " + std::to_string(r.n) + " " + std::to_string(r.ms));
      break;
    case ScriptedReply::kBadCrc:
      b.back() ^= 0x5A;
      events->push_back("scripted badcrc");
      break;
    case ScriptedReply::kLong:
      b.insert(b.end(), static_cast<size_t>(r.n), 0xEE);
      events->push_back("scripted long " + std::to_string(r.n));
      break;
    default:
      break;
  }
  return b;
}

namespace {

std::vector<uint8_t> model_answer(Module& m, const Script& s, std::span<const uint8_t> frame,
                                  std::vector<std::string>* events) {
  const uint8_t cmd = frame[2];
  const auto data = frame.subspan(3, frame.size() - 5);
  const bool ru5102 = m.model == Model::RU5102;
  char buf[48];
  switch (cmd) {
    case 0x01:
      return inventory(m, s, events);
    case 0x03:
    case 0x04:
      return write_tag(m, s, cmd, data, events);
    case 0x21:
      events->push_back("info");
      return info(m);
    case 0x2F:
      if (data.size() != 1) break;
      m.power = data[0];
      events->push_back("power " + std::to_string(m.power));
      return reply_frame(cmd, kStatusOk, {});
    case 0x4C:
      events->push_back("serial");
      return reply_frame(cmd, kStatusOk,
                         {static_cast<uint8_t>(m.serial >> 24), static_cast<uint8_t>(m.serial >> 16),
                          static_cast<uint8_t>(m.serial >> 8), static_cast<uint8_t>(m.serial)});
    case 0x46:
      if (data.size() != 1) break;
      m.gpio = data[0];
      events->push_back("gpio set " + std::to_string(m.gpio));
      return reply_frame(cmd, kStatusOk, {});
    case 0x47:
      events->push_back("gpio get");
      return reply_frame(cmd, kStatusOk, {m.gpio});
    case 0x35:
    case 0x40:
      if (data.size() != 1 || (cmd == 0x35) != ru5102) break;
      m.beeper = data[0];
      std::snprintf(buf, sizeof buf, "beeper %02x", m.beeper);
      events->push_back(buf);
      return reply_frame(cmd, kStatusOk, {});
    default:
      break;
  }
  const bool known = cmd == 0x2F || cmd == 0x46 || cmd == 0x35 || cmd == 0x40;
  const bool own_beeper = cmd != 0x35 && cmd != 0x40 ? true : (cmd == 0x35) == ru5102;
  if (known && own_beeper) {
    std::snprintf(buf, sizeof buf, "bad parameters %02x", cmd);
    events->push_back(buf);
    return reply_frame(cmd, kStatusBadParameter, {});
  }
  std::snprintf(buf, sizeof buf, "unknown command %02x", cmd);
  events->push_back(buf);
  return reply_frame(cmd, kStatusBadCommand, {});
}

}  // namespace

namespace {

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A frame the daemon started and left unfinished this long is dropped, as a module's receiver
// resets after a pause inside a frame.
constexpr int64_t kFrameGapMs = 300;
constexpr int64_t kReloadMs = 100;

struct Port {
  Module module;
  ld::UniqueFd master, slave;
  std::string slave_path, link, sys_entry;
  Bytes in;
  int64_t last_byte_ms = 0;
  // Replies (or their pieces) waiting for their moment, in order; the simulator goes on
  // serving the other modules meanwhile.
  struct Out {
    int64_t due_ms;
    Bytes bytes;
    bool whole;  // the last piece of its reply (logged as tx)
    Bytes reply;
  };
  std::vector<Out> out;
};

class Sim {
 public:
  explicit Sim(const Options& o)
      : opts_(o), control_(o.control.empty() ? o.dir + "/control" : o.control),
        log_path_(o.dir + "/readersim.log") {}
  ~Sim() { unpublish(); }
  bool publish(std::string* err);
  int loop(int signal_fd);

 private:
  bool open_port(Port* p, std::string* err);
  void unpublish();
  void reload();
  void take_frames(Port& p);
  void reply(Port& p, const Bytes& frame);
  void send_due(Port& p);
  void log(const Port& p, const std::string& what) {
    const std::string line = p.module.name + " " + what + "\n";
    ld::write_all(log_fd_.get(), line.data(), line.size());
  }

  Options opts_;
  std::string control_, log_path_, control_text_;
  bool loaded_ = false;
  int64_t last_reload_ms_ = 0;
  std::map<std::string, Script> scripts_;
  std::vector<Port> ports_;
  ld::UniqueFd log_fd_;
};

bool Sim::open_port(Port* p, std::string* err) {
  p->master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  if (!p->master.valid() || grantpt(p->master.get()) != 0 || unlockpt(p->master.get()) != 0 ||
      ptsname_r(p->master.get(), name, sizeof name) != 0) {
    *err = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  p->slave_path = name;
  // Held open so the master never sees the line hang up between the daemon's opens, and made raw
  // so that a client which sets no modes of its own still gets the bytes unchanged.
  p->slave.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios tio;
  if (!p->slave.valid() || tcgetattr(p->slave.get(), &tio) != 0) {
    *err = std::string("cannot open ") + name + ": " + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tcsetattr(p->slave.get(), TCSANOW, &tio);
  fcntl(p->master.get(), F_SETFL, fcntl(p->master.get(), F_GETFL) | O_NONBLOCK);
  return true;
}

bool Sim::publish(std::string* err) {
  const std::string root = ld::root_prefix();
  if (root.empty()) {
    *err = "LABELDOCK_ROOT is not set; the simulator publishes its ports only under a sandbox root";
    return false;
  }
  const std::string dev = root + "/dev", sys = root + "/sys/bus/usb-serial/devices";
  if (!ld::make_dirs(opts_.dir, err) || !ld::make_dirs(dev, err) || !ld::make_dirs(sys, err)) return false;
  log_fd_.reset(open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log_fd_.valid()) {
    *err = "cannot open " + log_path_ + ": " + std::strerror(errno);
    return false;
  }
  std::string ports;
  for (size_t i = 0; i < opts_.modules.size(); ++i) {
    Port& p = ports_.emplace_back();
    p.module = make_module(opts_.modules[i], static_cast<int>(i));
    if (!open_port(&p, err)) return false;
    p.link = dev + "/" + p.module.name;
    p.sys_entry = sys + "/" + p.module.name;
    ::unlink(p.link.c_str());  // a link left by an earlier run
    if (symlink(p.slave_path.c_str(), p.link.c_str()) != 0 || !ld::make_dirs(p.sys_entry, err)) {
      if (err->empty()) *err = "cannot publish " + p.link + ": " + std::strerror(errno);
      return false;
    }
    ports += p.module.name + " " + model_name(p.module.model) + " " + p.slave_path + "\n";
  }
  reload();
  return ld::write_file_atomic(opts_.dir + "/ports", ports, err);
}

void Sim::unpublish() {
  for (const Port& p : ports_) {
    char target[256];
    const ssize_t n = readlink(p.link.c_str(), target, sizeof target - 1);
    if (n > 0 && p.slave_path == std::string(target, static_cast<size_t>(n))) ::unlink(p.link.c_str());
    if (!p.sys_entry.empty()) ::rmdir(p.sys_entry.c_str());
  }
  ports_.clear();
}

void Sim::reload() {
  last_reload_ms_ = now_ms();
  std::string text;
  ld::read_file(control_, &text);
  if (loaded_ && text == control_text_) return;
  loaded_ = true;
  control_text_ = text;
  std::string errors;
  scripts_ = parse_control(text, &errors);
  if (!errors.empty()) std::fprintf(stderr, "readersim: %s: %s", control_.c_str(), errors.c_str());
  for (Port& p : ports_) {
    p.module.writes_used = p.module.replies_used = 0;
    auto it = scripts_.find(p.module.name);
    if (it == scripts_.end()) continue;
    if (it->second.serial >= 0) p.module.serial = static_cast<uint32_t>(it->second.serial);
    if (it->second.power >= 0) p.module.power = it->second.power;
    if (it->second.gpio >= 0) p.module.gpio = static_cast<uint8_t>(it->second.gpio);
  }
}

void Sim::reply(Port& p, const Bytes& frame) {
  reload();
  static const Script kNone;
  auto it = scripts_.find(p.module.name);
  const Script& s = it == scripts_.end() ? kNone : it->second;
  std::vector<std::string> events;
  Delivery how;
  const Bytes r = answer(p.module, s, frame, &events, &how);
  for (const auto& e : events) log(p, e);
  if (r.empty()) return;
  const int64_t at = now_ms() + how.first_ms;
  if (how.split_at == 0) {
    p.out.push_back({at, r, true, r});
  } else {
    p.out.push_back({at, Bytes(r.begin(), r.begin() + static_cast<long>(how.split_at)), false, r});
    p.out.push_back({at + how.gap_ms, Bytes(r.begin() + static_cast<long>(how.split_at), r.end()), true, r});
  }
  send_due(p);
}

void Sim::send_due(Port& p) {
  const int64_t now = now_ms();
  while (!p.out.empty() && p.out.front().due_ms <= now) {
    const Port::Out o = std::move(p.out.front());
    p.out.erase(p.out.begin());
    // One write per piece, so the daemon finds a reply whole as a module's would arrive.
    const ssize_t n = ::write(p.master.get(), o.bytes.data(), o.bytes.size());
    if (n != static_cast<ssize_t>(o.bytes.size())) log(p, "tx cut " + hex(o.bytes));
    else if (o.whole) log(p, "tx " + hex(o.reply));
  }
}

void Sim::take_frames(Port& p) {
  while (!p.in.empty()) {
    if (p.in[0] < 4) {  // no frame is shorter than Adr Cmd CRC
      log(p, "junk " + hex({p.in.data(), 1}));
      p.in.erase(p.in.begin());
      continue;
    }
    const size_t n = static_cast<size_t>(p.in[0]) + 1;
    if (p.in.size() < n) return;
    const Bytes frame(p.in.begin(), p.in.begin() + static_cast<long>(n));
    p.in.erase(p.in.begin(), p.in.begin() + static_cast<long>(n));
    if (!rfid::frame_crc_ok(frame)) {
      log(p, "bad-crc " + hex(frame));
      continue;
    }
    log(p, "rx " + hex(frame));
    reply(p, frame);
  }
}

int Sim::loop(int signal_fd) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.assign(1, pollfd{signal_fd, POLLIN, 0});
    for (const Port& p : ports_) fds.push_back({p.master.get(), POLLIN, 0});
    int wait = 50;
    for (const Port& p : ports_) {
      if (!p.out.empty()) wait = static_cast<int>(std::clamp<int64_t>(p.out.front().due_ms - now_ms(), 0, wait));
    }
    if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) return 1;
    if (fds[0].revents & POLLIN) return 0;
    const int64_t now = now_ms();
    for (size_t i = 0; i < ports_.size(); ++i) {
      Port& p = ports_[i];
      if (fds[i + 1].revents & POLLIN) {
        uint8_t buf[512];
        const ssize_t n = ::read(p.master.get(), buf, sizeof buf);
        if (n > 0) {
          p.in.insert(p.in.end(), buf, buf + n);
          p.last_byte_ms = now;
        }
      }
      take_frames(p);
      send_due(p);
      if (!p.in.empty() && now - p.last_byte_ms > kFrameGapMs) {
        log(p, "incomplete " + hex(p.in));
        p.in.clear();
      }
    }
    if (now - last_reload_ms_ >= kReloadMs) reload();
  }
}

}  // namespace

int run(const Options& opts) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  ld::UniqueFd signal_fd(signalfd(-1, &stop, SFD_CLOEXEC));
  Sim sim(opts);
  std::string err;
  if (!signal_fd.valid() || !sim.publish(&err)) {
    std::fprintf(stderr, "readersim: %s\n", err.empty() ? std::strerror(errno) : err.c_str());
    return 1;
  }
  return sim.loop(signal_fd.get());
}

}  // namespace readersim
