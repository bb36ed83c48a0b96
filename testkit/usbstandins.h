// Stand-ins for the appliance's USB helpers that lie outside this system, so the USB page's
// actions can be followed end to end inside a sandbox root: the watcher that runs the page's
// action script, and the upload script that hands a job set from the stick to uploadcheck.
#pragma once
#include <string>

namespace testkit {

// As the appliance's watcher: when "/tmp/do_usb.sh" is there, it is renamed to
// "/tmp/active_usb.sh" and run with /bin/sh (whose last line renames it to "/tmp/usb_done.sh").
// False when no script was pending; *status gets the shell's exit status. The script's output
// goes to `out` when given.
bool run_pending_usb_script(int* status, std::string* out = nullptr, std::string* err = nullptr);

// As "/home/pi/upload_prns.sh <set>": copies the set's "*.prn" files into "/print/tmp/" and its
// "thumbs/*.jpeg" into "/print/tmp/thumbs/", then runs `uploadcheck` (the program at that path).
// The exit status of uploadcheck, or -1 with *err.
int upload_job_set(const std::string& set_dir, const std::string& uploadcheck, std::string* err);

}  // namespace testkit
