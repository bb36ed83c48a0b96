// The printer's command link: the printer connects to the encoder's command port and sends short
// text messages (table requests, power, status, tag writes, label positions, command letters);
// each is answered with a short text. What a message is and how its replies read are plain
// functions here; PrinterPort owns the listening socket and the one printer connection.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "rfid/tags.h"

namespace rfid {

// One read of at most this many bytes less one is one message.
constexpr size_t kMessageBuffer = 200;
// Replies built from the tag tables fit this buffer, its terminating NUL included.
constexpr size_t kListReplyBuffer = 2000;
// The EPC texts of a write message fill byte buffers of this size.
constexpr size_t kWriteEpcMax = 20;
constexpr std::string_view kOk = "<OK>";
constexpr std::string_view kTagPosPrefix = "tag at ";

enum class MessageKind {
  ExitRead, EntryRead, ReadModules, ExitPower, EntryPower, Status, Retry, Setscan, Command, Write,
  Tof, Other
};
// What a message is, and its argument: the number of a power message, the letters after
// "cmd=", the position after "tag at "; empty for the kinds that take none (a write message is
// read whole by parse_write_message). `arg` lies within the message it was parsed from.
struct PrinterMessage {
  MessageKind kind = MessageKind::Other;
  std::string_view arg;
};
// Matched on the first characters of each form, in the printer's order ("cmd=entry_rea" is
// enough for "cmd=entry_read", "cmd=setsc" for "cmd=setscan"). The one reading of a message:
// the main loop and the wait for "cmd=retry" both go by its kind.
PrinterMessage parse_message(std::string_view msg);

// "[" then "{index,\"EPC\",reads}," per entry, then "]"; the comma after the last entry stays.
// Entries that would take the text past `room` bytes are left out whole, so the list always
// closes. `cut` (may be null) tells whether entries were left out.
// A missing table (no such module) lists as empty.
std::string table_list(const TagTable* t, size_t room, bool* cut);
// The whole reply of a table request: one list followed by "<OK>", within the reply buffer.
std::string list_reply(const TagTable* t, bool* cut);
// "Exit=[...],Entry=[...]<OK>" within the reply buffer, each list cut as needed to share it.
std::string both_lists_reply(const TagTable* exit_table, int exit_location, const TagTable* entry_table,
                             int entry_location, bool* cut);
// "mods=%d&conf=%d&entry_pwr=%02d&exit_pwr=%02d".
std::string status_line(int modules, bool decided, int entry_power, int exit_power);

// A write message: "write=OLDHEX&data=NEWHEX[&index=N]".
struct WriteMessage {
  std::string old_hex, new_hex;
  int index = 0;
};
// False for a message without "&data=" and for EPC texts longer than the 20-byte buffers hold
// (more than 40 hex digits); odd-length texts are accepted here and come out of hex2byte empty.
bool parse_write_message(std::string_view msg, WriteMessage* w);
// The number a text starts with, as atoi reads it but saturated at the ends of int.
int leading_int(std::string_view s);
// The power levels the printer may ask for; anything else is refused with kPowerRefused.
constexpr int kMinPower = 1;
constexpr int kMaxPower = 30;
constexpr std::string_view kPowerRefused = "power must be a number from 1 to 30<ERROR>";
// The level of a power message's number: only digits, within kMinPower..kMaxPower.
bool parse_power(std::string_view text, int* level);

// Replies wait in this much memory while the printer does not read; more closes the connection.
constexpr size_t kMaxOutgoing = 64 * 1024;
// A printer that takes none of its replies for this long is disconnected (it may connect again).
constexpr int64_t kStallMs = 5000;
// A connection that has sent nothing for this long gives way when another connects, so a silent
// stranger (or a connection the printer abandoned) cannot hold the one printer slot.
constexpr int64_t kIdleYieldMs = 10000;

// The listening socket and the single printer connection. Replies never block the loop: they
// are written without waiting from a bounded outgoing buffer.
class PrinterPort {
 public:
  // Listens on all IPv4 addresses; `out` gets the progress and error lines. False when the
  // port cannot be bound (the daemon then runs without the printer).
  bool connect_to_printer(int port, std::string* out);
  // Takes over a socket already listening (tests use a free port).
  void adopt_listener(ld::UniqueFd fd);
  // Only the printer may drive the encoder (anyone else could make it write any EPC into the
  // labels): connections are taken from the addresses `host` resolves to, all others refused
  // at accept. Empty: from anyone.
  void set_printer_host(std::string host) {
    host_ = std::move(host);
    resolved_at_ms_ = -1;
  }
  // Accepts a waiting connection when there is none; a negative value when none came, and
  // kRefused when it came from elsewhere than the printer (*out then says from whom).
  static constexpr int kRefused = -2;
  int connect_socket(std::string* out, int64_t now_ms = 0);
  // Reads one message into *msg when the connection has data within `wait_ms`. 1 a message,
  // 0 none (closed connections are closed here too).
  int read_message(int wait_ms, std::string* msg, std::string* out, int64_t now_ms = 0);
  // Queues a reply and writes what the connection takes now; a failure (the printer has left)
  // never ends the daemon. A reply that would take the queue past kMaxOutgoing closes it.
  void send(std::string_view text, bool with_nul);
  // Writes what waits; closes a connection that took nothing for kStallMs. *out says why.
  void flush_out(int64_t now_ms, std::string* out);
  bool wants_write() const { return conn_.valid() && !outgoing_.empty(); }
  size_t outgoing() const { return outgoing_.size(); }
  // With a connection silent for kIdleYieldMs, a waiting newcomer (from the printer's address)
  // takes its place. True when it did.
  bool idle_gives_way(int64_t now_ms, std::string* out);
  bool idle_past(int64_t now_ms) const { return conn_.valid() && now_ms - last_rx_ms_ >= kIdleYieldMs; }
  void close_connection(std::string* out);
  void close_printer(std::string* out);

  int listen_fd() const { return listen_.get(); }
  int conn_fd() const { return conn_.get(); }
  // check_printer's change report: the connection as seen at the previous poll.
  int remembered = -20;

 private:
  bool peer_allowed(int fd, int64_t now_ms, std::string* peer);

  void take(int fd, int64_t now_ms);
  bool write_some();
  void drop(const std::string& why, std::string* out);

  ld::UniqueFd listen_;
  ld::UniqueFd conn_;
  std::string outgoing_;
  bool overflowed_ = false;
  int64_t last_rx_ms_ = 0;
  int64_t stalled_since_ms_ = -1;
  std::string host_;
  std::vector<uint32_t> allowed_;  // IPv4 addresses in network order
  int64_t resolved_at_ms_ = -1;
};

}  // namespace rfid
