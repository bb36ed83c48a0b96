#include "spooler/queue_record.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/bytes.h"

namespace spooler {

namespace {

// The text up to its NUL, then zeros: bytes behind a NUL that a program left in memory never
// reach the file.
void put_text(const char (&field)[kQueueTextSize], unsigned char* out) {
  size_t n = ::strnlen(field, kQueueTextSize - 1);
  std::memset(out, 0, kQueueTextSize);
  std::memcpy(out, field, n);
}

void get_text(const unsigned char* in, char (&field)[kQueueTextSize]) {
  size_t n = 0;
  while (n < kQueueTextSize - 1 && in[n] != 0) ++n;
  std::memset(field, 0, kQueueTextSize);
  std::memcpy(field, in, n);
}

// The record's int32 fields in file order, from offset 400.
template <typename R>
auto int_fields(R& r) {
  return std::array{&r.added_time, &r.printing,    &r.print_time, &r.spooled, &r.quality,
                    &r.disp,       &r.from,        &r.to,         &r.copies,  &r.copies_sent,
                    &r.collate,    &r.send_copies, &r.ntags};
}

}  // namespace

bool path_has_room(const char (&path)[kQueueTextSize]) {
  return ::strnlen(path, kQueueTextSize) <= kQueuePathRoom;
}

void encode_queue_record(const queue_record& r, unsigned char* out) {
  put_text(r.path, out);
  if (path_has_room(r.path)) ld::put_le32(r.serial, out + kQueueSerialOffset);
  put_text(r.displayname, out + 200);
  size_t off = 400;
  for (const int32_t* f : int_fields(r)) {
    ld::put_le_i32(*f, out + off);
    off += 4;
  }
  for (const queue_tag& t : r.tags) {
    ld::put_le_i32(t.id, out + off);
    ld::put_le_i32(t.value, out + off + 4);
    off += 8;
  }
}

queue_record decode_queue_record(const unsigned char* in) {
  queue_record r;
  get_text(in, r.path);
  if (path_has_room(r.path)) r.serial = ld::get_le32(in + kQueueSerialOffset);
  get_text(in + 200, r.displayname);
  size_t off = 400;
  for (int32_t* f : int_fields(r)) {
    *f = ld::get_le_i32(in + off);
    off += 4;
  }
  for (queue_tag& t : r.tags) {
    t.id = ld::get_le_i32(in + off);
    t.value = ld::get_le_i32(in + off + 4);
    off += 8;
  }
  r.ntags = std::clamp(r.ntags, 0, kQueueMaxTags);
  return r;
}

bool same_job(const queue_record& a, const queue_record& b) {
  return std::strncmp(a.path, b.path, kQueueTextSize) == 0 && a.added_time == b.added_time &&
         (path_has_room(a.path) ? a.serial : 0) == (path_has_room(b.path) ? b.serial : 0);
}

void set_record_text(char (&field)[kQueueTextSize], std::string_view text) {
  size_t n = std::min(text.size(), kQueueTextSize - 1);
  n = std::min(n, text.find('\0'));
  std::memset(field, 0, kQueueTextSize);
  std::memcpy(field, text.data(), n);
}

}  // namespace spooler
