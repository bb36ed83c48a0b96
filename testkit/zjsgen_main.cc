// zjsgen: writes a generated ZjStream job (or a job capture) to a file or standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fsops.h"
#include "common/run.h"
#include "testkit/zjsgen.h"
#include "testkit/zxpage.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: zjsgen [-o FILE] [--pages N] [--payload BYTES] [--no-pagecount]\n"
               "              [--doc-item ID=VALUE]... [--page-item ID=VALUE]... [--seed N]\n"
               "              [--capture NAME] [--pjl TEXT]\n"
               "       zjsgen --zx-picture FILE [--zx-mode runs|pixels|jpeg|stripes|nested]\n"
               "              [--zx-rgb] [--zx-stripe-rows N] [--zx-quality Q] [--zx-gradient ROWS]\n"
               "              [--zx-unknown-escape] [--zx-chunk BYTES] [--zx-copies N] [--zx-little]\n"
               "              [--pages N] [--capture NAME] [--pjl TEXT] [-o FILE]\n"
               "IDs and values take C notation (0x8514, -3). --zx-picture draws every page from a\n"
               "PNM or JPEG picture as ZX page data (docs/zx-page-data.md).\n"
               "       zjsgen --zx-gapped-stripes EMPTY [-o FILE]   (1000 x 10000 page)\n"
               "       zjsgen --zx-long-gradients|--zx-long-runs RUNS [-o FILE]  (1000000 x 10000000)\n"
               "write small pages that are costly to decode carelessly.\n");
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
  ld::ignore_sigpipe();
  testkit::JobSpec gen;
  testkit::ZxPageSpec zx;
  const char* picture = nullptr;
  const char* out = nullptr;
  std::string crafted;
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
    else if (a == "--pages") gen.pages = std::atoi(next());
    else if (a == "--payload") gen.payload = std::strtoull(next(), nullptr, 0);
    else if (a == "--no-pagecount") gen.with_pagecount = false;
    else if (a == "--seed") gen.seed = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--capture") {
      gen.capture = true;
      gen.name = next();
    } else if (a == "--pjl") gen.pjl_extra = next();
    else if (a == "--doc-item" && parse_item(next(), &it)) gen.doc_items.push_back(it);
    else if (a == "--page-item" && parse_item(next(), &it)) gen.page_items.push_back(it);
    else if (a == "--zx-picture") picture = next();
    else if (a == "--zx-mode") {
      if (!testkit::parse_zx_mode(next(), &zx.mode)) {
        usage();
        return 2;
      }
    } else if (a == "--zx-rgb") zx.cmyk = false;
    else if (a == "--zx-stripe-rows") zx.stripe_rows = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--zx-quality") zx.quality = std::atoi(next());
    else if (a == "--zx-gradient") zx.gradient_rows = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--zx-unknown-escape") zx.unknown_escape = true;
    else if (a == "--zx-chunk") zx.data_chunk = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--zx-copies") zx.copies = static_cast<uint32_t>(std::strtoul(next(), nullptr, 0));
    else if (a == "--zx-little") zx.little_endian = true;
    else if (a == "--zx-gapped-stripes") crafted = testkit::make_zx_job_of(1000, 10000, testkit::zx_gapped_stripes(1000, 10000, static_cast<uint32_t>(std::strtoul(next(), nullptr, 0))), zx);
    else if (a == "--zx-long-gradients" || a == "--zx-long-runs")
      crafted = testkit::make_zx_job_of(1000000, 10000000, testkit::zx_long_gradients(static_cast<uint32_t>(std::strtoul(next(), nullptr, 0)), a == "--zx-long-gradients"), zx);
    else {
      usage();
      return 2;
    }
  }
  if (gen.pages < 0) {
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
  if (!crafted.empty()) {
    if (!ld::write_all(fd, crafted.data(), crafted.size())) {
      std::perror("zjsgen: write");
      return 1;
    }
  } else if (picture != nullptr) {
    testkit::Picture pic;
    std::string err;
    if (!testkit::load_picture(picture, &pic, &err)) {
      std::fprintf(stderr, "zjsgen: %s: %s\n", picture, err.c_str());
      return 1;
    }
    std::string job = testkit::make_zx_job(pic, zx, gen.pages);
    if (gen.capture) job = testkit::wrap_capture(job, gen.name, gen.pjl_extra);
    if (!ld::write_all(fd, job.data(), job.size())) {
      std::perror("zjsgen: write");
      return 1;
    }
  } else if (!testkit::write_job(gen, fd)) {
    std::perror("zjsgen: write");
    return 1;
  }
  if (out != nullptr && ::close(fd) != 0) {
    std::perror(out);
    return 1;
  }
  return 0;
}
