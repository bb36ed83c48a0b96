// The two operations that touch the printer directly: the printer-online gate, which trusts
// the status document that another component keeps copying from the printer only while it is
// fresh, and the bare raw send of a file to the printer's print port.
#pragma once
#include <string>

#include "common/clock.h"

// The printer's status document: a copy of its "/status/system" page (under the root prefix).
std::string printer_status_path();

// A status document this many seconds old (or this far in the future) is stale.
constexpr long kStatusMaxAgeSeconds = 3;

// 1 when the status document is fresh and its "system.SystemState" is exactly "Online", else 0.
// Every refusal is reported on standard error; the caller waits and asks again.
int check_printer_status(ld::Clock& clock = ld::system_clock());

// Bytes read from the file and sent per step.
constexpr size_t kPrintSendBuffer = 100000;
// A printer that takes no data for this long has its connection given up.
constexpr int kPrintSendTimeoutMs = 300000;
constexpr int kPrintConnectTimeoutMs = 15000;

// Sends the file's bytes, nothing before or after them, to the printer's raw print port at
// `address` (the port comes from the endpoints). 1 when the whole file was handed to the
// connection; 0, with a message on standard error, when the file cannot be opened or read or
// the connection fails. The connection and the file are closed on every return.
int print_prn(const std::string& address, const std::string& path);
