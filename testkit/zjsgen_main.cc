// zjsgen: writes a generated ZjStream job (or a job capture) to a file or standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testkit/zjsgen.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: zjsgen [-o FILE] [--pages N] [--payload BYTES] [--no-pagecount]\n"
               "              [--doc-item ID=VALUE]... [--page-item ID=VALUE]... [--seed N]\n"
               "              [--capture NAME] [--pjl TEXT]\n"
               "IDs and values take C notation (0x8514, -3).\n");
}

bool parse_item(const char* text, zjs::Item* it) {
  const char* eq = std::strchr(text, '=');
  if (eq == nullptr) return false;
  char* end = nullptr;
  long id = std::strtol(text, &end, 0);
  if (end != eq || id < 0 || id > 0xFFFF) return false;
  long long v = std::strtoll(eq + 1, &end, 0);
  if (*end != '\0') return false;
  it->id = static_cast<uint16_t>(id);
  it->value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  testkit::JobSpec spec;
  const char* out = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    zjs::Item it;
    if (a == "-o") out = next();
    else if (a == "--pages") spec.pages = std::atoi(next());
    else if (a == "--payload") spec.payload = std::strtoull(next(), nullptr, 0);
    else if (a == "--no-pagecount") spec.with_pagecount = false;
    else if (a == "--seed") spec.seed = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--capture") {
      spec.capture = true;
      spec.name = next();
    } else if (a == "--pjl") spec.pjl_extra = next();
    else if (a == "--doc-item" && parse_item(next(), &it)) spec.doc_items.push_back(it);
    else if (a == "--page-item" && parse_item(next(), &it)) spec.page_items.push_back(it);
    else {
      usage();
      return 2;
    }
  }
  if (spec.pages < 0) {
    usage();
    return 2;
  }
  int fd = 1;
  if (out != nullptr) {
    fd = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror(out);
      return 1;
    }
  }
  if (!testkit::write_job(spec, fd)) {
    std::perror("zjsgen: write");
    return 1;
  }
  if (out != nullptr && ::close(fd) != 0) {
    std::perror(out);
    return 1;
  }
  return 0;
}
