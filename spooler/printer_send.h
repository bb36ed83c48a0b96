// What the sender needs around the printer itself: the printer-online gate, which trusts the
// status document that another component keeps copying from the printer only while it is fresh,
// and the end of a send on the printer's print port (send_job in pjlsend.h does the send).
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "spooler/queue_config.h"

// A status document this many seconds old (or this far in the future) is stale.
constexpr long kStatusMaxAgeSeconds = 3;

// 1 when the status document (cfg.status_doc) is fresh by cfg.clock and its "system.SystemState"
// is exactly "Online", else 0. Every refusal is reported on cfg.err; the caller waits and asks
// again.
int check_printer_status(const spooler::Config& cfg);

// A printer that takes no data for this long has its connection given up.
constexpr int kPrintSendTimeoutMs = 300000;
constexpr int kPrintConnectTimeoutMs = 15000;

// After the last piece of a job the sender keeps listening to the printer until it closes: a
// printer that holds the whole job and keeps the connection open is left after kPrintDrainMs;
// one that still has part of the job to take is given up when it takes nothing for stall_ms.
constexpr int kPrintDrainMs = 10000;

struct DrainLimits {
  int hold_ms = kPrintDrainMs;         // the printer holds the whole job but stays connected
  int stall_ms = kPrintSendTimeoutMs;  // part of the job still waits here, none of it taken
};

// How the end of a send went.
enum class SendEnd {
  kTaken,      // the printer holds the whole job
  kCancelled,  // a report said so
  kBroken,     // the connection broke before the printer had the whole job
  kStalled,    // the printer took none of the rest for stall_ms (out of media, door open)
};

// The drain's next step, from what is known about the connection: whether the printer closed
// its side, the bytes of the job it has not acknowledged yet, and how long ago it last took some
// (or since the drain began). A result ends the drain; nullopt means wait on.
struct DrainView {
  bool printer_closed = false;
  long unacked = 0;
  long idle_ms = 0;
};
std::optional<SendEnd> drain_next(const DrainView& v, const DrainLimits& limits);

// Ends a send: half-closes the connection so the printer sees the end of the job, then reads its
// reports, handing each to `on_report` (true when it cancels the job), until drain_next ends it;
// only then may the connection be closed. Closing with a report unread makes the kernel reset
// the connection and throw away the end of the job still queued on this side. *err says why on
// kBroken and kStalled.
// `on_wait`, when given, hears the bytes still unacknowledged each time the drain looks.
SendEnd finish_send(int fd, const DrainLimits& limits,
                    const std::function<bool(std::string_view report)>& on_report,
                    std::string* err, const std::function<void(long unacked)>& on_wait = {});

// Bytes sent on the connection that the printer has not acknowledged yet (SIOCOUTQ).
long printer_unacked_bytes(int fd);
