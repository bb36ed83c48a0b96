#include "webkit/html_utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace webkit {
namespace {

class HtmlUtils : public ::testing::Test {
 protected:
  Page page;
};

// What a print function writes, and its result.
template <typename F>
std::string capture(F print, long* result = nullptr) {
  testkit::CapturedFile f;
  long r = print(f.get());
  if (result) *result = r;
  return f.text();
}

TEST_F(HtmlUtils, HtmlResponseWithoutBodyCarriesTheFrameAndItsExactLength) {
  long r = 0;
  std::string out = capture([&](FILE* f) { return page.print_html(f); }, &r);
  const std::string content = "<HTML><HEAD></HEAD>\n</HTML>\n";
  EXPECT_EQ(out, "Content-length: " + std::to_string(content.size()) +
                     "\r\nContent-Type:text/html;charset=utf-8\r\n\r\n" + content);
  EXPECT_EQ(r, static_cast<long>(out.size()));
}

TEST_F(HtmlUtils, HtmlResponseWritesHeadThenBodyLinesAsStored) {
  page.add_body_line("<p>a\nb</p>");
  page.add_head_line("<title>x</title>\n");
  page.add_body_line2("", "2");
  page.add_body_line3("3", "4", "5");
  page.take_body_line(std::string("6\n"));
  EXPECT_EQ(page.get_body_length(),
            std::string("<HTML><HEAD><title>x</title>\n<p>a\nb</p>23456\n").size());
  std::string out = capture([&](FILE* f) { return page.print_html(f); });
  const std::string content = "<HTML><HEAD><title>x</title>\n</HEAD>\n<p>a\nb</p>23456\n</HTML>\n";
  EXPECT_EQ(out, "Content-length: " + std::to_string(content.size()) +
                     "\r\nContent-Type:text/html;charset=utf-8\r\n\r\n" + content);
}

TEST_F(HtmlUtils, JsonResponseIsTheBodyOnly) {
  page.add_body_line("{ \"a\": 1 }\n");
  EXPECT_EQ(capture([&](FILE* f) { return page.print_json(f); }),
            "Content-length: 11\r\nContent-Type:application/json;charset=iso-8859-1\r\n\r\n{ "
            "\"a\": 1 }\n");
  page = Page{};
  page.add_head_line("h");
  page.add_body_line("b");
  EXPECT_EQ(capture([&](FILE* f) { return page.print_json(f); }),
            "Content-length: "
            "14\r\nContent-Type:application/json;charset=iso-8859-1\r\n\r\n<HTML><HEAD>hb");
}

// A list page is thousands of lines, more than one system call takes, and a pipe to the web
// server takes part of a write when a signal comes in: the reply must still arrive whole and
// in order. A timer signal without SA_RESTART keeps interrupting the writes while the reader
// takes the reply slowly.
TEST_F(HtmlUtils, LongReplyThroughAnInterruptedPipeArrivesWhole) {
  std::string expected_body;
  for (int i = 0; i < 5000; ++i) {
    std::string line = "<tr><td>row " + std::to_string(i) + "</td></tr>\n";
    if (i % 7 == 0) line = "";  // empty lines are kept too
    page.add_body_line(line);
    expected_body += line;
  }
  struct sigaction tick {}, old {};
  tick.sa_handler = [](int) {};
  ::sigaction(SIGALRM, &tick, &old);  // no SA_RESTART: writes come back short
  itimerval every{{0, 200}, {0, 200}}, off{};
  ::setitimer(ITIMER_REAL, &every, nullptr);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  std::string got;
  std::thread reader([&] {
    char buf[1000];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) != 0) {
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      ::usleep(20);
    }
    ::close(p[0]);
  });
  FILE* out = ::fdopen(p[1], "w");
  long written = page.print_html(out);
  std::fclose(out);
  reader.join();
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &old, nullptr);
  const std::string content = "<HTML><HEAD></HEAD>\n" + expected_body + "</HTML>\n";
  const std::string expected = "Content-length: " + std::to_string(content.size()) +
                               "\r\nContent-Type:text/html;charset=utf-8\r\n\r\n" + content;
  EXPECT_EQ(written, static_cast<long>(expected.size()));
  EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
}

// A stream without a descriptor (in memory) gets the same bytes, and a reply the reader has
// closed on is a failure.
TEST_F(HtmlUtils, ReplyToAStreamInMemoryAndToAClosedReader) {
  page.add_body_line("a");
  page.add_body_line("");
  page.add_body_line("b");
  char* text = nullptr;
  size_t size = 0;
  FILE* mem = ::open_memstream(&text, &size);
  const std::string expected = "Content-length: 2\r\nContent-Type:application/json;charset=iso-8859-1\r\n\r\nab";
  ASSERT_EQ(page.print_json(mem), static_cast<long>(expected.size()));
  std::fclose(mem);
  EXPECT_EQ(std::string(text, size), expected);
  std::free(text);

  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ::close(p[0]);
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ign, &old);
  FILE* out = ::fdopen(p[1], "w");
  EXPECT_EQ(page.print_json(out), -1);
  std::fclose(out);
  ::sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(HtmlUtils, BodyLineTopGoesBehindTheFirstLine) {
  struct Case {
    std::vector<std::string> before;
    std::string expected;
  } cases[] = {{{}, "N"}, {{"A"}, "AN"}, {{"A", "B"}, "ANB"}, {{"A", "B", "C"}, "ANBC"}};
  for (const auto& c : cases) {
    page = Page{};
    for (const auto& l : c.before) page.add_body_line(l);
    page.add_body_line_top("N");
    std::string out = capture([&](FILE* f) { return page.print_json(f); });
    EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), c.expected);
  }
}

TEST_F(HtmlUtils, OutputFromFileAddsLinesInPiecesOfAtMost999Bytes) {
  testkit::TempRoot root;
  std::string path = root.path() + "/lines.txt";
  std::string longline(2500, 'x');
  testkit::spit(path, "one\n" + longline + "\nlast without newline");
  page.output_from_file(path);
  page.output_from_file(root.path() + "/missing.txt");
  std::string out = capture([&](FILE* f) { return page.print_json(f); });
  EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), "one\n" + longline + "\nlast without newline");
  EXPECT_EQ(page.get_body_length(), 4 + 2501 + 20u);
}

TEST(DecodeValue, Table) {
  struct Case {
    std::string raw;
    std::string expected;
  } cases[] = {
      {"x%41+y", "xA y"},
      {"%e4%C3%a4", "\xe4\xc3\xa4"},  // lower-case digits are accepted too
      {"100%", "100%"},               // a "%" without two characters after it stays
      {"%4", "%4"},
      {"%zz%4g", "%zz%4g"},           // not hexadecimal: copied as is
      {"a%00b", "a%00b"},             // no NUL byte inside a value
      {"%2B+%26", "+ &"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_value(c.raw, 99), c.expected) << c.raw;
  EXPECT_EQ(decode_value("abcdef", 3), "abc");
  EXPECT_EQ(decode_value("%41%42%43", 2), "AB");
}

TEST(SearchParam, Table) {
  const std::string v150(150, 'v');
  const std::string n600(600, 'n');
  struct Case {
    const char* text;
    const char* name;
    std::optional<std::string> expected;
  } cases[] = {
      {"a=1&b=x%41+y", "b", "xA y"},
      {"a=1", "b", std::nullopt},
      {"b=&a=1", "b", ""},
      {"a=1&b=", "b", ""},
      {"saveprn=1&prn=job", "prn", "job"},    // only where a parameter begins
      {"prn=job&saveprn=1", "prn", "job"},
      {"saveprn=1", "prn", std::nullopt},
      {"prn=x+printq=1+delete=0", "printq", std::nullopt},  // a key inside a value is no key
      {"prn=Invoice delp=Price&delp=a", "delp", "a"},
      {"a==1&=2", "", std::nullopt},                       // an empty name is no key
      {"a=1\nb=2&c=3", "a", "1\nb=2"},         // a newline does not end the value here
      {nullptr, "a", std::nullopt},
      {"a=1", nullptr, std::nullopt},
      {"", "a", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(searchParam(c.text, c.name), c.expected) << (c.text ? c.text : "(null)") << " / " << (c.name ? c.name : "(null)");

  // Bounds: long values are cut at 99 bytes, names too long to search for are never found.
  std::string text = "long=" + v150 + "&next=2";
  EXPECT_EQ(searchParam(text.c_str(), "long"), std::string(99, 'v'));
  EXPECT_EQ(searchParam(text.c_str(), "next"), "2");
  std::string named = n600 + "=1";
  EXPECT_EQ(searchParam(named.c_str(), n600.c_str()), std::nullopt);
  std::string n498(498, 'n');
  std::string fits = n498 + "=ok";
  EXPECT_EQ(searchParam(fits.c_str(), n498.c_str()), "ok");
}

TEST(GetIntParam, ConvertsLikeAtoi) {
  struct Case {
    const char* query;
    int expected;
  } cases[] = {
      {"n=42", 42},  {"n=+7", 7},   {"n=%20-12x", -12}, {"n=abc", 0}, {"n=", 0},
      {"m=5", 0},    {"n=99999999999", INT_MAX},       {"n=-99999999999", INT_MIN},
  };
  const Page page;
  for (const auto& c : cases) EXPECT_EQ(page.getIntParam(c.query, "n"), c.expected) << c.query;
  EXPECT_EQ(page.getIntParam(nullptr, "n"), 0);
}

TEST(ParseUrl, SplitsIntoPairsInReverseOrder) {
  using L = ParamList;
  struct Case {
    std::string text;
    L expected;
  } cases[] = {
      {"list=0&sortby=name", L{{"sortby", "name"}, {"list", "0"}}},
      {"a=1\nb=x+y%21", L{{"b", "x y!"}, {"a", "1"}}},
      {"a&b=1", L{{"a&b", "1"}}},          // "&" does not end a name
      {"a=1&tail", L{{"a", "1"}}},         // no "=" left: the rest is ignored
      {"a=&=2&", L{{"", "2"}, {"a", ""}}},
      {"n%41=1", L{{"n%41", "1"}}},        // names are not decoded
      {"", L{}},
  };
  for (const auto& c : cases) {
    L got = parse_url(c.text);
    ASSERT_EQ(got.size(), c.expected.size()) << c.text;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.expected[i].name) << c.text;
      EXPECT_EQ(got[i].value, c.expected[i].value) << c.text;
    }
  }
  L big = parse_url(std::string(300, 'n') + "=" + std::string(1500, 'v') + "&x=1");
  ASSERT_EQ(big.size(), 2u);
  EXPECT_EQ(big[0].name, "x");
  EXPECT_EQ(big[1].name, std::string(199, 'n'));
  EXPECT_EQ(big[1].value, std::string(999, 'v'));
}

TEST(GetParamValues, CollectsRepeatedNamesUpToMax) {
  struct Case {
    const char* text;
    int max;
    std::vector<std::string> expected;
  } cases[] = {
      {"delp=a&delp=b&delp=c", 2, {"a", "b"}},
      {"delp=a&delp=b&delp=c", 10, {"a", "b", "c"}},
      {"x=1&delp=a%20b&y=2&xdelp=c", 10, {"a b"}},
      {"prn=Invoice delp=Price tag&delp=b", 10, {"b"}},
      {"delp=", 5, {""}},
      {"x=1", 5, {}},
      {"delp=a", 0, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> slots;
    EXPECT_EQ(getParamValues(c.text, "delp", &slots, c.max), static_cast<int>(c.expected.size())) << c.text;
    EXPECT_EQ(slots, c.expected) << c.text;
  }
}

// Runs in a fresh temporary folder as working directory, where the persistence file lives.
class Persistence : public HtmlUtils {
 protected:
  void SetUp() override {
    old_cwd_ = get_current_dir_name();
    ASSERT_EQ(chdir(root_.path().c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(old_cwd_), 0);
    std::free(old_cwd_);
  }
  std::string file() const { return root_.path() + "/.page.data"; }
  testkit::TempRoot root_;
  char* old_cwd_ = nullptr;
};

TEST_F(Persistence, MissingFileGivesNoFallbackAndNoList) {
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(page.load_persistence_data("page", "list=1"), std::nullopt);
  EXPECT_EQ(cap.err(), "unable to open file <.page.data>\n");
  EXPECT_TRUE(page.persistence_list().empty());
  EXPECT_EQ(page.getParam("a=1", "list"), std::nullopt);
}

TEST_F(Persistence, ZeroByteFileMakesTheDefaultTheListButGivesNoFallback) {
  testkit::spit(file(), "");
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(page.load_persistence_data("page", "list=1&sort=name"), std::nullopt);
  EXPECT_EQ(cap.err(), "empty persistance data file. using default [list=1&sort=name]\n");
  ASSERT_EQ(page.persistence_list().size(), 2u);
  EXPECT_EQ(page.persistence_list()[0].name, "sort");
  EXPECT_EQ(page.getParam("", "list"), std::nullopt);
  EXPECT_EQ(page.save_persistence_data("page"), 1);
  EXPECT_EQ(testkit::slurp(file()), "sort=name&list=1");
}

TEST_F(Persistence, QueryFirstThenSavedValues) {
  testkit::spit(file(), "list=1&filter=a b");
  EXPECT_EQ(page.load_persistence_data("page", "list=0"), "list=1&filter=a b");
  struct Case {
    const char* query;
    const char* name;
    std::optional<std::string> expected;
  } cases[] = {
      {"list=2", "list", "2"},
      {"x=1", "list", "1"},
      {nullptr, "filter", "a b"},
      {"x=1", "sort", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(page.getParam(c.query, c.name), c.expected) << c.name;
  EXPECT_EQ(page.getIntParam("x=1", "list"), 1);
}

// Two responses built in one process (tests, or a run that builds a second page) share neither
// lines nor remembered settings.
TEST_F(Persistence, TwoPagesInOneProcessKeepTheirOwnLinesAndSettings) {
  testkit::spit(file(), "list=1");
  Page other;
  page.load_persistence_data("page", "");
  page.add_body_line("mine");
  other.add_body_line("theirs");
  EXPECT_EQ(page.getParam("", "list"), "1");
  EXPECT_EQ(other.getParam("", "list"), std::nullopt);
  EXPECT_TRUE(other.persistence_list().empty());
  EXPECT_EQ(capture([&](FILE* f) { return other.print_json(f); }),
            "Content-length: 6\r\nContent-Type:application/json;charset=iso-8859-1\r\n\r\ntheirs");
  EXPECT_EQ(page.get_body_length(), 4u);
}

TEST_F(Persistence, ReplaceAndSaveRoundTrip) {
  testkit::spit(file(), "list=1&sort=name");
  page.load_persistence_data("page", "");
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(page.replace_persistent_data("list", "0"), 1);
  EXPECT_EQ(page.replace_persistent_data("filter", "a&b"), 0);
  EXPECT_EQ(page.replace_persistent_data(nullptr, "x"), 0);
  EXPECT_EQ(page.replace_persistent_data("x", nullptr), 0);
  EXPECT_EQ(cap.err(),
            "replace_persistent_data not found  <filter> -> <a&b> \n"
            "replace_persistent_data  <filter> -> <a&b> done \n");
  // The fallback keeps the values read at start.
  EXPECT_EQ(page.getParam("", "list"), "1");
  EXPECT_EQ(page.save_persistence_data("page"), 1);
  EXPECT_EQ(testkit::slurp(file()), "filter=a%26b&sort=name&list=0");
  for (const auto& name : testkit::list_dir(root_.path()))
    EXPECT_EQ(name.find(".page.data."), std::string::npos) << name;  // no temporary left over
}

TEST_F(Persistence, UnchangedSettingsAreNotWrittenAgain) {
  testkit::spit(file(), "list=1&sort=name");
  struct stat before {}, after {};
  ASSERT_EQ(::stat(file().c_str(), &before), 0);
  page.load_persistence_data("page", "");
  EXPECT_EQ(page.replace_persistent_data("list", "1"), 1);
  EXPECT_EQ(page.save_persistence_data("page"), 1);
  ASSERT_EQ(::stat(file().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // a write would have renamed a new file over it
}

TEST_F(Persistence, AnyTypedTextComesBackAsTyped) {
  for (const char* typed : {"a&b=c", "100%", "1+1", "a b", "x%26y", "tab\there", "=&=&"}) {
    testkit::spit(file(), "list=1");
    page.load_persistence_data("page", "");
    page.replace_persistent_data("filter", typed);
    ASSERT_EQ(page.save_persistence_data("page"), 1);
    page = Page{};
    page.load_persistence_data("page", "");
    EXPECT_EQ(page.getParam("", "filter"), typed) << testkit::slurp(file());
    EXPECT_EQ(page.getParam("", "list"), "1") << typed;
    ASSERT_EQ(page.persistence_list().size(), 2u) << typed;
    for (const auto& pair : page.persistence_list()) {
      if (pair.name == "filter") {
        EXPECT_EQ(pair.value, typed);
      }
    }
    page = Page{};
  }
}

TEST_F(Persistence, UnwritableFileIsReported) {
  ASSERT_EQ(::mkdir(".page.data", 0755), 0);  // a folder where the file should be
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(page.save_persistence_data("page"), 0);
  EXPECT_EQ(cap.err(), "ERROR save_persistence_data cannot open .page.data\n");
}

TEST(HtmlEscape, Table) {
  struct Case {
    std::string in;
    std::string expected;
  } cases[] = {
      {"plain name.prn", "plain name.prn"},
      {"a \"q\" \\ b", "a &quot;q&quot; \\ b"},
      {"<b>&'x'</b>", "&lt;b&gt;&amp;&#39;x&#39;&lt;/b&gt;"},
      {"K\xc3\xa4se\n", "K\xc3\xa4se\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(html_escape(c.in), c.expected) << c.in;
}

TEST(JsonEscape, Table) {
  struct Case {
    std::string in;
    std::string expected;
  } cases[] = {
      {"plain name.prn", "plain name.prn"},
      {"a \"q\" \\ b/c", "a \\\"q\\\" \\\\ b/c"},
      {"<b>&'x'", "<b>&'x'"},
      {"t\tn\nr\r\x01\x1f\x7f", "t\\tn\\nr\\r\\u0001\\u001f\\u007f"},
      {std::string("a\0b", 3), "a\\u0000b"},
      {"K\xc3\xa4se", "K\\u00e4se"},                        // UTF-8
      {"\xe2\x82\xac", "\\u20ac"},
      {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"},               // beyond the BMP
      {"K\xe4se", "K\\u00e4se"},                            // not UTF-8: taken as Latin-1
      {"\xc3", "\\u00c3"},                                  // cut sequence
      {"\xe2\x82", "\\u00e2\\u0082"},
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},            // encoded surrogate
      {"\xc0\xaf", "\\u00c0\\u00af"},                       // overlong
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"}, // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.expected) << c.in;
}

}  // namespace
}  // namespace webkit
