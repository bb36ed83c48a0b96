#include "thumbs/zximage.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "common/bytes.h"
#include "thumbs/jpeg_error.h"

namespace thumbs {

bool FdSource::read_at(uint64_t offset, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return true;
}

bool MemSource::read_at(uint64_t offset, void* buf, size_t n) {
  if (offset > data_.size() || n > data_.size() - offset) return false;
  std::memcpy(buf, data_.data() + offset, n);
  return true;
}

void DataStream::append(uint64_t source_offset, uint64_t len) {
  if (len == 0) return;
  extents_.push_back({size_, source_offset, len});
  size_ += len;
}

bool DataStream::read(uint64_t pos, void* buf, size_t n) {
  if (pos > size_ || n > size_ - pos) return false;
  auto* out = static_cast<unsigned char*>(buf);
  // Small reads come from the window, refilled from pos on.
  constexpr size_t kWindow = 16384;
  if (n <= 64) {
    if (pos < win_start_ || pos + n > win_start_ + win_.size()) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(kWindow, size_ - pos));
      win_.resize(want);
      win_start_ = pos;
      if (!read_extents(pos, win_.data(), want)) {
        win_.clear();
        return false;
      }
    }
    std::memcpy(out, win_.data() + (pos - win_start_), n);
    return true;
  }
  return read_extents(pos, out, n);
}

bool DataStream::read_extents(uint64_t pos, unsigned char* out, size_t n) {
  auto it = std::upper_bound(extents_.begin(), extents_.end(), pos,
                             [](uint64_t p, const Extent& e) { return p < e.start; });
  if (it == extents_.begin()) return false;
  --it;
  while (n > 0 && it != extents_.end()) {
    uint64_t in_ext = pos - it->start;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, it->len - in_ext));
    if (!src_->read_at(it->source_offset + in_ext, out, take)) return false;
    out += take;
    pos += take;
    n -= take;
    ++it;
  }
  return n == 0;
}

namespace {

constexpr uint32_t kMaxImageWidth = 1000000;
constexpr uint32_t kMaxImageHeight = 10000000;
constexpr long kJpegMemory = 16L << 20;

// ---- JPEG images through libjpeg -------------------------------------------------------------

void jpeg_quiet(j_common_ptr, int) {}

const JOCTET kEoi[2] = {0xFF, 0xD9};

// Reads the image's bytes from the page-data stream in blocks.
struct JpegSource {
  jpeg_source_mgr pub;
  DataStream* ds;
  uint64_t pos, end;
  JOCTET* block;
  size_t block_len;
};

void src_init(j_decompress_ptr) {}
boolean src_fill(j_decompress_ptr c) {
  auto* s = reinterpret_cast<JpegSource*>(c->src);
  size_t n = static_cast<size_t>(std::min<uint64_t>(s->block_len, s->end - s->pos));
  if (n == 0 || !s->ds->read(s->pos, s->block, n)) {
    // A cut image ends here; libjpeg fills the rest of it in grey.
    s->pub.next_input_byte = kEoi;
    s->pub.bytes_in_buffer = 2;
    s->pos = s->end;
    return TRUE;
  }
  s->pos += n;
  s->pub.next_input_byte = s->block;
  s->pub.bytes_in_buffer = n;
  return TRUE;
}
void src_skip(j_decompress_ptr c, long num) {
  auto* s = reinterpret_cast<JpegSource*>(c->src);
  if (num <= 0) return;
  size_t k = static_cast<size_t>(num);
  if (k <= s->pub.bytes_in_buffer) {
    s->pub.next_input_byte += k;
    s->pub.bytes_in_buffer -= k;
    return;
  }
  k -= s->pub.bytes_in_buffer;
  s->pub.bytes_in_buffer = 0;
  s->pos = std::min<uint64_t>(s->end, s->pos + k);
}
void src_term(j_decompress_ptr) {}

// The JPEG decompressor of an image ("ZCCZ").
class JpegImage : public Image {
 public:
  const char tag[4] = {'Z', 'C', 'C', 'Z'};

  JpegImage(DataStream* ds, uint64_t start, uint64_t len, MemoryBudget* budget)
      : ds_(ds), start_(start), len_(len), budget_(budget) {
    block_.resize(kBlock);
  }
  ~JpegImage() override { stop(); }

  bool begin(std::string* err) {
    stop();
    cinfo_.err = jpeg_std_error(&err_.pub);
    err_.pub.error_exit = jpeg_error_exit;
    err_.pub.emit_message = jpeg_quiet;
    if (setjmp(err_.jump)) {
      if (err) *err = std::string("JPEG image: ") + err_.text;
      stop();
      return false;
    }
    jpeg_create_decompress(&cinfo_);
    created_ = true;
    // Baseline images decode in bands; a progressive one needs all its coefficients at once,
    // and may not take more than this (beyond it the image is reported as broken).
    cinfo_.mem->max_memory_to_use = kJpegMemory;
    src_.pub.init_source = src_init;
    src_.pub.fill_input_buffer = src_fill;
    src_.pub.skip_input_data = src_skip;
    src_.pub.resync_to_restart = jpeg_resync_to_restart;
    src_.pub.term_source = src_term;
    src_.pub.bytes_in_buffer = 0;
    src_.pub.next_input_byte = nullptr;
    src_.ds = ds_;
    src_.pos = start_;
    src_.end = start_ + len_;
    src_.block = block_.data();
    src_.block_len = block_.size();
    cinfo_.src = &src_.pub;
    jpeg_read_header(&cinfo_, TRUE);
    if (cinfo_.num_components == 3) cinfo_.out_color_space = JCS_RGB;
    else if (cinfo_.num_components == 1) cinfo_.out_color_space = JCS_GRAYSCALE;
    else {
      if (err) *err = "JPEG image: " + std::to_string(cinfo_.num_components) + " components not supported";
      stop();
      return false;
    }
    if (!reserve(err)) {
      stop();
      return false;
    }
    jpeg_start_decompress(&cinfo_);
    width_ = cinfo_.output_width;
    height_ = cinfo_.output_height;
    line_.resize(size_t(width_) * cinfo_.output_components * kBatch);
    rgb_.resize(size_t(width_) * 3);
    next_ = batch_start_ = batch_n_ = 0;
    return true;
  }

  uint32_t width() const override { return width_; }
  uint32_t height() const override { return height_; }

  bool row(uint32_t r, const uint8_t** out, std::string* err) override {
    if (r >= height_) {
      if (err) *err = "JPEG image: row beyond the image";
      return false;
    }
    if ((r < batch_start_ || !created_) && !begin(err)) return false;
    if (!read_to(r, err)) return false;
    const size_t row_bytes = size_t(width_) * cinfo_.output_components;
    const uint8_t* line = line_.data() + (r - batch_start_) * row_bytes;
    if (cinfo_.output_components == 1) {
      for (uint32_t i = 0; i < width_; ++i) rgb_[3 * i] = rgb_[3 * i + 1] = rgb_[3 * i + 2] = line[i];
      *out = rgb_.data();
    } else {
      *out = line;
    }
    return true;
  }

 private:
  bool read_to(uint32_t r, std::string* err) {
    if (setjmp(err_.jump)) {
      if (err) *err = std::string("JPEG image: ") + err_.text;
      stop();
      return false;
    }
    // Rows are decoded a batch at a time: libjpeg works in bands of several rows anyway.
    const size_t row_bytes = size_t(width_) * cinfo_.output_components;
    JSAMPROW rows[kBatch];
    for (uint32_t i = 0; i < kBatch; ++i) rows[i] = line_.data() + i * row_bytes;
    while (batch_start_ + batch_n_ <= r) {
      batch_start_ = next_;
      batch_n_ = jpeg_read_scanlines(&cinfo_, rows, std::min<uint32_t>(kBatch, height_ - next_));
      if (batch_n_ == 0) {
        if (err) *err = "JPEG image: no more rows";
        return false;
      }
      next_ += batch_n_;
    }
    return true;
  }

  void stop() {
    if (created_) jpeg_destroy_decompress(&cinfo_);
    created_ = false;
    share_.release();
  }

  // Takes the image's memory from the page's budget: our row buffers, libjpeg's band buffers
  // (a generous bound: a few rows of blocks of every component) and, for a progressive image,
  // the working memory it may use for its coefficients (at most kJpegMemory).
  bool reserve(std::string* err) {
    if (budget_ == nullptr) return true;
    const uint64_t w = cinfo_.image_width, comps = cinfo_.num_components;
    uint64_t need = kBlock + w * comps * kBatch + w * 3 + w * comps * 64;
    if (cinfo_.progressive_mode) {
      uint64_t left = budget_->left() > need ? budget_->left() - need : 0;
      uint64_t work = std::min<uint64_t>(kJpegMemory, left);
      cinfo_.mem->max_memory_to_use = static_cast<long>(work);
      need += work;
    }
    if (!share_.take(budget_, need)) {
      if (err) *err = "JPEG image: " + std::to_string(w) + " pixels wide does not fit in memory";
      return false;
    }
    return true;
  }

  DataStream* ds_;
  uint64_t start_, len_;
  MemoryBudget* budget_;
  BudgetShare share_;
  jpeg_decompress_struct cinfo_{};
  JpegError err_{};
  JpegSource src_{};
  bool created_ = false;
  std::vector<JOCTET> block_;
  std::vector<uint8_t> line_, rgb_;
  static constexpr uint32_t kBatch = 16;
  static constexpr size_t kBlock = 65536;
  uint32_t width_ = 0, height_ = 0, next_ = 0;
  uint32_t batch_start_ = 0, batch_n_ = 0;  // rows held in line_
};

// ---- striped images ---------------------------------------------------------------------------

class StripedImage : public Image {
 public:
  StripedImage(DataStream* ds, uint64_t start, uint64_t len, int depth, MemoryBudget* budget)
      : ds_(ds), start_(start), end_(start + len), depth_(depth), budget_(budget) {}

  bool begin(std::string* err) {
    unsigned char b[kStripedHeaderSize];
    if (end_ - start_ < kStripedHeaderSize || !ds_->read(start_, b, sizeof b) ||
        !decode_striped_header(b, &h_)) {
      if (err) *err = "striped image: bad header";
      return false;
    }
    if (std::strcmp(codec_name(h_.codec), "unknown") == 0) {
      if (err) *err = "striped image: unknown stripe codec " + std::to_string(h_.codec);
      return false;
    }
    first_ = start_ + uint64_t(h_.header_len) + 4;
    if (h_.header_len + 4 < kStripedHeaderSize || first_ > end_ || h_.width == 0 ||
        h_.width > kMaxImageWidth || h_.height > kMaxImageHeight) {
      if (err) *err = "striped image: bad header";
      return false;
    }
    if (budget_ != nullptr && !share_.take(budget_, uint64_t(h_.width) * 3)) {
      if (err) *err = "striped image: " + std::to_string(h_.width) + " pixels wide does not fit in memory";
      return false;
    }
    out_.assign(size_t(h_.width) * 3, 255);
    return true;
  }

  uint32_t width() const override { return h_.width; }
  uint32_t height() const override { return h_.height; }
  StripeStats& stats() { return stats_; }

  bool row(uint32_t r, const uint8_t** out, std::string* err) override {
    // The stripe of row r is the first whose rows end after r, so for rows asked in order it
    // never lies before the current one: only a row before the last one asked starts over.
    // (Starting over whenever r lies before the current stripe's first row would walk every
    // stripe again for each row in a gap between stripes.)
    if (!have_ || r < last_row_) {
      if (have_) stats_.restarts++;
      if (!load(first_, err)) return false;
    }
    last_row_ = r;
    while (uint64_t(cur_.first_row) + cur_.rows <= r) {
      uint64_t next = cur_off_ + cur_.header_len + cur_.data_len;
      if (next >= end_) {
        if (err) *err = "striped image: no stripe holds row " + std::to_string(r);
        return false;
      }
      if (!load(next, err)) return false;
    }
    uint32_t local = r - cur_.first_row;
    if (!sub_) {
      uint64_t data = cur_off_ + cur_.header_len;
      sub_ = open_image(ds_, data, cur_.data_len, err, depth_ + 1, budget_);
      if (!sub_) return false;
      bool nested = stripe_stats_of(sub_.get()) != nullptr;
      if (nested != (h_.codec == 83)) {
        if (err) *err = "striped image: stripe data do not match the stripe codec";
        sub_.reset();
        return false;
      }
      stats_.stripes_opened++;
    }
    std::fill(out_.begin(), out_.end(), 255);
    if (local < sub_->height()) {
      const uint8_t* p = nullptr;
      if (!sub_->row(local, &p, err)) return false;
      std::memcpy(out_.data(), p, size_t(std::min(sub_->width(), h_.width)) * 3);
    }
    *out = out_.data();
    return true;
  }

 private:
  bool load(uint64_t off, std::string* err) {
    have_ = false;
    sub_.reset();
    unsigned char b[kStripeHeaderSize];
    if (off + kStripeHeaderSize > end_ || !ds_->read(off, b, sizeof b)) {
      if (err) *err = "striped image: stripe header beyond the image";
      return false;
    }
    cur_.header_len = val32(b);
    cur_.data_len = val32(b + 4);
    cur_.first_row = val32(b + 8);
    cur_.rows = val32(b + 12);
    stats_.headers_read++;
    if (cur_.header_len < kStripeHeaderSize) {
      if (err) *err = "striped image: stripe header length below 16";
      return false;
    }
    if (off + cur_.header_len + uint64_t(cur_.data_len) > end_) {
      if (err) *err = "striped image: stripe data beyond the image";
      return false;
    }
    cur_off_ = off;
    have_ = true;
    return true;
  }

  DataStream* ds_;
  uint64_t start_, end_, first_ = 0;
  int depth_;
  MemoryBudget* budget_;
  BudgetShare share_;
  StripedHeader h_;
  bool have_ = false;
  uint32_t last_row_ = 0;  // the row asked last
  uint64_t cur_off_ = 0;
  StripeHeader cur_;
  std::unique_ptr<Image> sub_;
  std::vector<uint8_t> out_;
  StripeStats stats_;

};

}  // namespace

const char* codec_name(int letter) {
  return letter == 83 ? "zcif_Striped" : letter == 74 ? "jpeg" : "unknown";
}

StripeStats* stripe_stats_of(Image* img) {
  auto* s = dynamic_cast<StripedImage*>(img);
  return s ? &s->stats() : nullptr;
}

void encode_striped_header(const StripedHeader& h, unsigned char out[kStripedHeaderSize]) {
  std::memset(out, 0, kStripedHeaderSize);
  std::memcpy(out, "ZCSB", 4);
  write32(h.header_len, out + 4);
  out[8] = h.codec;
  write32(h.width, out + 12);
  write32(h.height, out + 24);
  write32(h.stripes, out + 28);
  write32(h.stripe_rows, out + 32);
  write32(h.components, out + 36);
  write32(h.reserved, out + 40);
}

bool decode_striped_header(const unsigned char in[kStripedHeaderSize], StripedHeader* h) {
  if (std::memcmp(in, "ZCSB", 4) != 0) return false;
  h->header_len = val32(in + 4);
  h->codec = in[8];
  h->width = val32(in + 12);
  h->height = val32(in + 24);
  h->stripes = val32(in + 28);
  h->stripe_rows = val32(in + 32);
  h->components = val32(in + 36);
  h->reserved = val32(in + 40);
  return true;
}

void encode_stripe_header(const StripeHeader& h, unsigned char out[kStripeHeaderSize]) {
  write32(h.header_len, out);
  write32(h.data_len, out + 4);
  write32(h.first_row, out + 8);
  write32(h.rows, out + 12);
}

std::unique_ptr<Image> open_image(DataStream* ds, uint64_t start, uint64_t len, std::string* err,
                                  int depth, MemoryBudget* budget) {
  unsigned char magic[4] = {};
  if (len < 4 || !ds->read(start, magic, 4)) {
    if (err) *err = "image too short";
    return nullptr;
  }
  if (depth > kMaxImageNesting) {
    if (err) *err = "images nested too deep";
    return nullptr;
  }
  if (magic[0] == 0xFF && magic[1] == 0xD8) {
    auto img = std::make_unique<JpegImage>(ds, start, len, budget);
    if (!img->begin(err)) return nullptr;
    if (img->width() > kMaxImageWidth) {
      if (err) *err = "JPEG image too wide";
      return nullptr;
    }
    return img;
  }
  if (std::memcmp(magic, "ZCSB", 4) == 0) {
    auto img = std::make_unique<StripedImage>(ds, start, len, depth, budget);
    if (!img->begin(err)) return nullptr;
    return img;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "unknown image codec (first bytes %02x %02x)", magic[0], magic[1]);
  if (err) *err = buf;
  return nullptr;
}

}  // namespace thumbs
