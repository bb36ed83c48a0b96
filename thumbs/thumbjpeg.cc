#include "thumbs/thumbjpeg.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/bytes.h"
#include "thumbs/jpeg_error.h"
#include "library/marker.h"

namespace thumbs {

std::array<uint8_t, kApp9Size> app9_segment(int page, int pages, uint32_t value) {
  return library::marker_segment(page, pages, value);
}

namespace {

// The libjpeg part, kept free of C++ objects so that the error jump skips no destructor.
bool compress(FILE* f, const uint8_t* rgb, uint32_t w, uint32_t h, const uint8_t* marker,
              char* why) {
  jpeg_compress_struct c;
  JpegError e;
  c.err = jpeg_std_error(&e.pub);
  e.pub.error_exit = jpeg_error_exit;
  if (setjmp(e.jump)) {
    std::strcpy(why, e.text);
    jpeg_destroy_compress(&c);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 100, TRUE);
  jpeg_start_compress(&c, TRUE);  // writes SOI and the JFIF APP0 segment
  jpeg_write_marker(&c, JPEG_APP0 + 9, marker + 4, kApp9Size - 4);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(c.next_scanline) * w * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return true;
}

}  // namespace

bool write_thumbnail(const std::string& path, const uint8_t* rgb, uint32_t w, uint32_t h, int page,
                     int pages, uint32_t value, std::string* err) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    if (err) *err = "can't open " + path;
    return false;
  }
  auto marker = app9_segment(page, pages, value);
  char why[JMSG_LENGTH_MAX] = {};
  bool ok = w > 0 && h > 0 && compress(f, rgb, w, h, marker.data(), why);
  if (w == 0 || h == 0) std::strcpy(why, "empty picture");
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    std::strcpy(why, "write error");
  }
  if (!ok) {
    // A cut picture must not stay under the name: in the waiting directory its existence marks
    // the job as in work, and a full disk would then keep the job from ever being finished.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    if (err) *err = std::string("cannot write ") + path + ": " + why;
  }
  return ok;
}

bool write_thumbnail_fd(int fd, const std::string& path, const ThumbPicture& pic, std::string* err) {
  char why[JMSG_LENGTH_MAX] = {};
  bool ok = false;
  if (pic.width == 0 || pic.height == 0) {
    std::strcpy(why, "empty picture");
  } else if ((::ftruncate(fd, 0) != 0 && errno != EINVAL) || ::lseek(fd, 0, SEEK_SET) < 0) {
    std::snprintf(why, sizeof why, "%s", std::strerror(errno));
  } else {
    int copy = ::dup(fd);
    FILE* f = copy < 0 ? nullptr : ::fdopen(copy, "wb");
    if (f == nullptr) {
      std::snprintf(why, sizeof why, "%s", std::strerror(errno));
      if (copy >= 0) ::close(copy);
    } else {
      auto marker = app9_segment(pic.page, pic.pages, pic.value);
      ok = compress(f, pic.rgb, pic.width, pic.height, marker.data(), why);
      errno = 0;
      if (std::fclose(f) != 0 && ok) {
        ok = false;
        std::snprintf(why, sizeof why, "%s", errno ? std::strerror(errno) : "write error");
      }
    }
  }
  if (!ok && err) *err = std::string("cannot write ") + path + ": " + why;
  return ok;
}

void placeholder_picture(uint32_t page_w, uint32_t page_h, std::vector<uint8_t>* rgb, uint32_t* w,
                         uint32_t* h) {
  uint64_t pw = page_w, ph = page_h;
  if (pw == 0 || ph == 0) {
    pw = 1000;
    ph = 1414;
  }
  if (pw >= ph) {
    *w = 200;
    *h = static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(2000, 200 * ph / pw)));
  } else {
    *h = 200;
    *w = static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(2000, 200 * pw / ph)));
  }
  rgb->assign(size_t(*w) * *h * 3, 0xE0);
  for (uint32_t y = 0; y < *h; ++y)
    for (uint32_t x = 0; x < *w; ++x)
      if (x < 3 || y < 3 || x + 3 >= *w || y + 3 >= *h) std::memset(rgb->data() + (size_t(y) * *w + x) * 3, 0x90, 3);
}

}  // namespace thumbs
