// Event-log lines: each text is handed to the log client "/home/pi/log_client" on its standard
// input, as one line. The client is started directly, never through a shell, so a job name like
// "$(reboot)" arrives as text. A missing or failing client loses the line only; a client that
// cannot be started at all is reported on the log's error stream, once per log.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The line the client is given for `text`: CR and LF inside it become "?" (as the event log
// shows other control bytes), so one text is always one record; a line feed ends it.
std::string ui_log_line(std::string_view text);

namespace ld {

// Where a library hands its event lines: a program's run gives it its UiLog's sink().
using EventSink = std::function<void(std::string_view)>;

// The event log of one program run. The run owns it; its destructor waits for a client that
// start left running (within the client's time limit), so no client outlives the run unwaited.
// Every member may be called from several threads at once (the receiver's connections log).
class UiLog {
 public:
  explicit UiLog(FILE* err = stderr) : err_(err) {}
  ~UiLog();
  UiLog(const UiLog&) = delete;
  UiLog& operator=(const UiLog&) = delete;

  // Hands the line over and waits for the client.
  void log(std::string_view text);
  // The same line, but the client is left running while the caller goes on (a CGI program whose
  // page should not wait for the log's round trip). It is waited for, within the same time
  // limit, by the next log or start (so lines keep their order) and at the latest by the
  // destructor. The client is started by a thread of its own, so not even its start holds the
  // caller.
  void start(std::string_view text);
  // Returns once the client of the last start is under way (or could not be started). A CGI
  // program calls it before its reply goes out: the web server may end the program then.
  void started();
  // log() as a function, for the configs that take one; the UiLog must outlive its use.
  EventSink sink() {
    return [this](std::string_view text) { log(text); };
  }

 private:
  void warn_lost(const std::string& why);
  void join_starter();  // with mu_ held
  void wait_pending();  // with mu_ held

  FILE* err_;
  std::atomic<bool> warned_{false};  // said once: a program that logs often would fill its log
  std::mutex mu_;                    // guards the pending client
  // The client left running by start, and the thread that starts it: starting a program holds
  // the caller until the program is under way (about a millisecond on the board).
  pid_t pid_ = -1;
  long long deadline_ = 0;
  std::thread starter_;
  int start_rc_ = 0;
  std::string client_;
};

// The line through `sink` when one is set; else through a UiLog of its own for this line alone
// (for code whose caller gave no sink: a client that cannot start is said each time).
void log_event(const EventSink& sink, std::string_view text);

}  // namespace ld
