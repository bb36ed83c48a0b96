// Starting other programs from an argument vector: no shell, so no outside text is ever read as
// a command. Used for the log client and any helper program the appliance runs.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace ld {

// The one SIGPIPE rule of every labeldock program, set first thing in its main (and in every
// test binary's): the signal is ignored, so a peer, pipe or child that stops reading makes the
// write fail with EPIPE instead of ending the process. Being process-wide and set before any
// thread starts, it needs no changing around a write. Programs started from here get the
// default back.
void ignore_sigpipe();

struct RunOptions {
  std::string stdin_text;        // written to the program's standard input, then closed
  bool discard_output = true;    // standard output and error to /dev/null
  std::string* capture = nullptr;  // when set (and discard_output false): standard output
  int timeout_ms = 10000;        // the program is killed after this long (0: wait forever)
  // Watch for the program's end through a pipe it inherits, as on kernels without pidfds
  // (older than 5.3). Programs it leaves running then hold the wait until they end too.
  bool without_pidfd = false;
};

// Runs argv[0] (a path) with the arguments, feeding its input and capturing its output while
// waiting for its end in one poll (no polling of waitpid). The program is killed with SIGKILL
// once the time-out passes, whatever it is doing. The output that the program wrote before it
// ended is captured; programs it started and left running are not waited for.
// Returns the exit status, 128+signal when killed, or -1 when it could not be started (err says
// why). *err also says when the program was stopped for taking too long. A program that ends
// without reading all its input is no fault of the caller's, under ignore_sigpipe.
int run_program(const std::vector<std::string>& argv, const RunOptions& opt = {},
                std::string* err = nullptr);

// Starts `path` (no arguments) with `stdin_fd` as its standard input and its output and errors
// to /dev/null, without waiting: the caller reaps the pid it returns. 0 or the error number.
int start_program(const std::string& path, int stdin_fd, int* pid);

}  // namespace ld
