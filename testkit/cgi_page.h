// What the CGI toolkit would send for the page lines a test's calls added, for tests of page
// code that never start a web server.
#pragma once
#include <string>

#include "webkit/html_utils.h"

namespace testkit {

// The response the page's collected head and body lines make (webkit::Page::print_html), after
// which the page is empty again for the next call.
std::string page_text(webkit::Page* page);

}  // namespace testkit
