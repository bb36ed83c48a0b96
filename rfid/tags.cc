#include "rfid/tags.h"

#include <climits>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"
#include "common/handles.h"
#include "common/hexcode.h"

namespace rfid {
namespace {

// Record offsets of the dump file and memory listing.
constexpr size_t kOffHdr = 0, kOffEpc = 2, kOffWrittenEpc = 22, kOffSignal = 44, kOffExtra = 48,
                 kOffReads = 52, kOffFirstSeen = 56, kOffLastSeen = 64, kOffT1 = 72, kOffT2 = 80,
                 kOffStatus = 88, kOffPos = 92, kOffCycleList = 96, kOffCycleCount = 896,
                 kOffFirst = 900, kOffLast = 904, kOffLostState = 908, kOffLastCycle = 912,
                 kOffLostSeq = 916;

const char* const kStatusNames[] = {" -", "WRITING", "OK", "FAIL", "RW_OK", "RW_FAIL"};

void put_i32(uint8_t* b, int32_t v) { ld::put_le32(static_cast<uint32_t>(v), b); }
int32_t get_i32(const uint8_t* b) { return static_cast<int32_t>(ld::get_le32(b)); }

void put_f64(uint8_t* b, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
}
double get_f64(const uint8_t* b) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(b[i]) << (8 * i);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

void append(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string* out, const char* fmt, ...) {
  if (!out) return;
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  *out += buf;
}

Epc epc_at(const uint8_t* p) {
  Epc e;
  std::memcpy(e.data(), p, kEpcLen);
  return e;
}

void send(TagContext& ctx, const tag_entry& e, int st, int nr, int dt) {
  if (ctx.report) ctx.report(TagReport{e.epc, st, nr, dt, ctx.location == 1});
}

}  // namespace

double seconds_between(TimeVal from, TimeVal to) {
  return static_cast<double>(static_cast<int64_t>(to.sec) - from.sec) +
         static_cast<double>(static_cast<int64_t>(to.usec) - from.usec) / 1e6;
}

void encode_tag_entry(const tag_entry& e, std::span<uint8_t, kTagEntryBytes> out) {
  uint8_t* b = out.data();
  std::memset(b, 0, kTagEntryBytes);
  std::memcpy(b + kOffHdr, e.hdr.data(), 2);
  std::memcpy(b + kOffEpc, e.epc.data(), kEpcLen);
  std::memcpy(b + kOffWrittenEpc, e.written_epc.data(), kEpcLen);
  put_i32(b + kOffSignal, e.signal);
  put_i32(b + kOffExtra, e.extra);
  put_i32(b + kOffReads, e.reads);
  put_i32(b + kOffFirstSeen, e.first_seen.sec);
  put_i32(b + kOffFirstSeen + 4, e.first_seen.usec);
  put_i32(b + kOffLastSeen, e.last_seen.sec);
  put_i32(b + kOffLastSeen + 4, e.last_seen.usec);
  put_f64(b + kOffT1, e.t1);
  put_f64(b + kOffT2, e.t2);
  put_i32(b + kOffStatus, e.status);
  put_i32(b + kOffPos, e.pos);
  for (int i = 0; i < kCycleListSize; ++i) put_i32(b + kOffCycleList + 4 * i, e.cycle_list[i]);
  put_i32(b + kOffCycleCount, e.cycle_count);
  put_i32(b + kOffFirst, e.first);
  put_i32(b + kOffLast, e.last);
  put_i32(b + kOffLostState, e.lost_state);
  put_i32(b + kOffLastCycle, e.last_cycle);
  put_i32(b + kOffLostSeq, e.lost_seq);
}

tag_entry decode_tag_entry(std::span<const uint8_t, kTagEntryBytes> in) {
  const uint8_t* b = in.data();
  tag_entry e;
  std::memcpy(e.hdr.data(), b + kOffHdr, 2);
  e.epc = epc_at(b + kOffEpc);
  e.written_epc = epc_at(b + kOffWrittenEpc);
  e.signal = get_i32(b + kOffSignal);
  e.extra = get_i32(b + kOffExtra);
  e.reads = get_i32(b + kOffReads);
  e.first_seen = {get_i32(b + kOffFirstSeen), get_i32(b + kOffFirstSeen + 4)};
  e.last_seen = {get_i32(b + kOffLastSeen), get_i32(b + kOffLastSeen + 4)};
  e.t1 = get_f64(b + kOffT1);
  e.t2 = get_f64(b + kOffT2);
  e.status = get_i32(b + kOffStatus);
  e.pos = get_i32(b + kOffPos);
  for (int i = 0; i < kCycleListSize; ++i) e.cycle_list[i] = get_i32(b + kOffCycleList + 4 * i);
  e.cycle_count = get_i32(b + kOffCycleCount);
  e.first = get_i32(b + kOffFirst);
  e.last = get_i32(b + kOffLast);
  e.lost_state = get_i32(b + kOffLostState);
  e.last_cycle = get_i32(b + kOffLastCycle);
  e.lost_seq = get_i32(b + kOffLostSeq);
  return e;
}

std::string write_status_name(int32_t status) {
  if (status >= 0 && status <= 5) return kStatusNames[status];
  return std::to_string(status);
}

const char* location_text(int location) {
  return location == 1 ? "Entry" : location == 2 ? "Exit" : "";
}

int TagTable::match(const uint8_t* epc) const {
  for (int i = 0; i < count_; ++i) {
    const tag_entry& e = entries_[static_cast<size_t>(i)];
    if (std::memcmp(e.epc.data(), epc, kEpcLen) == 0) return i;
    if (e.status == 2 && std::memcmp(e.written_epc.data(), epc, kEpcLen) == 0) return i;
  }
  return -1;
}

int TagTable::find_tag(const Epc& epc) const {
  for (int i = 0; i < count_; ++i) {
    if (entries_[static_cast<size_t>(i)].epc == epc) return i;
  }
  return -1;
}

bool TagTable::add_tag(std::span<const uint8_t> item, int cycle, TagContext& ctx) {
  if (item.size() < 2 + kEpcLen + 3) return false;  // callers hand whole items only
  const uint8_t* epc = item.data() + 2;
  const int found = match(epc);
  if (found >= 0) {
    tag_entry& e = entries_[static_cast<size_t>(found)];
    e.last = cycle;
    e.reads++;
    e.last_seen = ctx.now;
    if (cycle > 0) {
      e.cycle_list[static_cast<size_t>(e.cycle_count)] = cycle;
      if (e.cycle_count < kCycleCountMax) e.cycle_count++;
    }
    if (cycle - e.last_cycle > 2 && (e.lost_state == LOST || e.lost_state == LOST_AGAIN)) {
      append(ctx.out, "tag refound (%d) %s\n", e.lost_state, epc_hex_lower(e.epc).c_str());
      e.lost_state = REFOUND;
      append(ctx.log, "check_tags sending refound tag to printer\n");
      send(ctx, e, 1, 0, 0);
    }
    e.last_cycle = cycle;
    return false;
  }
  int idx = 0;
  if (count_ < kTagTableFill) idx = count_++;
  tag_entry& e = entries_[static_cast<size_t>(idx)];
  e = tag_entry{};
  e.first = e.last = e.last_cycle = cycle;
  std::memcpy(e.hdr.data(), item.data(), 2);
  e.epc = epc_at(epc);
  e.signal = item[14] * 256 + item[15];
  e.extra = item[16];
  e.reads = 1;
  e.pos = ctx.current_pos;
  if (cycle > 0) {
    e.cycle_list[0] = cycle;
    e.cycle_count = 1;
  }
  e.first_seen = e.last_seen = ctx.now;
  e.t1 = ctx.since_last_tof;
  if (ctx.fix_mode) return true;
  const char* loc = location_text(ctx.location);
  append(ctx.out, "%s: add_tag: send tags %d\n", loc,
         ctx.location == 1 ? ctx.send_entry_tags : ctx.send_exit_tags);
  append(ctx.log, "%s: new tag %d <%s>\n", loc, count_, epc_hex_lower(e.epc).c_str());
  if (ctx.send_entry_tags && ctx.location == 1) {
    append(ctx.log, "check_tags sending new entry tag to printer\n");
    send(ctx, e, 1, 0, 0);
  } else if (ctx.send_exit_tags && ctx.location == 2) {
    append(ctx.log, "check_tags sending new exit tag to printer\n");
    send(ctx, e, 1, 0, 0);
  }
  return true;
}

void TagTable::check_tags(int cycle, TagContext& ctx) {
  for (int i = 0; i < count_; ++i) {
    tag_entry& e = entries_[static_cast<size_t>(i)];
    if (e.last_cycle == cycle || (e.lost_state != PRESENT && e.lost_state != REFOUND)) continue;
    const int seq = ctx.lost_tags ? (*ctx.lost_tags)++ : 0;
    append(ctx.out, "%s tag lost %d (%d) \n", ctx.location == 1 ? "entry" : "exit", seq,
           e.lost_state);
    append(ctx.log, "<%s>\n", epc_hex_lower(e.epc).c_str());
    e.lost_state++;
    e.lost_seq = lost_count_++;
    append(ctx.log, "check_tags sending lost tag to printer\n");
    send(ctx, e, 0, e.reads, static_cast<int>(seconds_between(e.last_seen, ctx.now) * 1000));
  }
}

bool TagTable::fix_step(Epc* old_epc, Epc* new_epc) {
  for (int i = 0; i < count_; ++i) {
    tag_entry& e = entries_[static_cast<size_t>(i)];
    if (e.epc[9] != 0) continue;
    *old_epc = e.epc;
    *new_epc = e.epc;
    (*new_epc)[9] = static_cast<uint8_t>(count_ & 0xFF);
    (*new_epc)[10] = 0;
    e.epc = *new_epc;
    return true;
  }
  return false;
}

std::vector<uint8_t> TagTable::dump() const {
  std::vector<uint8_t> bytes(static_cast<size_t>(count_) * kTagEntryBytes);
  for (int i = 0; i < count_; ++i) {
    encode_tag_entry(entries_[static_cast<size_t>(i)],
                     std::span<uint8_t, kTagEntryBytes>(bytes.data() + i * kTagEntryBytes, kTagEntryBytes));
  }
  return bytes;
}

namespace {

// A record is used only when the fields that index or size something stay inside their
// bounds: `cycle_count` indexes `cycle_list` on the next read of the tag.
bool entry_in_bounds(const tag_entry& e) {
  return e.cycle_count >= 0 && e.cycle_count <= kCycleCountMax;
}

}  // namespace

int TagTable::load(std::span<const uint8_t> bytes, int* refused) {
  count_ = 0;
  if (refused) *refused = 0;
  for (size_t off = 0; off + kTagEntryBytes <= bytes.size() && count_ < kTagTableSize;
       off += kTagEntryBytes) {
    tag_entry e = decode_tag_entry(std::span<const uint8_t, kTagEntryBytes>(bytes.data() + off, kTagEntryBytes));
    if (!entry_in_bounds(e)) {
      if (refused) ++*refused;
      continue;
    }
    e.reads = 0;
    entries_[static_cast<size_t>(count_++)] = e;
  }
  return count_;
}

std::string show_tag(const TagTable& t, int i, TimeVal now) {
  const tag_entry& e = t.at(i);
  const tag_entry* prev = i > 0 ? &t.at(i - 1) : nullptr;
  std::string s;
  append(&s, "%4d:(%8s) : ", i, write_status_name(e.status).c_str());
  s += epc_hex_lower(e.epc);
  append(&s, "%3d %3d %2d ", e.first, e.last, prev ? e.last - prev->last : 0);
  append(&s, "  %4d %6.3f ", e.reads, seconds_between(e.last_seen, now));
  append(&s, " %6.3f ", seconds_between(e.first_seen, now));
  if (prev) {
    append(&s, " %6.3f %6.3f %6.3f", seconds_between(prev->first_seen, e.first_seen), e.t1, e.t2);
  }
  // Positions come from the printer; their difference is taken in 64 bits so any two fit.
  const long long gap = prev ? static_cast<long long>(e.pos) - prev->pos : 0;
  append(&s, " %6d %3lld %d\n", e.pos, gap, e.cycle_count);
  return s;
}

std::string show_tags(const TagTable& t, int location, TimeVal now) {
  std::string s;
  append(&s, "\n------------------------------- %5s TAGS (%d) -------------------\n",
         location_text(location), t.count());
  append(&s, "%4s:%10s : %36s first last reads    t   pos t1 t2\n", "#", "Status", "EPC");
  int per_status[6] = {};
  for (int i = 0; i < t.count(); ++i) {
    s += show_tag(t, i, now);
    const int32_t st = t.at(i).status;
    if (st >= 0 && st <= 5) per_status[st]++;
  }
  s += "---------------------------------------------------\n";
  for (int st = 0; st < 6; ++st) append(&s, "%10s : %4d\n", kStatusNames[st], per_status[st]);
  return s;
}

std::string dump_file_name(const std::string& dir, int location) {
  return dir + "/" + (location == 1 ? "entry" : "exit") + "_tags.data";
}

bool dump_tags(const TagTable& t, const std::string& dir, int location, std::string* err) {
  const std::string name = dump_file_name(dir, location);
  ld::UniqueFile f(std::fopen(name.c_str(), "we"));
  const std::vector<uint8_t> bytes = t.dump();
  // An empty table has no buffer at all: nothing is handed to fwrite then.
  if (!f.get() || (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) ||
      std::fflush(f.get()) != 0) {
    if (err) *err = "could not open " + name + "\n";
    return false;
  }
  return true;
}

bool load_tags(TagTable* t, const std::string& dir, int location, std::string* err) {
  t->clear();
  const std::string name = dump_file_name(dir, location);
  ld::UniqueFile f(std::fopen(name.c_str(), "re"));
  if (!f.get()) {
    if (err) *err = "could not open " + name + "\n";
    return false;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(kTagTableSize) * kTagEntryBytes);
  const size_t n = std::fread(bytes.data(), 1, bytes.size(), f.get());
  bytes.resize(n);
  int refused = 0;
  t->load(bytes, &refused);
  if (refused > 0 && err) *err = "refused " + std::to_string(refused) + " damaged tag records in " + name + "\n";
  return true;
}

void LabelPositions::tof(int n, TimeVal now, std::string* out) {
  last_tof_ = now;
  if (current_pos_ < 0) {
    append(out, "got first tof at %d\n", n);
    starting_pos_ = n;
    current_pos_ = 0;
  } else {
    // Positions far apart (a printer counter that wrapped) must not overflow: saturated.
    current_pos_ = static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(n) - starting_pos_, INT_MIN, INT_MAX));
  }
}

int check_overlap(const TagTable& entry_table, const TagTable& exit_table, std::string* out) {
  int n = 0;
  for (int i = 0; i < exit_table.count(); ++i) {
    for (int j = 0; j < entry_table.count(); ++j) {
      if (exit_table.at(i).epc != entry_table.at(j).epc) continue;
      ++n;
      append(out, "%2d found overlap %d %d %d\n", n, i, j, entry_table.at(j).lost_seq);
    }
  }
  return n;
}

std::string epc_hex_lower(const Epc& epc) {
  std::string s;
  for (uint8_t b : epc) append(&s, "%02x", b);
  return s;
}

std::string epc_to_str(const Epc& epc) {
  std::string s;
  for (uint8_t b : epc) append(&s, "%02X", b);
  return s;
}

int hex2byte(const std::string& hex, std::vector<uint8_t>* out) {
  out->clear();
  if (hex.size() % 2 != 0) return 0;
  // A byte that is no hexadecimal digit counts as its low four bits.
  auto nib = [](char c) -> uint8_t {
    const int d = ld::hex_digit(c);
    return static_cast<uint8_t>(d >= 0 ? d : c & 0x0F);
  };
  for (size_t i = 0; i < hex.size(); i += 2) {
    out->push_back(static_cast<uint8_t>(nib(hex[i]) << 4 | nib(hex[i + 1])));
  }
  return static_cast<int>(out->size());
}

}  // namespace rfid
