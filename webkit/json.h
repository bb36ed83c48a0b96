// Read-only access to the appliance's JSON documents (system.json, local.json, tags.json, ...):
// a document is tokenised with jsmn and turned into a tree whose every node carries its full
// dotted path ("system.SystemState", "Tags.3.Name"; array elements count from 1).
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Node types, numbered as jsmn numbers its tokens and as the diagnostics print them.
enum JsonType { JSON_UNDEFINED = 0, JSON_OBJECT = 1, JSON_ARRAY = 2, JSON_STRING = 3, JSON_PRIMITIVE = 4 };

// Tokens one document may have; a longer document fails with JSON_ERROR_NOMEM.
constexpr int kJsonMaxTokens = 1000;
// Largest document read; a bigger file fails like a read error.
constexpr size_t kJsonMaxBytes = 4u << 20;
// Tokeniser results printed as "Failed to parse JSON: %d".
constexpr int JSON_ERROR_NOMEM = -1;  // more than kJsonMaxTokens tokens
constexpr int JSON_ERROR_INVAL = -2;  // invalid character
constexpr int JSON_ERROR_PART = -3;   // document ends early

struct JsonDoc;  // the nodes of one document, all owned together

struct JsonNode {
  JsonNode* parent = nullptr;  // none for the top node
  JsonDoc* owner = nullptr;    // top node of a released tree: the document, for free_json
  int type = JSON_UNDEFINED;   // JSON_OBJECT ... JSON_PRIMITIVE
  int size = 0;                // keys of an object, elements of an array, 0 for a scalar
  std::string key;             // member key, or the element's position from 1 as decimal text
  std::string path;            // parent's path "." key; just the key for the top node
  std::string value;           // string or primitive: the raw text (no quotes, escapes as written)
  // Object or array: `size` slots in document order; a slot stays null when the document ran
  // out of tokens for it.
  std::vector<JsonNode*> children;
};

// One parsed document, owned: the tree goes with the handle. For programs that load documents
// again and again (the printer gate asks once a second); nothing is shared between handles or
// kept between loads.
class JsonTree {
 public:
  JsonTree();
  ~JsonTree();
  JsonTree(JsonTree&&) noexcept;
  JsonTree& operator=(JsonTree&&) noexcept;

  // As get_json and parse_json, their messages written to `msg` (none when it is null); an empty
  // handle when they fail.
  static JsonTree load(const std::string& file_path, FILE* msg = stderr);
  static JsonTree parse(std::string_view text, FILE* msg = stderr);

  // The node of the document's first top-level member; null for an empty handle.
  JsonNode* top() const;
  explicit operator bool() const { return top() != nullptr; }
  // Gives the tree up: it lives on until free_json(top) or the end of the process.
  JsonNode* release();

 private:
  explicit JsonTree(std::unique_ptr<JsonDoc> doc);
  std::unique_ptr<JsonDoc> doc_;
};

// Reads and parses a document file. Returns the node of the document's first top-level member,
// or null after one line on standard error: "unable to open %s\n", "Error reading file",
// "Failed to parse JSON: %d\n" or "Object expected\n". The tree stays valid until the end of
// the process (programs that run once and end never free it), or until free_json; later loads
// never touch it.
JsonNode* get_json(const std::string& file_path);
// The same for a document already in memory (read up to its first zero byte).
JsonNode* parse_json(std::string_view text);
// Releases a tree returned by get_json/parse_json (or JsonTree::release), once; null, nodes that
// do not head such a tree and trees a JsonTree still owns are ignored.
void free_json(JsonNode* top);

// The first node, depth first in document order, in the subtree of `node` whose path equals
// `path` exactly; null when there is none or node is null.
JsonNode* getJSONObject(std::string_view path, JsonNode* node);
// The text of a string or primitive found at `path`; "" otherwise. Never null.
const char* getJSONObjectVal(std::string_view path, JsonNode* node);
// The integer at `path`: "0x..." is hexadecimal, a primitive is decimal (a fraction is cut off;
// true, false and null give 0), anything else 0. Not found: "Object %s not found\n" on standard
// error and 0. Decimal values saturate at the int range; hexadecimal ones above 0xFFFFFFFF
// saturate there and are taken as 32-bit two's complement (0xFFFFFFFF is -1).
int getJSONObjectInt(std::string_view path, JsonNode* node);
// The text at `path`, or `fallback` when node is null or the value is missing or empty.
const char* getJSONKeyVal(std::string_view path, JsonNode* node, const char* fallback);
// The text at "prefix.position.key" (an element's member); "" when missing.
const char* getJSONByKeyVal(std::string_view prefix, int position, std::string_view key, JsonNode* node);
// The integer at "prefix.position.key": "0x..." hexadecimal, otherwise decimal, so a string of
// digits gives its value and a missing key 0 (without a message).
int getJSONByKeyInt(std::string_view prefix, int position, std::string_view key, JsonNode* node);

// Writes the subtree to standard error: a container's path on a line, then its children; a
// scalar as "path = value".
void show_object(JsonNode* node);
