// JSON string escaping for documents this system writes itself, such as the queue report. The
// names in them come from the network and USB sticks, so any bytes must still give valid JSON.
#pragma once
#include <string>
#include <string_view>

namespace ld {

// The body of a JSON string (without the quotes), in plain ASCII: quotes, backslashes and
// control characters escaped, every other non-ASCII character as \uXXXX (UTF-8 sequences
// decoded, characters beyond the BMP as surrogate pairs, and a byte that is not part of valid
// UTF-8 taken as Latin-1). Plain ASCII is valid whatever charset the document is declared in.
std::string json_escape(std::string_view text);

}  // namespace ld
