// printersim's side of the RFID encoder's command link: the printer connects to the encoder's
// command port and sends messages from a script, one at a time, each after the reply to the
// one before. The script file is followed as it grows, so a test can append messages while it
// runs. Every message and reply goes to a log.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "common/handles.h"

namespace printersim {

// One script line: a message to send (escapes \r \n \xHH ... decoded), "pause MS", "drop"
// (close the connection; the next message connects again), or nothing (blank, "#" comment).
struct ScriptLine {
  enum Kind { Nothing, Message, Pause, Drop } kind = Nothing;
  std::string text;
  int ms = 0;
};
ScriptLine parse_script_line(std::string_view line);

// A reply is whole once it holds the acknowledgement "<OK>" (the plain one is followed by a
// NUL, which comes in the same write).
bool reply_complete(std::string_view reply);

class RfidScript {
 public:
  // `port` on 127.0.0.1; the log gets "connect", "send MSG", "reply TEXT" (control bytes as
  // \xHH, so the NUL after "<OK>" shows as \x00), "reply timeout TEXT", "closed by appliance",
  // "drop", "connect failed (why)".
  RfidScript(int port, std::string script, std::string log);

  // The descriptor to wait on (-1 none) and when the next step is due at the latest (ms).
  int poll_fd() const { return fd_.get(); }
  int64_t next_due(int64_t now) const;
  // Moves on: reads the script's new lines, the connection's bytes, sends what is due.
  void step(int64_t now, bool readable);

 private:
  void read_script();
  void take_reply(int64_t now, bool readable);
  void send_next(int64_t now);
  void note(const std::string& line);

  int port_;
  std::string script_, log_;
  uint64_t script_offset_ = 0;
  std::string partial_;
  std::deque<std::string> lines_;
  ld::UniqueFd fd_;
  bool awaiting_ = false;
  std::string reply_;
  int64_t reply_deadline_ = 0;
  int64_t paused_until_ = 0;
  int64_t retry_at_ = 0;
};

}  // namespace printersim
