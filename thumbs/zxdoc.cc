#include "thumbs/zxdoc.h"

namespace thumbs {
namespace {

// The start chunk that an end chunk closes; -1 when the type closes nothing.
int opener_of(uint32_t type) {
  switch (type) {
    case zjs::END_DOC: return zjs::START_DOC;
    case zjs::END_PAGE: return zjs::START_PAGE;
    case zjs::END_JBIG: return zjs::JBIG_BIH;  // the group a JBIG_BIH opened
    case zjs::END_PLANE: return zjs::START_PLANE;
    case zjs::ZX_END: return zjs::ZX_START;
    default: return -1;
  }
}

bool opens(uint32_t type) {
  return type == zjs::START_DOC || type == zjs::START_PAGE || type == zjs::JBIG_BIH ||
         type == zjs::START_PLANE || type == zjs::ZX_START;
}

}  // namespace

bool ZxDoc::open(const std::string& path, std::string* err) {
  path_ = path;
  return reader_.open_regular(path, err);
}

ZxObject* ZxDoc::add(int kind, ZxObject* parent) {
  objects_.push_back(std::make_unique<ZxObject>());
  ZxObject* o = objects_.back().get();
  o->kind = kind;
  o->parent = parent;
  parent->children.push_back(o);
  return o;
}

int ZxDoc::read() {
  bool no_enter = false;
  int pjl = sniff_pjl(reader_, &no_enter);
  if (pjl == kLangUnidentified && no_enter) skip_pjl_tail(reader_);
  else if (pjl == kLangUnidentified) {
    language_ = kLangUnidentified;
    return kZjsBadSignature;
  }
  int sig = sniff_zjs(reader_);
  if (sig == 0) {
    language_ = kLangUnidentified;
    return kZjsBadSignature;
  }
  language_ = kLangZjs;
  little_ = sig == 2;
  reader_.skip(4);

  ZxObject* open_obj = &root_;
  Chunk c;
  for (;;) {
    int rc = read_chunk(reader_, little_, &c);
    if (rc != kZjsOk) return rc;
    if (zjs::chunk_class(c.type) == zjs::kClassNone) continue;  // unknown types are stepped over
    if (objects_.size() >= kMaxObjects) return kZjsNoMemory;
    int closes = opener_of(c.type);
    if (closes >= 0) {
      // Close the innermost open object of that kind (and whatever is still open inside it).
      for (ZxObject* o = open_obj; o != &root_; o = o->parent) {
        if (o->kind == closes) {
          open_obj = o->parent;
          break;
        }
      }
      continue;
    }
    if (opens(c.type)) {
      // A start chunk of a kind that is still open (its end chunk went missing) closes it first.
      for (ZxObject* o = open_obj; o != &root_; o = o->parent) {
        if (o->kind == static_cast<int>(c.type)) {
          open_obj = o->parent;
          break;
        }
      }
    }
    ZxObject* o = add(static_cast<int>(c.type), open_obj);
    o->attrs = std::move(c.attrs);
    o->payload_offset = c.payload_offset;
    o->payload_len = c.payload_len;
    if (opens(c.type)) open_obj = o;
    if (c.type == zjs::START_PAGE && pages_.size() < static_cast<size_t>(kMaxPages)) pages_.push_back(o);
  }
}

const ZxObject* ZxDoc::find_page(int n, int* count) {
  if (count) *count = page_count();
  if (n < 0 || n >= page_count()) return nullptr;
  pages_[static_cast<size_t>(n)]->uses++;
  return pages_[static_cast<size_t>(n)];
}

bool has_own_attr(const ZxObject* obj, uint16_t id, uint32_t* value) {
  for (const ChunkAttr& a : obj->attrs) {
    if (a.id == id) {
      if (value) *value = a.value;
      return true;
    }
  }
  return false;
}

bool find_attr(const ZxObject* obj, uint16_t id, uint32_t* value) {
  for (; obj != nullptr; obj = obj->parent)
    if (has_own_attr(obj, id, value)) return true;
  return false;
}

uint32_t get_attr(const ZxObject* obj, uint16_t id, uint32_t dflt) {
  uint32_t v;
  return find_attr(obj, id, &v) ? v : dflt;
}

const ZxObject* first_child(const ZxObject* obj) {
  return obj != nullptr && !obj->children.empty() ? obj->children.front() : nullptr;
}

}  // namespace thumbs
