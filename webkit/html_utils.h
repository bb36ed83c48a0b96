// The toolkit every CGI page of the appliance is built with: the response as two ordered line
// lists (head and body) written in one go with an exact Content-length, lookup of request
// parameters in query strings, and the small per-program persistence file of a page.
// A CGI run makes one Page and hands it to everything that adds lines or reads the
// remembered settings; the toolkit itself keeps no state.
#pragma once
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace webkit {

// Bounds of the request functions. Input beyond them is never written past:
// - a decoded value longer than the bound is cut to its first bytes (the rest of the value is
//   skipped up to its separator, so the next parameter is still found);
// - a name whose search text (name plus "=") exceeds kSearchMax bytes is never found;
// - a name in parse_url longer than kUrlNameMax bytes is cut the same way as a value.
constexpr size_t kParamValueMax = 99;    // searchParam, getParam, getIntParam, getParamValues
constexpr size_t kSearchMax = 499;       // the searched text, name plus "="
constexpr size_t kUrlNameMax = 199;      // parse_url
constexpr size_t kUrlValueMax = 999;     // parse_url
constexpr size_t kFileLineMax = 999;     // output_from_file: longer lines arrive in pieces
constexpr size_t kPersistenceMax = 65536;  // bytes of a persistence file that are read

// A copy of the text.
std::string get_string(std::string_view text);

// One name and its decoded value.
struct ParamPair {
  std::string name;
  std::string value;
};
// Pairs are held newest first: parse_url returns them in reverse order of appearance.
using ParamList = std::vector<ParamPair>;

// Decodes a query value: "+" is a space, "%" and two hexadecimal digits (either case) is that
// byte, anything else (also a "%" without two hex digits after it, and "%00", which would cut
// the value short wherever it is used as C text) is copied unchanged.
std::string decode_value(std::string_view raw, size_t max_bytes);

// Splits "name=value&name=value" (a newline also ends a value). Names are taken up to the next
// "=" and not decoded; text after the last "=" that has no "=" of its own is ignored.
ParamList parse_url(std::string_view text);

// The decoded value of the first "name=" that begins a parameter (at the text's start or after
// "&"), up to the next "&" or the end: "prn" never matches the tail of "saveprn=", and a value
// that holds "key=" text is never read as that key. An empty value is present (""). Absent text
// or name, or no match: nullopt.
std::optional<std::string> searchParam(const char* text, const char* name);
// Appends the values of up to `max` parameters "name=" (found as searchParam finds them) to *slots,
// in order of appearance; returns how many were stored.
int getParamValues(const char* text, const char* name, std::vector<std::string>* slots, int max);

// Text put into an HTML page: "&", "<", ">", '"' and "'" as entities, so a name is only text in
// element and attribute context.
std::string html_escape(std::string_view text);
// The body of a JSON string (without the quotes), in plain ASCII: quotes, backslashes and
// control characters escaped, every other non-ASCII character as \uXXXX (UTF-8 sequences
// decoded, characters beyond the BMP as surrogate pairs, and a byte that is not part of valid
// UTF-8 taken as Latin-1). Plain ASCII is valid whatever charset a response declares, and names
// from the network or a USB stick can hold any bytes.
std::string json_escape(std::string_view text);

// Persistence file "." + program + ".data" in the working directory: the pairs joined by "&",
// each "key=value" with the value as held (decoded), no newline at the end.
std::string persistence_path(std::string_view program);

// One response in the making: its head and body lines, and the page's persistence state (the
// remembered settings read at start, which getParam falls back on, and the pairs written back).
class Page {
 public:
  // Response lines. Each stores a copy of its text exactly (any bytes, any number of newlines).
  // The head list starts with "<HTML><HEAD>" when its first line is added. All return 1.
  int add_head_line(std::string_view text);
  int add_body_line(std::string_view text);
  // add_body_line for a text the caller is done with: it is taken over rather than copied.
  int take_body_line(std::string text);
  // Inserts as the second body line (behind the first); into an empty body as the first.
  int add_body_line_top(std::string_view text);
  int add_body_line2(std::string_view a, std::string_view b);
  int add_body_line3(std::string_view a, std::string_view b, std::string_view c);
  // Bytes of all head lines and all body lines.
  size_t get_body_length() const;

  // Write the response to `out`: "Content-length: N\r\n", the content type line and a blank
  // line, then every head line and every body line as stored. print_html first closes the head
  // ("</HEAD>\n") and the body ("</HTML>\n"), so call it once only. The content types are
  // "Content-Type:text/html;charset=utf-8" and "Content-Type:application/json;charset=iso-8859-1".
  // The response goes out in one write; the result is its byte count, or -1 when it failed.
  long print_html(FILE* out = stdout);
  long print_json(FILE* out = stdout) const;

  // Appends the file's lines as body lines (newline kept; lines longer than kFileLineMax bytes
  // arrive as several pieces). A file that cannot be opened adds nothing.
  void output_from_file(const std::string& path);

  // searchParam on the query, else on the persistence text read at start.
  std::optional<std::string> getParam(const char* query, const char* name) const;
  // getParam as a decimal number like atoi (blanks, a sign, digits; clamped to int); absent is 0.
  int getIntParam(const char* query, const char* name) const;

  // Reads the persistence file: its text becomes the fallback for getParam and its pairs the
  // list that save_persistence_data writes back. An empty file makes the list parse_url(default)
  // and gives no fallback. A missing file gives neither. Returns the persistence text.
  std::optional<std::string> load_persistence_data(std::string_view program,
                                                   const char* default_text);
  // Sets key in the persistence list; 1 when the key existed, 0 when it was added (or absent).
  int replace_persistent_data(const char* key, const char* value);
  // Writes the persistence list (replacing the file as a whole, so a concurrent reader sees the
  // old or the new settings, never a part); 1/0.
  int save_persistence_data(std::string_view program) const;
  // The pairs that save_persistence_data would write, in list order.
  const ParamList& persistence_list() const { return persistence_; }

 private:
  long write_response(FILE* out, const char* content_type) const;

  std::vector<std::string> head_;
  std::vector<std::string> body_;
  std::optional<std::string> persistence_text_;
  ParamList persistence_;
  ParamList persistence_read_;  // the pairs as the file held them, to skip a needless write
};

}  // namespace webkit
