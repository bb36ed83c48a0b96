// The log client the appliance's programs pipe their event text into: every line read from
// standard input goes to the event log server as "<tag>,<line>\n". Lines are passed on as they
// come, in large sends, so a long stream costs few system calls.
#pragma once
#include <string>
#include <string_view>

namespace testkit {

struct LogClientOptions {
  std::string host = "127.0.0.1";
  int port = 0;          // 0: the event log port of this machine
  std::string tag = "ui";
};

// Puts the tag in front of every line of a stream that arrives in pieces. A line may end in
// CR LF; a carriage return inside a line becomes a space, so one line of text stays one event.
class LineTagger {
 public:
  explicit LineTagger(std::string tag) : prefix_(std::move(tag) + ",") {}
  void feed(std::string_view data, std::string* out);
  // End of input: a last line without a line feed is ended.
  void finish(std::string* out);

 private:
  std::string prefix_;
  bool at_line_start_ = true;
  bool held_cr_ = false;  // the input so far ends in a CR that may begin a CR LF
};

// Reads in_fd to its end and delivers its lines. 0 on success, 1 (with *err) when the server
// cannot be reached or the connection fails.
int run_log_client(int in_fd, const LogClientOptions& opt, std::string* err);

}  // namespace testkit
