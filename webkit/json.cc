#include "webkit/json.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "common/handles.h"

// jsmn is header-only: this is the one file that compiles it, with internal linkage.
#define JSMN_STATIC
#include <jsmn.h>

static_assert(int{JSMN_OBJECT} == JSON_OBJECT && int{JSMN_ARRAY} == JSON_ARRAY &&
              int{JSMN_STRING} == JSON_STRING && int{JSMN_PRIMITIVE} == JSON_PRIMITIVE,
              "node types are printed with jsmn's numbers");
static_assert(JSMN_ERROR_NOMEM == JSON_ERROR_NOMEM && JSMN_ERROR_INVAL == JSON_ERROR_INVAL &&
              JSMN_ERROR_PART == JSON_ERROR_PART,
              "parse errors are printed with jsmn's numbers");

// The nodes of one document; the first is the top node. A deque keeps node addresses stable
// while it grows.
struct JsonDoc {
  std::deque<JsonNode> nodes;
};

namespace {

// One parse: the text, its tokens, the next token to take and the document being built. Nodes
// never point into the text or the tokens: every node text is a copy.
struct Build {
  std::string_view text;
  const jsmntok_t* tokens = nullptr;
  int ntokens = 0;
  int current = 0;
  JsonDoc* doc = nullptr;
};

// A new copy of a token's text; empty when its bounds are not inside the text.
std::string getToken(const Build& b, const jsmntok_t& t) {
  if (t.start < 0 || t.end < t.start || static_cast<size_t>(t.end) > b.text.size()) return {};
  return std::string(
      b.text.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start)));
}

// Builds one node from the tokens after the current one, but not its children: a member
// (position 0) takes a key token and a value token, an array element (position > 0) its own
// token. Null when the tokens are not there.
JsonNode* build_node(Build& b, JsonNode* parent, int position) {
  ++b.current;
  int needed = position == 0 ? 2 : 1;
  if (b.current < 0 || b.current + needed > b.ntokens) return nullptr;
  JsonNode& n = b.doc->nodes.emplace_back();
  n.parent = parent;
  if (position == 0) {
    const jsmntok_t& k = b.tokens[b.current];
    if (k.type != JSMN_STRING)
      std::printf("ERROR at token %d type = %d\n", b.current, static_cast<int>(k.type));
    n.key = getToken(b, k);
    ++b.current;
  } else {
    n.key = std::to_string(position);
  }
  const jsmntok_t& v = b.tokens[b.current];
  n.type = static_cast<int>(v.type);
  n.size = v.type == JSMN_OBJECT || v.type == JSMN_ARRAY ? v.size : 0;
  if (n.size < 0) n.size = 0;
  n.path = parent != nullptr ? parent->path + "." + n.key : n.key;
  if (n.size > 0) n.children.assign(static_cast<size_t>(n.size), nullptr);
  else if (v.type == JSMN_STRING || v.type == JSMN_PRIMITIVE) n.value = getToken(b, v);
  return &n;
}

// Builds a node and its whole subtree in one pass over the tokens. Each child consumes exactly
// the tokens of its subtree, so the children of a container are built in order; an explicit
// stack instead of recursion keeps a deeply nested document off the call stack.
JsonNode* build_tree(Build& b, JsonNode* parent, int position) {
  JsonNode* top = build_node(b, parent, position);
  if (top == nullptr) return nullptr;
  struct Frame {
    JsonNode* node;
    size_t next;
  };
  std::vector<Frame> stack;
  if (!top->children.empty()) stack.push_back({top, 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.node->children.size()) {
      stack.pop_back();
      continue;
    }
    JsonNode* container = f.node;
    size_t slot = f.next++;
    int pos = container->type == JSON_ARRAY ? static_cast<int>(slot) + 1 : 0;
    JsonNode* child = build_node(b, container, pos);
    container->children[slot] = child;
    if (child != nullptr && !child->children.empty()) stack.push_back({child, 0});  // f is stale now
  }
  return top;
}

// Reads a whole document file, bounded by kJsonMaxBytes; false after the message.
bool read_document(const std::string& file_path, std::string* text, FILE* msg) {
  ld::UniqueFd fd(::open(file_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (msg != nullptr) std::fprintf(msg, "unable to open %s\n", file_path.c_str());
    return false;
  }
  char buf[16384];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || text->size() + static_cast<size_t>(r) > kJsonMaxBytes) {
      if (msg != nullptr) std::fprintf(msg, "Error reading file");
      return false;
    }
    if (r == 0) return true;
    text->append(buf, static_cast<size_t>(r));
  }
}

bool starts_hex(const char* s) { return s[0] == '0' && s[1] == 'x'; }

int hex_value(const char* digits) {
  errno = 0;
  unsigned long long v = std::strtoull(digits, nullptr, 16);
  if (errno == ERANGE || v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
  return static_cast<int>(static_cast<uint32_t>(v));
}

int decimal_value(const char* text) {
  errno = 0;
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

std::string element_path(std::string_view prefix, int position, std::string_view key) {
  std::string p(prefix);
  p += '.';
  p += std::to_string(position);
  p += '.';
  p += key;
  return p;
}

}  // namespace

JsonTree::JsonTree() = default;
JsonTree::JsonTree(std::unique_ptr<JsonDoc> doc) : doc_(std::move(doc)) {}
JsonTree::~JsonTree() = default;
JsonTree::JsonTree(JsonTree&&) noexcept = default;
JsonTree& JsonTree::operator=(JsonTree&&) noexcept = default;

JsonNode* JsonTree::top() const {
  return doc_ && !doc_->nodes.empty() ? &doc_->nodes.front() : nullptr;
}

JsonNode* JsonTree::release() {
  JsonNode* t = top();
  if (t == nullptr) return nullptr;
  t->owner = doc_.release();  // free_json finds the document through its top node
  return t;
}

JsonTree JsonTree::parse(std::string_view text, FILE* msg) {
  Build b;
  b.text = text.substr(0, text.find('\0'));
  std::vector<jsmntok_t> tokens(kJsonMaxTokens);
  jsmn_parser parser;
  jsmn_init(&parser);
  b.ntokens = jsmn_parse(&parser, b.text.data(), b.text.size(), tokens.data(), kJsonMaxTokens);
  if (b.ntokens < 0) {
    if (msg != nullptr) std::fprintf(msg, "Failed to parse JSON: %d\n", b.ntokens);
    return {};
  }
  // An empty object has no member to be the top node.
  if (b.ntokens < 1 || tokens[0].type != JSMN_OBJECT || tokens[0].size < 1) {
    if (msg != nullptr) std::fprintf(msg, "Object expected\n");
    return {};
  }
  b.tokens = tokens.data();
  auto doc = std::make_unique<JsonDoc>();
  b.doc = doc.get();
  JsonNode* top = build_tree(b, nullptr, 0);
  if (top == nullptr) return {};
  return JsonTree(std::move(doc));
}

JsonTree JsonTree::load(const std::string& file_path, FILE* msg) {
  std::string text;
  if (!read_document(file_path, &text, msg)) return {};
  return parse(text, msg);
}

JsonNode* parse_json(std::string_view text) { return JsonTree::parse(text).release(); }

JsonNode* get_json(const std::string& file_path) { return JsonTree::load(file_path).release(); }

void free_json(JsonNode* top) {
  if (top == nullptr || top->parent != nullptr || top->owner == nullptr) return;
  if (top->owner->nodes.empty() || &top->owner->nodes.front() != top) return;
  delete top->owner;
}

JsonNode* getJSONObject(std::string_view path, JsonNode* node) {
  if (node == nullptr) return nullptr;
  // Depth first in document order, with the pending siblings on an explicit stack.
  std::vector<JsonNode*> stack{node};
  while (!stack.empty()) {
    JsonNode* n = stack.back();
    stack.pop_back();
    if (n->path == path) return n;
    for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
      if (*it != nullptr) stack.push_back(*it);
  }
  return nullptr;
}

const char* getJSONObjectVal(std::string_view path, JsonNode* node) {
  JsonNode* n = getJSONObject(path, node);
  if (n == nullptr || (n->type != JSON_STRING && n->type != JSON_PRIMITIVE)) return "";
  return n->value.c_str();
}

int getJSONObjectInt(std::string_view path, JsonNode* node) {
  JsonNode* n = getJSONObject(path, node);
  if (n == nullptr) {
    std::fprintf(stderr, "Object %.*s not found\n", static_cast<int>(path.size()), path.data());
    return 0;
  }
  const char* v = n->value.c_str();
  if (starts_hex(v)) return hex_value(v + 2);
  if (n->type == JSON_PRIMITIVE) return decimal_value(v);
  return 0;
}

const char* getJSONKeyVal(std::string_view path, JsonNode* node, const char* fallback) {
  if (node == nullptr) return fallback;
  const char* v = getJSONObjectVal(path, node);
  return *v == '\0' ? fallback : v;
}

const char* getJSONByKeyVal(std::string_view prefix, int position, std::string_view key, JsonNode* node) {
  return getJSONObjectVal(element_path(prefix, position, key), node);
}

int getJSONByKeyInt(std::string_view prefix, int position, std::string_view key, JsonNode* node) {
  const char* v = getJSONByKeyVal(prefix, position, key, node);
  return starts_hex(v) ? hex_value(v + 2) : decimal_value(v);
}

void show_object(JsonNode* node) {
  std::vector<JsonNode*> stack;
  if (node != nullptr) stack.push_back(node);
  while (!stack.empty()) {
    JsonNode* n = stack.back();
    stack.pop_back();
    if (n->type == JSON_OBJECT || n->type == JSON_ARRAY) {
      std::fprintf(stderr, "%s\n", n->path.c_str());
      for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
        if (*it != nullptr) stack.push_back(*it);
    } else {
      std::fprintf(stderr, "%s = %s\n", n->path.c_str(), n->value.c_str());
    }
  }
}
