// libjpeg's fatal errors as a jump back to the caller with the library's message, for both
// directions of JPEG the thumbnails use (decoding page images, writing the thumbnail).
#pragma once
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace thumbs {

// Set `pub.error_exit = jpeg_error_exit` and setjmp(`jump`) before calling into libjpeg; the
// error leaves its text in `text`.
struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
};

inline void jpeg_error_exit(j_common_ptr c) {
  auto* e = reinterpret_cast<JpegError*>(c->err);
  (*c->err->format_message)(c, e->text);
  longjmp(e->jump, 1);
}

}  // namespace thumbs
