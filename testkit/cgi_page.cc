#include "testkit/cgi_page.h"

#include <cstdio>
#include <cstdlib>

#include "webkit/html_utils.h"

namespace testkit {

std::string page_text(webkit::Page* page) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  page->print_html(f);
  std::fclose(f);
  std::string s(buf, len);
  std::free(buf);
  *page = webkit::Page{};
  return s;
}

}  // namespace testkit
