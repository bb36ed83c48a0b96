#include "testkit/cgi_page.h"

#include <cstdio>
#include <cstdlib>

#include "webkit/html_utils.h"

namespace testkit {

std::string page_text() {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  webkit::print_html(f);
  std::fclose(f);
  std::string s(buf, len);
  std::free(buf);
  webkit::reset_html_state();
  return s;
}

}  // namespace testkit
