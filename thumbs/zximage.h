// The page-data stream of a ZX page and the images embedded in it. The stream is the sequence
// of ZX_DATA payloads handed to the renderer; its bytes stay in the job file and are read on
// demand, so neither the stream nor an embedded image is ever held whole in memory. Images are
// JPEG (decoded with libjpeg) or "ZCSB" striped images whose stripes are JPEG or nested striped
// images; rows are delivered as RGB.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "thumbs/pagecanvas.h"

namespace thumbs {

// Random access to the bytes of a job (a file, or memory in tests).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Exactly n bytes at offset; false when they are not all there.
  virtual bool read_at(uint64_t offset, void* buf, size_t n) = 0;
};

class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  bool read_at(uint64_t offset, void* buf, size_t n) override;

 private:
  int fd_;
};

class MemSource : public ByteSource {
 public:
  explicit MemSource(std::string data) : data_(std::move(data)) {}
  bool read_at(uint64_t offset, void* buf, size_t n) override;

 private:
  std::string data_;
};

// The page-data stream: extents of the source appended in order, addressed by stream offset.
class DataStream {
 public:
  explicit DataStream(ByteSource* src) : src_(src) {}
  void append(uint64_t source_offset, uint64_t len);
  uint64_t size() const { return size_; }
  // n bytes at stream offset pos; false when the stream does not hold them yet.
  bool read(uint64_t pos, void* buf, size_t n);

 private:
  bool read_extents(uint64_t pos, unsigned char* out, size_t n);
  struct Extent {
    uint64_t start, source_offset, len;
  };
  ByteSource* src_;
  std::vector<Extent> extents_;
  uint64_t size_ = 0;
  // A small window of stream bytes: commands are read a few bytes at a time.
  std::vector<unsigned char> win_;
  uint64_t win_start_ = 0;
};

// An image inside the stream, delivering its rows as RGB (width * 3 bytes).
class Image {
 public:
  virtual ~Image() = default;
  virtual uint32_t width() const = 0;
  virtual uint32_t height() const = 0;
  // Row r of the image; false (with *err) when the image cannot deliver it.
  virtual bool row(uint32_t r, const uint8_t** rgb, std::string* err) = 0;
};

// Codec letters of embedded images: 83 "zcif_Striped", 74 "jpeg"; "unknown" otherwise.
const char* codec_name(int letter);

constexpr int kMaxImageNesting = 4;
// The image held in stream bytes [start, start + len), known by its first bytes: 0xFF 0xD8 a JPEG
// image, "ZCSB" a striped image. Null (with *err) for anything else, a broken header, or an
// image whose buffers do not fit in what is left of the budget (none: not counted).
std::unique_ptr<Image> open_image(DataStream* ds, uint64_t start, uint64_t len, std::string* err,
                                  int depth = 0, MemoryBudget* budget = nullptr);

// Header of a striped image (48 bytes, big-endian numbers).
struct StripedHeader {
  uint32_t header_len = 44;  // bytes 4-7: the first stripe starts at header_len + 4
  uint8_t codec = 74;        // byte 8: 74 JPEG stripes, 83 nested striped stripes
  uint32_t width = 0;        // bytes 12-15
  uint32_t height = 0;       // bytes 24-27
  uint32_t stripes = 0;      // bytes 28-31
  uint32_t stripe_rows = 0;  // bytes 32-35
  uint32_t components = 3;   // bytes 36-39
  uint32_t reserved = 0;     // bytes 40-43
};
constexpr size_t kStripedHeaderSize = 48;
void encode_striped_header(const StripedHeader& h, unsigned char out[kStripedHeaderSize]);
bool decode_striped_header(const unsigned char in[kStripedHeaderSize], StripedHeader* h);

// Stripe header: four big-endian 32-bit numbers.
struct StripeHeader {
  uint32_t header_len = 16, data_len = 0, first_row = 0, rows = 0;
};
constexpr size_t kStripeHeaderSize = 16;
void encode_stripe_header(const StripeHeader& h, unsigned char out[kStripeHeaderSize]);

// Counters that tests use to see how the striped walk went.
struct StripeStats {
  int restarts = 0;        // walks that went back to the first stripe
  int stripes_opened = 0;  // stripe decoders started
  int headers_read = 0;    // stripe headers read
};
StripeStats* stripe_stats_of(Image* img);  // null unless img is a striped image

}  // namespace thumbs
