// What the CGI toolkit would send for the page lines a test's calls added, for tests of page
// code that never start a web server.
#pragma once
#include <string>

namespace testkit {

// The response the collected head and body lines make (webkit::print_html), after which the
// toolkit's line lists are empty again for the next call.
std::string page_text();

}  // namespace testkit
