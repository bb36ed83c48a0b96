// What the printer web relay does with text, kept apart from sockets: the relay's own query
// decoder, and how a reply is turned into the CGI's header lines, the body and the closing
// "END" line. Requests, reply reading and chunks are the HTTP client's (common/http_client).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/http_client.h"

namespace ewsrelay {

// The reply is held in memory; at most this many bytes are taken from the printer.
constexpr size_t kReplyMax = ld::http::kReplyMax;
// Longest decoded query value; a longer one is refused, never cut.
constexpr size_t kValueMax = 99;

// The value after the first "name=" in the query, up to the next "&": "%XX" (hex digits of
// either case) becomes that byte, "+" a space, anything else stays. nullopt when the name does
// not occur, or when the decoded value is longer than kValueMax (then *err says so).
std::optional<std::string> getParam(std::string_view query, std::string_view name,
                                    std::string* err = nullptr);

// A reply turned into what the relay writes: `head` and `tail` go to standard output before and
// after the body, `body` to the output (standard output or the output file), `errors` to
// standard error. `head` holds only the header lines a page needs (Content-Type, a
// Content-Length that counts the body as relayed, Content-Encoding): nothing else the printer
// sends, such as cookies or redirects, reaches the browser as if the appliance had said it. `whole` is false when the body stopped early or on a format error; such a
// body may be shown but must not replace a saved copy.
struct Relayed {
  std::string head;
  std::string body;
  std::string tail;
  std::string errors;
  bool whole = false;
};
// `cgi`: the output is a CGI response, read by a web server. A reply without any Content header
// then gets an empty CGI header instead of its own header block: a web server would take the
// printer's status line and headers (a redirect, cookies) for the appliance's own.
Relayed relay_reply(std::string_view reply, bool cgi = false);

}  // namespace ewsrelay
