// uploadcheck: imports the job files that were copied in bulk into the upload directory, each
// beside its thumbnail. Jobs that do not belong on this appliance's printer model are dropped,
// jobs that ask for it get one pass through the job filter, jobs whose thumbnail carries this
// system's marker go straight into the library and the others to the waiting directory for the
// thumbnail maker. The names come from a USB stick: every file operation is a system call, and
// the command texts are only printed.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "common/ui_log.h"
#include "library/prninfo.h"
#include "upload/importfiles.h"

struct JsonNode;

namespace upload {

// The appliance paths the run uses (directories end in "/").
struct UploadPaths {
  std::string upload_dir, library, waiting, stat_file, flag_file, system_json;
};
// The fixed paths, under the root prefix.
UploadPaths default_upload_paths();

struct UploadConfig {
  UploadPaths paths = default_upload_paths();
  int load_attempts = 10;                     // tries to load the system document
  std::function<void()> pause;                // between tries; default one second
  ld::EventSink log;                          // event-log lines; unset: the run's own UiLog
  FILE* out = stdout;                         // the command texts
  FILE* err = stderr;                         // scan and filter messages
};

// The model type of a firmware version: its part before the first "_" decides (0, 1 or 2).
int get_model_type(std::string_view firmware);
// The model type named by system.FirmwareVersion of a loaded system document; -1 when the
// document is missing or has no (or an empty) firmware version.
int model_type_of(JsonNode* system_top);

// The thumbnail of a job path: "<dir>/thumbs/<name up to its last ".prn">.jpeg".
std::string get_jpeg_fullname(std::string_view job_path);

// From a fresh scan's option list; the last occurrence of an id counts.
UploadItems upload_items(const library::PrnInfo& info);

enum class Verdict { kInvalid, kFilter, kDropOksa, kImport };
Verdict decide(int model, const UploadItems& items);

struct UploadRun {
  int dropped = 0;
  int copied = 0;
  bool want_thumbs = false;  // a job went to the waiting directory
  bool thumbs_link_said = false;  // the upload folder's thumbs/ was refused as a link
};

// Checks and places one job `dir` + `name`; 0 when it was kept (or left where it was), 1 when
// it was dropped. Only a regular file holding a whole job stream is judged at all: anything
// else under a job name (a link, a folder, a FIFO, an empty, text or cut file) is refused with
// a log line and counts as dropped; its name is removed (a link goes, never its target) unless
// it is a folder.
int check_prn(const std::string& name, const std::string& dir, int model, const UploadConfig& cfg,
              UploadRun* run);
// Every job file of the upload directory, then the statistics lines and the flag file.
void load_prn_dirs(int model, const UploadConfig& cfg, UploadRun* run);
// The whole program: system document, model type, the directory. Returns the exit status (0).
int uploadcheck(const UploadConfig& cfg);

}  // namespace upload
