// The cache file of the job library ("/print/prns/prn_meta"): a 4-byte version, then one
// PrnInfo of 11696 bytes per stored job, holding 40 PrnOption entries of 248 bytes. The layout
// is a file format (little-endian, fixed offsets, the modification time where the 32-bit ARM
// stat block has it), so it is written and read field by field here, never by copying a host
// struct.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "library/prninfo.h"

namespace library {

// The cache file's version number, its first 4 bytes.
constexpr int32_t kCacheVersion = 2;
constexpr size_t kCacheHeaderSize = 4;

constexpr size_t kPrnOptionSize = 248;
constexpr size_t kPrnInfoSize = 11696;
constexpr size_t kMaxOptions = 40;   // option entries a record holds
constexpr size_t kNameField = 200;   // the text fields of a record, NUL included

// Offsets inside a PrnInfo record.
namespace info_at {
constexpr size_t kFileName = 0, kBase = 200, kJobPath = 400, kFilterInput = 600, kThumb = 800,
                 kDisplay = 1000, kFilterOutput = 1200, kDriverText = 1400, kFileSize = 1600,
                 kPages = 1604, kCopies = 1608, kCollate = 1612, kFirstPage = 1616,
                 kLastPage = 1620, kWidth = 1624, kLength = 1628, kQuality = 1632,
                 k8514 = 1636, k8513 = 1640, k8512 = 1644, k8403 = 1648, kWidthIn = 1652,
                 kLengthIn = 1656, kWidthMm = 1660, kLengthMm = 1664, kStat = 1672,
                 kStatSize = 88, kMtime = 1736, kOptions = 1760, kOptionCount = 11680;
}  // namespace info_at

// Offsets inside a PrnOption entry.
namespace opt_at {
constexpr size_t kName = 0, kNameSize = 100, kId = 100, kIdSize = 20, kClass = 120,
                 kClassSize = 32, kSize = 152, kItem = 156, kMin = 160, kMax = 164,
                 kDecimals = 168, kAttr = 172, kValue = 176, kFound = 180, kScaled = 184,
                 kDisplay = 192, kDisplaySize = 32, kWrite = 224, kChoiceCount = 236,
                 kType = 240;
}  // namespace opt_at

// True when every text of the record fits its field with its NUL. A record that does not fit
// is never written to the cache (it would come back under a cut name).
bool record_fits(const PrnInfo& info);

// Writes the entry into out[0..247]. Texts longer than their fields are cut (NUL kept); the
// choice texts are not stored (the reference has no meaning in a file) but their count is.
void encode_prn_option(const PrnOption& opt, unsigned char* out);
PrnOption decode_prn_option(const unsigned char* in);

// Writes the record into out[0..11695]: at most 40 option entries, texts cut to their fields,
// the link fields and reserved words zero, of the status block only the modification time.
void encode_prn_info(const PrnInfo& info, unsigned char* out);
// Reads a record; an option count outside 0..40 is held within it, so a damaged cache never
// makes a reader walk past the record.
PrnInfo decode_prn_info(const unsigned char* in);

// The fields of a record that the job list needs, read in place: the texts are views into the
// record's bytes (up to their NUL), valid as long as those bytes are.
struct PrnInfoView {
  std::string_view file_name, job_path, filter_input, thumb_path, display_name;
  int32_t file_size = 0, pages = 0, copies = 0;
  int64_t mtime = 0;
};
PrnInfoView view_prn_info(const unsigned char* in);

}  // namespace library
