// The document tree of a job: "ZXLO" objects opened by start chunks and closed by their end
// chunks, with their items as attributes (looked up through the ancestors), payload chunks as
// leaves that remember where their bytes lie in the file, and the pages in document order.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "thumbs/zjsreader.h"

namespace thumbs {

struct ZxObject {
  char tag[4] = {'Z', 'X', 'L', 'O'};
  int kind = -1;  // chunk type that made it; -1 for the document root
  ZxObject* parent = nullptr;
  std::vector<ZxObject*> children;  // stream order
  std::vector<ChunkAttr> attrs;
  uint64_t payload_offset = 0;  // payload chunks: where the bytes lie in the job file
  uint64_t payload_len = 0;
  int uses = 0;  // page lookups that returned this object
};

constexpr int kMaxPages = 1000;
// Objects kept per job; a job with more chunks than this stops being read ("Out of memory"),
// so a stream of tiny chunks cannot eat the board's memory.
constexpr size_t kMaxObjects = 200000;

class ZxDoc {
 public:
  // Opens the job file; false (with *err) when it cannot be opened.
  bool open(const std::string& path, std::string* err);
  // Detects the language and builds the tree from all chunks. Returns the chunk result that
  // ended the reading (kZjsEnd for a complete job); what was read before an error stays.
  int read();

  const std::string& path() const { return path_; }
  int language() const { return language_; }
  bool little_endian() const { return little_; }
  const ZxObject* root() const { return &root_; }
  int page_count() const { return static_cast<int>(pages_.size()); }
  // The page object (pages from 0), or null when n is not below the page count.
  const ZxObject* find_page(int n, int* count = nullptr);
  int fd() const { return reader_.fd(); }
  uint64_t file_size() const { return reader_.file_size(); }
  size_t object_count() const { return objects_.size(); }

 private:
  ZxObject* add(int kind, ZxObject* parent);

  zjs::Reader reader_;
  std::string path_;
  ZxObject root_;
  std::deque<std::unique_ptr<ZxObject>> objects_;
  std::vector<ZxObject*> pages_;
  int language_ = kLangUnidentified;
  bool little_ = false;
};

// The attribute of obj or of its nearest ancestor that has it; dflt when none does.
uint32_t get_attr(const ZxObject* obj, uint16_t id, uint32_t dflt);
// The same search, telling whether any object on the way has the attribute.
bool find_attr(const ZxObject* obj, uint16_t id, uint32_t* value);
// Whether obj itself (no ancestors) carries the attribute.
bool has_own_attr(const ZxObject* obj, uint16_t id, uint32_t* value = nullptr);
const ZxObject* first_child(const ZxObject* obj);

}  // namespace thumbs
