#include "rfid/RU5102.h"

namespace rfid::ru5102 {
namespace {

std::vector<uint8_t> must_frame(uint8_t cmd, std::span<const uint8_t> data) {
  std::vector<uint8_t> frame;
  build_frame(cmd, data, &frame, nullptr);  // fixed short frames always fit
  return frame;
}

}  // namespace

std::vector<uint8_t> read_frame() { return must_frame(kCmdInventory, {}); }

bool write_frame(std::span<const uint8_t> old_epc, int old_words, std::span<const uint8_t> new_epc,
                 int new_words, std::vector<uint8_t>* frame, std::string* err) {
  if (!epc_words_ok(old_epc, old_words, "old EPC", err) ||
      !epc_words_ok(new_epc, new_words, "new EPC", err)) {
    return false;
  }
  std::vector<uint8_t> data;
  data.push_back(static_cast<uint8_t>(new_words));
  data.push_back(static_cast<uint8_t>(old_words));
  data.insert(data.end(), old_epc.begin(), old_epc.begin() + old_words * 2);
  data.push_back(0x01);  // EPC bank
  data.push_back(0x02);  // the EPC starts after the CRC and PC words
  data.insert(data.end(), new_epc.begin(), new_epc.begin() + new_words * 2);
  data.insert(data.end(), 4, 0x00);  // no access password: unprotected tags
  return build_frame(kCmdWriteData, data, frame, err);
}

bool random_write_frame(std::span<const uint8_t> new_epc, int words, std::vector<uint8_t>* frame,
                        std::string* err) {
  if (!epc_words_ok(new_epc, words, "new EPC", err)) return false;
  std::vector<uint8_t> data;
  data.push_back(static_cast<uint8_t>(words));
  data.insert(data.end(), 4, 0x00);
  data.insert(data.end(), new_epc.begin(), new_epc.begin() + words * 2);
  return build_frame(kCmdWriteEpc, data, frame, err);
}

std::vector<uint8_t> beeper_frame(int value) {
  const uint8_t b = static_cast<uint8_t>((static_cast<unsigned>(value) + 0x80u) & 0xFFu);
  return must_frame(kCmdBeeper, std::span<const uint8_t>(&b, 1));
}

bool check_response_header(std::span<const uint8_t> reply) { return !reply.empty() && reply[0] != 0; }

int get_msg_len(std::span<const uint8_t> reply) { return reply.empty() ? 0 : reply[0] + 1; }

Inventory parse_inventory(const Reply& reply) {
  Inventory inv;
  if (reply.recmd != kCmdInventory) return inv;
  if (reply.status > 0x04) {
    inv.kind = reply.status <= 0xFB ? Inventory::NoTags : Inventory::Unexpected;
    return inv;
  }
  inv.kind = Inventory::Tags;
  if (reply.data.empty()) return inv;
  const size_t num = reply.data[0];
  const size_t room = (reply.data.size() - 1) / kItemBytes;
  inv.truncated = num > room;
  for (size_t i = 0; i < num && i < room; ++i) {
    inv.items.push_back(reply.data.subspan(1 + i * kItemBytes, kItemBytes));
  }
  return inv;
}

WriteOutcome decide_write(const Reply& reply, int state, int write_index, int table_size) {
  WriteOutcome out;
  out.rewrite = state == WAITING_FOR_REWRITE;
  out.next_state = state;
  if (reply.recmd != kCmdWriteData && reply.recmd != kCmdWriteEpc) return out;
  if (reply.status != 0) {
    if (write_index >= 0 && write_index < table_size) {
      out.entry_status = out.rewrite ? ST_RW_FAIL : ST_FAIL;
    }
    out.kind = out.rewrite ? WriteOutcome::Failed : WriteOutcome::Resend;
    out.next_state = out.rewrite ? IDLE : WAITING_FOR_REWRITE;
    return out;
  }
  out.kind = WriteOutcome::Succeeded;
  out.next_state = IDLE;
  // Entry 0 is a table slot like any other; a success for it is recorded, not called out of range.
  if (write_index >= 0 && write_index < table_size) {
    out.entry_status = out.rewrite ? ST_RW_OK : ST_OK;
  } else {
    out.index_error = true;
  }
  return out;
}

bool completes_any_reply(int state) {
  switch (state) {
    case WAITING_FOR_SET_POWER:
    case WAITING_FOR_SERIAL:
    case WAITING_FOR_INFO:
    case WAITING_FOR_SET_GPIO:
    case WAITING_FOR_GET_GPIO:
    case WAITING_FOR_BEEPER:
      return true;
    default:
      return false;
  }
}

}  // namespace rfid::ru5102
