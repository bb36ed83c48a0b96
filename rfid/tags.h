// The tag table each reader module keeps of the tags it has seen: sightings per read cycle, lost
// and refound detection, write status, and the fixed 920-byte record shared by memory listings
// and the dump file. Time, output and the reports to the printer come in through TagContext so
// the table's decisions can be exercised without a port, a printer or a clock.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace rfid {

constexpr size_t kEpcLen = 12;
constexpr size_t kTagEntryBytes = 920;
constexpr int kTagTableSize = 2000;
// Adding never goes above this many entries; a new tag then replaces entry 0.
constexpr int kTagTableFill = 1999;
constexpr int kCycleListSize = 200;
constexpr int kCycleCountMax = 10;

using Epc = std::array<uint8_t, kEpcLen>;

// Seconds and microseconds, 32-bit each as in the dump file.
struct TimeVal {
  int32_t sec = 0;
  int32_t usec = 0;
};
double seconds_between(TimeVal from, TimeVal to);

enum LostState : int32_t { PRESENT = 0, LOST = 1, REFOUND = 2, LOST_AGAIN = 3 };

struct tag_entry {
  std::array<uint8_t, 2> hdr{};
  Epc epc{};
  Epc written_epc{};
  int32_t signal = 0;
  int32_t extra = 0;
  int32_t reads = 0;
  TimeVal first_seen;
  TimeVal last_seen;
  double t1 = 0;
  double t2 = 0;
  int32_t status = 0;
  int32_t pos = 0;
  std::array<int32_t, kCycleListSize> cycle_list{};
  int32_t cycle_count = 0;
  int32_t first = 0;
  int32_t last = 0;
  int32_t lost_state = 0;
  int32_t last_cycle = 0;
  int32_t lost_seq = 0;
};

// Little-endian, at the record's fixed offsets; reserved bytes are written as zero.
void encode_tag_entry(const tag_entry& e, std::span<uint8_t, kTagEntryBytes> out);
tag_entry decode_tag_entry(std::span<const uint8_t, kTagEntryBytes> in);

// The name of a write status; a code outside the table (only from a loaded file) is shown as
// its number.
std::string write_status_name(int32_t status);

// One report to the printer: st 1 new or refound, 0 lost; nr sightings; dt ms since last seen.
struct TagReport {
  Epc epc{};
  int st = 0;
  int nr = 0;
  int dt = 0;
  bool entry = false;
};

// What the table needs from the daemon around it for one call.
struct TagContext {
  int location = 0;  // 1 entry module, 2 exit module
  bool fix_mode = false;
  bool send_entry_tags = false;
  bool send_exit_tags = false;
  int current_pos = -1;
  double since_last_tof = 0;
  TimeVal now;
  int* lost_tags = nullptr;  // the daemon-wide count of lost reports
  std::string* out = nullptr;  // what the daemon prints
  std::string* log = nullptr;  // what goes to the daemon log
  std::function<void(const TagReport&)> report;
};

const char* location_text(int location);  // "Entry", "Exit" or ""

class TagTable {
 public:
  TagTable() : entries_(kTagTableSize) {}

  // `item` starts two bytes before the EPC and holds at least the three bytes after it.
  // Result: true when a new entry was made.
  bool add_tag(std::span<const uint8_t> item, int cycle, TagContext& ctx);
  void check_tags(int cycle, TagContext& ctx);
  int find_tag(const Epc& epc) const;
  void clear() { count_ = 0; }
  // The fix mode's step: the first entry whose EPC byte 9 is zero gets a new EPC with byte 9 the
  // low byte of the entry count and byte 10 zero, at once in the table; the caller writes it to
  // the tag. False when no entry needs fixing.
  bool fix_step(Epc* old_epc, Epc* new_epc);

  // Dump file records of the used entries, and loading them back (at most the table's size;
  // loaded entries have no sightings yet).
  std::vector<uint8_t> dump() const;
  // Records whose bounded fields are out of range are skipped and counted in *refused.
  int load(std::span<const uint8_t> bytes, int* refused = nullptr);

  int count() const { return count_; }
  int lost_count() const { return lost_count_; }
  tag_entry& at(int i) { return entries_.at(static_cast<size_t>(i)); }
  const tag_entry& at(int i) const { return entries_.at(static_cast<size_t>(i)); }

 private:
  int match(const uint8_t* epc) const;

  std::vector<tag_entry> entries_;
  int count_ = 0;
  int lost_count_ = 0;
};

// The listing: a header, one show_tag line per entry, the count per status code.
std::string show_tag(const TagTable& t, int index, TimeVal now);
std::string show_tags(const TagTable& t, int location, TimeVal now);

// The dump file of a module: "entry_tags.data" for the entry module, else "exit_tags.data",
// in `dir`. Load replaces the table; both say what went wrong in *err, and a load that
// refused damaged records says how many there (and still returns true).
std::string dump_file_name(const std::string& dir, int location);
bool dump_tags(const TagTable& t, const std::string& dir, int location, std::string* err);
bool load_tags(TagTable* t, const std::string& dir, int location, std::string* err);

// Label positions from the printer's top-of-form reports: the first report sets the origin.
class LabelPositions {
 public:
  void tof(int n, TimeVal now, std::string* out);
  int get_last_pos() const { return current_pos_; }
  double get_time_since_last_tof(TimeVal now) const { return seconds_between(last_tof_, now); }
  void clear_positions() { current_pos_ = starting_pos_ = -1; }

 private:
  int current_pos_ = -1;
  int starting_pos_ = -1;
  TimeVal last_tof_;
};

// Exit entries whose EPC is also in the entry table, counted per pair; each pair is printed.
int check_overlap(const TagTable& entry_table, const TagTable& exit_table, std::string* out);

// The EPC text forms.
std::string epc_hex_lower(const Epc& epc);  // "%02x" x 12
std::string epc_to_str(const Epc& epc);     // 24 upper-case hex digits
// Pairs of hex digits to bytes, high digit first; an odd length stores nothing and returns 0.
int hex2byte(const std::string& hex, std::vector<uint8_t>* out);

}  // namespace rfid
