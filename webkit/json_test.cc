#include "webkit/json.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

// Declarations only: the numbers the installed jsmn uses.
#define JSMN_HEADER
#include <jsmn.h>

namespace {


// Parses with the messages captured; the trees go with this object, at the end of the test.
class QuietParser {
 public:
  JsonNode* operator()(const std::string& text, std::string* err = nullptr) {
    testkit::Capture cap(testkit::kStderr);
    trees_.push_back(JsonTree::parse(text));
    std::string e = cap.err();
    if (err != nullptr) *err = e;
    return trees_.back().top();
  }

 private:
  std::vector<JsonTree> trees_;
};

TEST(Json, TokenTypesAndErrorCodesAreThePrintedNumbers) {
  QuietParser parse_quiet;
  EXPECT_EQ(JSMN_OBJECT, 1);
  EXPECT_EQ(JSMN_ARRAY, 2);
  EXPECT_EQ(JSMN_STRING, 3);
  EXPECT_EQ(JSMN_PRIMITIVE, 4);
  EXPECT_EQ(JSMN_ERROR_NOMEM, -1);
  EXPECT_EQ(JSMN_ERROR_INVAL, -2);
  EXPECT_EQ(JSMN_ERROR_PART, -3);

  JsonNode* top = parse_quiet(R"({"t":{"o":{},"a":[],"s":"x","p":12}})");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->type, 1);
  EXPECT_EQ(getJSONObject("t.o", top)->type, 1);
  EXPECT_EQ(getJSONObject("t.a", top)->type, 2);
  EXPECT_EQ(getJSONObject("t.s", top)->type, 3);
  EXPECT_EQ(getJSONObject("t.p", top)->type, 4);
}

TEST(Json, LookupsByPath) {
  QuietParser parse_quiet;
  JsonNode* top = parse_quiet(
      R"({"a": {"b": 5, "c": "0x1F", "e": "", "f": 2.9, "g": true, "h": "42", "i": -7,)"
      R"( "j": "0xFFFFFFFF", "k": 99999999999, "q": "say \"hi\"", "n": null,)"
      R"( "Tags": [{"Name": "x", "id": "0x10"}, {"Name": "y", "id": "17"}], "arr": [1, 2]}})");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->path, "a");
  EXPECT_EQ(top->parent, nullptr);
  EXPECT_EQ(top->size, 13);

  struct Case {
    const char* path;
    const char* val;  // getJSONObjectVal
    int integer;      // getJSONObjectInt
  } cases[] = {
      {"a.b", "5", 5},
      {"a.c", "0x1F", 31},          // hexadecimal also inside a string
      {"a", "", 0},                 // a container has no text
      {"a.e", "", 0},
      {"a.f", "2.9", 2},            // the fraction is cut off
      {"a.g", "true", 0},
      {"a.n", "null", 0},
      {"a.h", "42", 0},             // digits in a string are not a number here
      {"a.i", "-7", -7},
      {"a.j", "0xFFFFFFFF", -1},    // 32-bit two's complement on every platform
      {"a.k", "99999999999", 2147483647},
      {"a.q", "say \\\"hi\\\"", 0},  // escapes stay as written
      {"a.Tags.2.Name", "y", 0},
      {"a.Tags.1", "", 0},
      {"a.arr.1", "1", 1},
      {"a.arr.2", "2", 2},          // also when the array closes the document
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(getJSONObjectVal(c.path, top), c.val);
    testkit::Capture cap(testkit::kStderr);
    EXPECT_EQ(getJSONObjectInt(c.path, top), c.integer);
    EXPECT_EQ(cap.err(), "");
  }

  testkit::Capture missing(testkit::kStderr);
  EXPECT_EQ(getJSONObjectInt("a.d", top), 0);
  EXPECT_EQ(missing.err(), "Object a.d not found\n");
  EXPECT_STREQ(getJSONObjectVal("a.d", top), "");
  EXPECT_EQ(getJSONObject("a.d", top), nullptr);
  EXPECT_EQ(getJSONObject("A.b", top), nullptr);  // case matters
  EXPECT_EQ(getJSONObject("a.b", nullptr), nullptr);

  EXPECT_STREQ(getJSONByKeyVal("a.Tags", 2, "Name", top), "y");
  EXPECT_STREQ(getJSONByKeyVal("a.Tags", 3, "Name", top), "");
  EXPECT_EQ(getJSONByKeyInt("a.Tags", 1, "id", top), 16);
  EXPECT_EQ(getJSONByKeyInt("a.Tags", 2, "id", top), 17);  // a string of digits counts here
  testkit::Capture no_key(testkit::kStderr);
  EXPECT_EQ(getJSONByKeyInt("a.Tags", 3, "id", top), 0);
  EXPECT_EQ(no_key.err(), "");

  const char* fallback = "%d-%m-%y";
  EXPECT_STREQ(getJSONKeyVal("a.b", top, fallback), "5");
  EXPECT_EQ(getJSONKeyVal("a.e", top, fallback), fallback);  // empty value
  EXPECT_EQ(getJSONKeyVal("a.x", top, fallback), fallback);
  EXPECT_EQ(getJSONKeyVal("a", top, fallback), fallback);
  EXPECT_EQ(getJSONKeyVal("a.b", nullptr, fallback), fallback);

  JsonNode* tag2 = getJSONObject("a.Tags.2", top);
  ASSERT_NE(tag2, nullptr);
  EXPECT_EQ(tag2->key, "2");
  EXPECT_EQ(tag2->parent, getJSONObject("a.Tags", top));
  EXPECT_EQ(getJSONObject("a.Tags.2.Name", tag2)->value, "y");  // search from a subtree
}

TEST(Json, OnlyTheFirstTopLevelMemberIsReachableAndFirstMatchWins) {
  QuietParser parse_quiet;
  JsonNode* top = parse_quiet(R"({"a": {"x.y": 1, "x": {"y": 2}}, "b": {"z": 3}})");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(getJSONObject("b", top), nullptr);
  EXPECT_EQ(getJSONObject("b.z", top), nullptr);
  EXPECT_STREQ(getJSONObjectVal("a.x.y", top), "1");
}

TEST(Json, LoadFailuresSayWhy) {
  QuietParser parse_quiet;
  testkit::TempRoot root;
  testkit::Capture missing(testkit::kStderr);
  EXPECT_EQ(get_json(root("/nothing.json")), nullptr);
  EXPECT_EQ(missing.err(), "unable to open " + root("/nothing.json") + "\n");
  testkit::Capture folder(testkit::kStderr);
  EXPECT_EQ(get_json(root("/print")), nullptr);  // a folder opens but cannot be read
  EXPECT_EQ(folder.err(), "Error reading file");

  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"", "Object expected\n"},
      {"{}", "Object expected\n"},
      {"[{\"a\":1}]", "Object expected\n"},
      {"\"a\"", "Object expected\n"},
      {"{\"a\":1}}", "Failed to parse JSON: -2\n"},
      {"{\"a\":\"\\q\"}", "Failed to parse JSON: -2\n"},
      {"{\"a\":[1,2}", "Failed to parse JSON: -2\n"},
      {"{\"a\":{\"b\":1}", "Failed to parse JSON: -3\n"},
      {"{\"a\":\"open", "Failed to parse JSON: -3\n"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(parse_quiet(c.text, &err), nullptr) << c.text;
    EXPECT_EQ(err, c.message) << c.text;
  }

  // A loader given a stream says it there; given none (the stuck-job watchdog's look at the
  // printer, once a second while a send waits), it fails without a word.
  testkit::CapturedFile msg;
  EXPECT_FALSE(JsonTree::load(root("/nothing.json"), msg.get()));
  EXPECT_FALSE(JsonTree::parse("{\"a\":1}}", msg.get()));
  EXPECT_EQ(msg.take(), "unable to open " + root("/nothing.json") + "\nFailed to parse JSON: -2\n");
  testkit::Capture none(testkit::kStderr);
  EXPECT_FALSE(JsonTree::load(root("/nothing.json"), nullptr));
  EXPECT_FALSE(JsonTree::load(root("/print"), nullptr));
  EXPECT_FALSE(JsonTree::parse("{\"a\":1}}", nullptr));
  EXPECT_FALSE(JsonTree::parse("[]", nullptr));
  EXPECT_EQ(none.err(), "");
  EXPECT_EQ(msg.take(), "");

  // 1000 tokens fit, 1001 do not: object, key, array and its elements.
  auto doc = [](int elements) {
    std::string s = "{\"a\":[";
    for (int i = 0; i < elements; ++i) s += i ? ",0" : "0";
    return s + "]}";
  };
  JsonNode* top = parse_quiet(doc(997));
  ASSERT_NE(top, nullptr);
  EXPECT_STREQ(getJSONObjectVal("a.997", top), "0");
  std::string err;
  EXPECT_EQ(parse_quiet(doc(998), &err), nullptr);
  EXPECT_EQ(err, "Failed to parse JSON: -1\n");

  // The text ends at its first zero byte.
  top = parse_quiet(std::string("{\"a\":{\"b\":1}}\0garbage", 21));
  ASSERT_NE(top, nullptr);
  EXPECT_STREQ(getJSONObjectVal("a.b", top), "1");
}

TEST(Json, FileDocumentsStayValidAcrossLoadsUntilFreed) {
  testkit::TempRoot root;
  testkit::spit(root("/var/www/html/cgi-bin/system.json"),
                R"({"system": {"SystemState": "Online", "Cutter": 1}})");
  testkit::spit(root("/local.json"), R"({"status-local": {"DateFormatStr": "%d.%m.%Y"}})");
  testkit::Capture cap(testkit::kStderr);
  JsonNode* sys = get_json(root("/var/www/html/cgi-bin/system.json"));
  JsonNode* local = get_json(root("/local.json"));
  EXPECT_EQ(cap.err(), "");
  ASSERT_NE(sys, nullptr);
  ASSERT_NE(local, nullptr);
  EXPECT_STREQ(getJSONObjectVal("system.SystemState", sys), "Online");
  EXPECT_EQ(getJSONObjectInt("system.Cutter", sys), 1);
  EXPECT_STREQ(getJSONKeyVal("status-local.DateFormatStr", local, "x"), "%d.%m.%Y");
  free_json(sys);
  free_json(nullptr);
  EXPECT_STREQ(getJSONObjectVal("status-local.DateFormatStr", local), "%d.%m.%Y");
  free_json(local);
}

// A daemon reloads its documents for as long as it runs: each tree goes with its handle, and
// handles do not disturb each other.
TEST(Json, OwningHandleKeepsItsTreeUntilItGoes) {
  testkit::TempRoot root;
  const std::string path = root("/system.json");
  JsonTree kept;
  for (const char* state : {"Online", "Paused", "Online"}) {
    testkit::spit(path, std::string(R"({"system": {"SystemState": ")") + state + "\"}}");
    JsonTree t = JsonTree::load(path);
    ASSERT_TRUE(t);
    EXPECT_STREQ(getJSONObjectVal("system.SystemState", t.top()), state);
    if (std::string(state) == "Paused") kept = std::move(t);
  }
  EXPECT_FALSE(JsonTree());
  EXPECT_STREQ(getJSONObjectVal("system.SystemState", kept.top()), "Paused");
  free_json(kept.top());  // still owned by the handle: ignored
  EXPECT_STREQ(getJSONObjectVal("system.SystemState", kept.top()), "Paused");

  // Failures print what get_json prints and leave an empty handle.
  testkit::Capture cap(testkit::kStderr);
  EXPECT_FALSE(JsonTree::load(root("/none.json")));
  EXPECT_FALSE(JsonTree::parse("{}"));
  EXPECT_EQ(cap.err(), "unable to open " + root("/none.json") + "\nObject expected\n");

  // Released, the tree outlives the handle until free_json.
  JsonNode* top = JsonTree::parse(R"({"a": {"b": 1}})").release();
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(getJSONObjectInt("a.b", top), 1);
  free_json(getJSONObject("a.b", top));  // not the top: ignored
  free_json(top);
  EXPECT_EQ(JsonTree().release(), nullptr);
}

TEST(Json, ShowObjectWritesTheTree) {
  QuietParser parse_quiet;
  JsonNode* top = parse_quiet(R"({"s": {"a": [1, {"b": "x"}], "c": {}}})");
  ASSERT_NE(top, nullptr);
  testkit::Capture cap(testkit::kStderr);
  show_object(top);
  show_object(nullptr);
  EXPECT_EQ(cap.err(), "s\ns.a\ns.a.1 = 1\ns.a.2\ns.a.2.b = x\ns.c\n");
}

TEST(Json, NonStringKeysAreReportedAndTolerated) {
  QuietParser parse_quiet;
  testkit::Capture cap(testkit::kStdout);
  JsonNode* top = parse_quiet(R"({"a": {7: "x", "b": 1}})");
  std::fflush(stdout);
  EXPECT_EQ(cap.out(), "ERROR at token 3 type = 4\n");
  ASSERT_NE(top, nullptr);
  EXPECT_STREQ(getJSONObjectVal("a.7", top), "x");
  EXPECT_STREQ(getJSONObjectVal("a.b", top), "1");
}

TEST(Json, EveryTruncationAndHostileShapeLoadsOrFailsWithoutCrashing) {
  QuietParser parse_quiet;
  const std::string valid =
      R"({"system": {"SystemState": "Online", "Media": {"Width": 1024, "Tags": [{"Name": "x"},)"
      R"( {"Name": "y\"z"}, [1, [2, {}]]], "Hex": "0x8514"}, "Flag": false}})";
  ASSERT_NE(parse_quiet(valid), nullptr);
  for (size_t n = 0; n < valid.size(); ++n) {
    JsonNode* top = parse_quiet(valid.substr(0, n));
    if (top != nullptr) getJSONObjectVal("system.Media.Tags.2.Name", top);
  }
  // Shapes a lenient tokeniser accepts whose sizes do not match a member list: the tree is
  // cut short, never read past the tokens.
  const char* hostile[] = {
      R"({"a" "b" "c"})", R"({"a"})", R"({"a":{"b"}})", R"({{}:1})", R"({"a":[{"b":1,"c"}]})",
      R"({"a":1,"b"})",   R"({:})",   R"({"a":::})",    "{\"a\":\x01}", R"({"a":{"b":[,,]}})",
  };
  for (const char* h : hostile) {
    testkit::Capture parsing(testkit::kStdout);
    JsonNode* top = parse_quiet(h);
    parsing.out();
    testkit::Capture showing(testkit::kStderr);
    show_object(top);
    showing.err();
    getJSONObject("a.b.c", top);
  }
}

TEST(Json, DeepNestingUsesNoDeepRecursion) {
  QuietParser parse_quiet;
  // 997 nested arrays: within the token limit, far deeper than any real document.
  std::string s = "{\"a\":";
  for (int i = 0; i < 998; ++i) s += "[";
  for (int i = 0; i < 998; ++i) s += "]";
  s += "}";
  JsonNode* top = parse_quiet(s);
  ASSERT_NE(top, nullptr);
  std::string deepest = "a";
  for (int i = 0; i < 997; ++i) deepest += ".1";
  JsonNode* n = getJSONObject(deepest, top);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->type, JSON_ARRAY);
  EXPECT_EQ(n->size, 0);
  testkit::Capture cap(testkit::kStderr);
  show_object(top);
  size_t expected = 0;
  for (int level = 0; level < 998; ++level) expected += 1 + 2 * level + 1;  // "a.1...1\n"
  EXPECT_EQ(cap.err().size(), expected);
  free_json(top);
}

}  // namespace
