// Read-only access to the appliance's JSON documents (system.json, local.json, tags.json, ...):
// a document is tokenised with jsmn and turned into a tree whose every node carries its full
// dotted path ("system.SystemState", "Tags.3.Name"; array elements count from 1).
#pragma once
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

struct JsonNode {
  JsonNode* parent = nullptr;  // none for the top node
  int type = JSON_UNDEFINED;   // JSON_OBJECT ... JSON_PRIMITIVE
  int size = 0;                // keys of an object, elements of an array, 0 for a scalar
  std::string key;             // member key, or the element's position from 1 as decimal text
  std::string path;            // parent's path "." key; just the key for the top node
  std::string value;           // string or primitive: the raw text (no quotes, escapes as written)
  // Object or array: `size` slots in document order; a slot stays null when the document ran
  // out of tokens for it.
  std::vector<JsonNode*> children;
};

// Reads and parses a document file. Returns the node of the document's first top-level member,
// or null after one line on standard error: "unable to open %s\n", "Error reading file",
// "Failed to parse JSON: %d\n" or "Object expected\n". The tree stays valid until the end of
// the process, or until free_json; later loads never touch it.
JsonNode* get_json(const std::string& file_path);
// The same for a document already in memory (read up to its first zero byte).
JsonNode* parse_json(std::string_view text);
// Releases a tree returned by get_json/parse_json; anything else is ignored. A program that
// reloads a document again and again (the printer gate) frees the old tree each time.
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
