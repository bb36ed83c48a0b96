// Where the appliance's fixed paths really are. On the board LABELDOCK_ROOT is unset and every
// path is used as written; tests and the demo put a sandbox folder in front of all of them.
#pragma once
#include <string>
#include <string_view>

namespace ld {

// The root prefix: the value of LABELDOCK_ROOT without a trailing "/", or "" when unset.
std::string root_prefix();

// An absolute appliance path ("/print/prns/") with the root prefix in front. Relative paths are
// returned unchanged: they stay relative to the working directory.
std::string rooted(std::string_view path);

}  // namespace ld
