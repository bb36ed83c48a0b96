#include "thumbs/zxrender.h"

#include <algorithm>

#include "common/bytes.h"

namespace thumbs {

uint32_t escape_length(const uint8_t* cmd, size_t avail) {
  if (avail < 1) return 0;
  uint8_t c = cmd[0];
  if (c < 128) return 1;
  if (c < 192) return 2;
  if (c < 224) return avail < 2 ? 0 : 2u + cmd[1];
  return avail < 3 ? 0 : 3u + val16(cmd + 1);
}

void Gradient::at(int64_t x, uint8_t px[4]) const {
  int64_t t = x - base_x;
  for (int i = 0; i < 4; ++i) {
    if (t <= 0) px[i] = from[i];
    else if (t >= int64_t(span)) px[i] = to[i];
    else px[i] = static_cast<uint8_t>(from[i] + (int64_t(to[i]) - from[i]) * t / int64_t(span));
  }
}

ZxRenderer::ZxRenderer(ByteSource* src, const ZxParams& p, PageCanvas* canvas, FILE* msg)
    : data_(src), p_(p), canvas_(canvas), msg_(msg) {}

int ZxRenderer::render_row(uint32_t r) {
  while (!done_ && y_ <= r && y_ < p_.height) {
    int rc = step();
    if (rc == kZxIncomplete) return kZxNeedData;
    if (rc < 0) return rc;
  }
  return kZxRowDone;
}

void ZxRenderer::end_row() {
  x_ = 0;
  ++y_;
}

// Pixels from the cursor on, `count` of them, wrapping onto the next rows. Only what the
// picture keeps is computed: rows it drops are passed over whole, and a gradient is worked out
// at the sampled columns alone (a run may cover billions of page pixels).
void ZxRenderer::advance(uint64_t count, const uint8_t* color, bool gradient) {
  const uint32_t w = p_.width;
  while (count > 0 && y_ < p_.height) {
    if (x_ == 0 && count >= w && !canvas_->row_kept(y_)) {
      uint64_t rows = std::min<uint64_t>({count / w, canvas_->rows_to_next_kept(y_), p_.height - y_});
      y_ += static_cast<uint32_t>(rows);
      count -= rows * w;
      continue;
    }
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, w - x_));
    if (canvas_->row_kept(y_)) {
      if (!gradient) {
        canvas_->run(y_, x_, x_ + n - 1, color);
      } else {
        uint32_t first = 0, last = 0;
        canvas_->sampled_columns(x_, x_ + n - 1, &first, &last);
        if (first < last) canvas_->put_out_rgb(y_, first, last - first, gradient_row() + size_t(first) * 3);
      }
    }
    x_ += n;
    count -= n;
    if (x_ == w) end_row();
  }
}

// The current gradient at every sampled column, as RGB: it depends on the column alone, so it
// is worked out once per gradient, not again for each row a run covers.
const uint8_t* ZxRenderer::gradient_row() {
  if (!grad_row_ok_) {
    const Geometry& g = canvas_->geometry();
    grad_row_.resize(size_t(g.out_width) * 3);
    uint8_t px[4];
    for (uint32_t ox = 0; ox < g.out_width; ++ox) {
      grad_.at(int64_t(ox) * g.factor, px);
      canvas_->format().to_rgb(px, grad_row_.data() + size_t(ox) * 3);
    }
    grad_row_ok_ = true;
  }
  return grad_row_.data();
}

int ZxRenderer::image_row() {
  if (image_row_ >= image_->height() || y_ >= p_.height) {
    image_.reset();
    return 0;
  }
  if (canvas_->row_kept(y_)) {
    const uint8_t* rgb = nullptr;
    std::string why;
    if (!image_->row(image_row_, &rgb, &why)) {
      err_ = why;
      image_.reset();
      return kZxBadImage;
    }
    canvas_->piece_rgb(y_, 0, std::min(image_->width(), p_.width), rgb);
  }
  ++image_row_;
  end_row();
  return 0;
}

int ZxRenderer::step() {
  if (image_) return image_row();
  uint8_t head[4];
  size_t have = static_cast<size_t>(std::min<uint64_t>(sizeof head, data_.size() - pos_));
  if (have == 0 || !data_.read(pos_, head, have)) return kZxIncomplete;
  if (head[0] != kEsc) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "page data byte 0x%02x at %llu is not an escape", head[0],
                  static_cast<unsigned long long>(pos_));
    err_ = buf;
    return kZxBadData;
  }
  uint32_t len = escape_length(head + 1, have - 1);
  if (len == 0 || data_.size() - pos_ < 1 + uint64_t(len)) return kZxIncomplete;
  cmd_.resize(len);
  if (!data_.read(pos_ + 1, cmd_.data(), len)) return kZxIncomplete;
  return execute(cmd_.data(), len);
}

int ZxRenderer::execute(const uint8_t* cmd, uint32_t len) {
  const uint8_t c = cmd[0];
  // Argument bytes: after the length byte(s) for the counted forms.
  const uint8_t* arg = cmd + (c >= 224 ? 3 : c >= 192 ? 2 : 1);
  const uint32_t nargs = len - static_cast<uint32_t>(arg - cmd);
  uint64_t consumed = 1 + uint64_t(len);
  switch (c) {
    case kCmdNextRow:
      if (y_ < p_.height) end_row();
      break;
    case kCmdEndPage:
      done_ = true;
      y_ = p_.height;
      break;
    case kCmdSetColor:
      if (nargs < 4) goto unknown;
      std::copy(arg, arg + 4, color_);
      break;
    case kCmdRun:
    case kCmdGradientRun:
      if (nargs < 4) goto unknown;
      advance(val32(arg), color_, c == kCmdGradientRun);
      break;
    case kCmdCreateGradient:
      if (nargs < 4) goto unknown;
      grad_.base_x = static_cast<int16_t>(val16(arg));
      grad_.span = val16(arg + 2);
      if (nargs >= 12) {
        std::copy(arg + 4, arg + 8, grad_.from);
        std::copy(arg + 8, arg + 12, grad_.to);
      }
      grad_row_ok_ = false;
      if (msg_) std::fprintf(msg_, "ESC CREATE_GRADIENT (baseX=%d, span=%d)\n", grad_.base_x, grad_.span);
      break;
    case kCmdPixels: {
      if (nargs % 4 != 0) {
        err_ = "pixel command length is not a multiple of 4";
        return kZxBadData;
      }
      const uint8_t* px = arg;
      for (uint32_t left = nargs / 4; left > 0 && y_ < p_.height;) {
        uint32_t n = std::min(left, p_.width - x_);
        canvas_->piece(y_, x_, n, px);
        px += size_t(n) * 4;
        left -= n;
        x_ += n;
        if (x_ == p_.width) end_row();
      }
      break;
    }
    case kCmdImage: {
      if (nargs < 4) goto unknown;
      uint64_t n = val32(arg);
      if (data_.size() - pos_ < consumed + n) return kZxIncomplete;
      if (x_ > 0) end_row();  // an image starts on a row of its own
      image_ = open_image(&data_, pos_ + consumed, n, &err_, 0, canvas_->budget());
      if (!image_) return kZxBadImage;
      image_row_ = 0;
      consumed += n;
      break;
    }
    default:
    unknown:
      if (msg_) std::fprintf(msg_, "*** Unknown Escape %d %x ***\n", c, c);
      break;
  }
  pos_ += consumed;
  return 0;
}

}  // namespace thumbs
