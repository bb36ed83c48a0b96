// The link to the printer's web server: tag events, write results and the liveness probe, each
// one HTTP/1.0 GET over a connection kept open while the printer allows it. The daemon does not
// read the pages it gets back; a request counts as done once its reply has fully arrived.
#pragma once
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/http_client.h"

namespace rfid {

// "/job/rfid_ntag?..." for the entry module's events, "/job/rfid_exittag?..." otherwise; the
// EPC as upper-case hex, high digit first.
std::string tag_event_path(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry);
std::string write_result_path(int state, int err, int index, std::span<const uint8_t> epc);
constexpr const char* kStatusPath = "/system/status";

class EwsClient {
 public:
  // The printer web server; `reply_ms` bounds the wait for a reply (the printer gets about six
  // one-second time-outs), `io_ms` the connect and the send.
  EwsClient(std::string host, int port, ld::Clock& clock, int reply_ms = 6000, int io_ms = 1000)
      : host_(std::move(host)), port_(port), clock_(clock), reply_ms_(reply_ms), io_ms_(io_ms) {}

  // One request; true when a reply arrived whole. A failure closes the connection and says
  // why in *err.
  bool ews_call(const std::string& method, const std::string& path, std::string* err);
  bool ews_send_tag(std::span<const uint8_t> epc, int st, int nr, int dt, bool entry, std::string* err);
  // Also gives the "url:%s\n" line the daemon prints (may be null).
  bool write_result_notify_printer(int state, int err_code, int index, std::span<const uint8_t> epc,
                                   std::string* url_line, std::string* err);
  bool test_printer_connection(std::string* err) { return ews_call("GET", kStatusPath, err); }

  bool connected() const { return client_.connected(); }
  void close() { client_.close(); }
  // When the latest request was sent in full (seconds; 0 before any).
  time_t last_printer_activity() const { return last_activity_; }

 private:
  bool exchange(const std::string& request, std::string* err);

  std::string host_;
  int port_;
  ld::Clock& clock_;
  int reply_ms_;
  int io_ms_;
  ld::http::Client client_;
  time_t last_activity_ = 0;
  bool retry_ok_ = false;  // the last exchange failed in a way a new connection may mend
};

}  // namespace rfid
