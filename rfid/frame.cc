#include "rfid/frame.h"

#include <cstdio>

namespace rfid {

uint16_t uiCrc16Cal(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

bool build_frame(uint8_t cmd, std::span<const uint8_t> data, std::vector<uint8_t>* frame,
                 std::string* err) {
  frame->clear();
  const size_t total = 3 + data.size() + 2;  // Len Adr Cmd, data, CRC
  if (total > kTxFrameMax) {
    if (err) *err = "command frame of " + std::to_string(total) + " bytes exceeds " +
                    std::to_string(kTxFrameMax);
    return false;
  }
  frame->reserve(total);
  frame->push_back(static_cast<uint8_t>(total - 1));
  frame->push_back(kAddress);
  frame->push_back(cmd);
  frame->insert(frame->end(), data.begin(), data.end());
  append_crc(frame);
  return true;
}

void append_crc(std::vector<uint8_t>* frame) {
  const uint16_t crc = uiCrc16Cal(*frame);
  frame->push_back(static_cast<uint8_t>(crc & 0xFF));
  frame->push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> frame_of(std::span<const uint8_t> body) {
  std::vector<uint8_t> f;
  f.reserve(body.size() + 3);
  f.push_back(static_cast<uint8_t>(body.size() + 2));
  f.insert(f.end(), body.begin(), body.end());
  append_crc(&f);
  return f;
}

bool epc_words_ok(std::span<const uint8_t> epc, int words, const char* what, std::string* err) {
  if (words < 0 || words > 255 || static_cast<size_t>(words) * 2 > epc.size()) {
    if (err) *err = std::string(what) + " of " + std::to_string(epc.size()) + " bytes cannot give " +
                    std::to_string(words) + " words";
    return false;
  }
  return true;
}

bool frame_crc_ok(std::span<const uint8_t> frame) {
  if (frame.size() < 3) return false;
  const uint16_t crc = uiCrc16Cal(frame.first(frame.size() - 2));
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

bool parse_reply(std::span<const uint8_t> frame, Reply* reply, std::string* err) {
  if (frame.size() < kReplyHeader + 1) {
    if (err) *err = "reply of " + std::to_string(frame.size()) + " bytes is too short";
    return false;
  }
  if (static_cast<size_t>(frame[0]) + 1 != frame.size()) {
    if (err) *err = "reply length byte " + std::to_string(frame[0]) + " disagrees with " +
                    std::to_string(frame.size()) + " bytes read";
    return false;
  }
  if (!frame_crc_ok(frame)) {
    if (err) *err = "reply CRC mismatch";
    return false;
  }
  reply->len = frame[0];
  reply->adr = frame[1];
  reply->recmd = frame[2];
  reply->status = frame[3];
  reply->data = frame.subspan(4, frame.size() - 4 - 2);
  return true;
}

std::string format_frame(std::span<const uint8_t> frame) {
  std::string out;
  char buf[8];
  for (size_t i = 0; i < frame.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned>(i & 0xFF));
    out += buf;
  }
  out += '\n';
  for (uint8_t b : frame) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    out += buf;
  }
  out += '\n';
  return out;
}

}  // namespace rfid
