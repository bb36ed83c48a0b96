#include "jobdesk/options.h"

#include <gtest/gtest.h>

#include "common/fsops.h"
#include "testkit/cgi_page.h"
#include "testkit/scenario.h"
#include "webkit/html_utils.h"

namespace {

const std::string kSamples = std::string(LABELDOCK_SOURCE_DIR) + "/jobdesk/samples/";

bool has(const std::string& page, const std::string& part) {
  return page.find(part) != std::string::npos;
}

struct Schema {
  std::vector<library::PrnOption> entries;
  int ok = 0;
  std::string messages;
  webkit::Page html;  // the popup of a schema that cannot be read
  explicit Schema(const std::string& path) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    ok = jobdesk::load_print_options(&html, &entries, path, f);
    fclose(f);
    messages.assign(buf, len);
    free(buf);
  }
};

TEST(Options, SampleSchemaLoadsEveryTypeAndAttribute) {
  Schema s(kSamples + "tags.json");
  ASSERT_EQ(s.ok, 1);
  ASSERT_EQ(s.entries.size(), 7u);
  EXPECT_EQ(s.entries[0].id, 0x8601);
  EXPECT_EQ(s.entries[0].attr, 0x88);
  EXPECT_EQ(s.entries[3].type, 5);
  EXPECT_EQ(s.entries[3].choices.size(), 4u);
  EXPECT_EQ(s.entries[4].decimals, 2);
  EXPECT_EQ(s.entries[4].css_class, "readonly");
  EXPECT_EQ(s.entries[6].min, -5);
  EXPECT_EQ(s.messages, "");
}

TEST(Options, SchemaFaultsStopTheLoadWithTheirMessage) {
  testkit::TempRoot root;
  struct Case {
    const char* doc;
    int ok;
    size_t entries;
    const char* message;
  } cases[] = {
      {R"({"Other": []})", 0, 0, "Unable to load print options\n"},
      {R"({"Tags": {"a": 1}})", 0, 0, "Unable to load print options Tags not array\n"},
      {R"({"Tags": [{"id": "a", "Value": 5}, 7, {"id": "c"}]})", 0, 3,
       "Unable to load print options unxpected object\n"},
      {R"({"Tags": [{"Name": "L", "type": 5, "options": 3}]})", 1, 1,
       "failed to load options for L\n"},
  };
  for (const Case& c : cases) {
    std::string path = root.path() + "/tags.json";
    ASSERT_TRUE(ld::write_file_atomic(path, c.doc));
    Schema s(path);
    EXPECT_EQ(s.ok, c.ok) << c.doc;
    EXPECT_EQ(s.entries.size(), c.entries) << c.doc;
    EXPECT_EQ(s.messages, c.message) << c.doc;
    // After an early stop the entries read stay and the rest are empty.
    if (c.entries == 3) {
      EXPECT_EQ(s.entries[0].field_id, "a");
      EXPECT_EQ(s.entries[0].id, 5);
      EXPECT_EQ(s.entries[2].field_id, "");
    }
  }
  Schema missing(root.path() + "/none.json");
  EXPECT_EQ(missing.ok, 0);
  std::string page = testkit::page_text(&missing.html);
  EXPECT_TRUE(has(page, "var popup_title=\"unable to show tags\"")) << page;
}

TEST(Options, OversizedSchemaIsHeldToTheRecord) {
  testkit::TempRoot root;
  std::string doc = "{\"Tags\": [";
  for (int i = 0; i < 45; ++i) {
    // 98 ASCII bytes and a two-byte character: the cut may not split it.
    doc += std::string(i ? "," : "") + "{\"Name\": \"" + std::string(98, 'n') + "\xC3\xA4\", " +
           "\"id\": \"" + std::string(30, 'i') + "\", \"Value\": " + std::to_string(i) + "}";
  }
  std::string path = root.path() + "/tags.json";
  ASSERT_TRUE(ld::write_file_atomic(path, doc + "]}"));
  Schema s(path);
  EXPECT_EQ(s.ok, 1);
  ASSERT_EQ(s.entries.size(), 40u);
  EXPECT_EQ(s.entries[39].id, 39);
  EXPECT_EQ(s.entries[0].name, std::string(98, 'n'));
  EXPECT_EQ(s.entries[0].field_id, std::string(19, 'i'));
  EXPECT_EQ(s.messages, "Unable to load print options beyond 40 of 45\n");
}

TEST(Options, UnitsDecidedOnceFromTheFirstJob) {
  JsonTree inch = JsonTree::parse(R"({"status-local": {"DispUnits": "inch"}})");
  JsonTree mm = JsonTree::parse(R"({"status-local": {"DispUnits": "mm"}})");
  struct Case {
    int value;
    JsonNode* local;
    int metric;
  } cases[] = {{2, inch.top(), 1}, {1, mm.top(), 0}, {3, mm.top(), 0},
               {0, inch.top(), 0}, {0, mm.top(), 1}, {0, nullptr, 0}};
  for (const Case& c : cases) {
    int decided = -1;
    EXPECT_EQ(jobdesk::units_metric(c.value, c.local, &decided), c.metric) << c.value;
    EXPECT_EQ(jobdesk::units_metric(2, c.local, &decided), c.metric) << "kept";
  }
}

library::PrnInfo job_with(const std::vector<library::PrnOption>& schema, int pages) {
  library::PrnInfo info;
  info.pages = pages;
  info.copies = 1;
  info.options = schema;
  for (auto& o : info.options) {
    o.found = 1;
    o.display = "1";
  }
  return info;
}

TEST(Options, FormOfAOnePageJobWithoutCutter) {
  Schema s(kSamples + "tags.json");
  library::PrnInfo info = job_with(s.entries, 1);
  info.options[5].found = 0;  // the job lacks the speed item
  webkit::Page html;
  jobdesk::show_options(&html, info, jobdesk::FormContext{});
  std::string page = testkit::page_text(&html);
  EXPECT_FALSE(has(page, "id='from_tr'"));
  EXPECT_TRUE(has(page, "id='tddummy'"));
  EXPECT_FALSE(has(page, "id='cut_tr'"));        // cutter only
  EXPECT_FALSE(has(page, "id='cutcopies_tr'"));  // cutter only
  EXPECT_FALSE(has(page, "id='speed_tr'"));      // not in the job
  // 2 fixed rows, tearoff, media, gaplen, darkness.
  EXPECT_TRUE(has(page, "<script>var n_options=6;\nvar n_options_orig = 6;</script>\n"));
  EXPECT_FALSE(has(page, "opt_sliderbox"));
  EXPECT_TRUE(has(page, "<script>var print_opts = ['doPrint','doCancel','doDelete','quality',"
                        "'dm_copies','tearoff','media','gaplen','darkness'];</script>\n"));
  EXPECT_TRUE(has(page, "id='tearoff' name='tearoff' class='nbox' value='1' data-mode='2' "
                        "data-media='0' data-oneonly='128'"));
  EXPECT_TRUE(has(page, "id='darkness' name='darkness' value='1' placeholder='0' data-mode='0' "
                        "data-media='2'"));
  EXPECT_TRUE(has(page, "id='gaplen_disp' class='ttext' size='5' readonly "));
}

TEST(Options, FormOfAMultiPageJobWithCutterAndChoices) {
  Schema s(kSamples + "tags.json");
  library::PrnInfo info = job_with(s.entries, 3);
  info.options[3].display = "3";
  info.quality = -3;
  webkit::Page html;
  jobdesk::FormContext ctx;
  ctx.cutter = 1;
  ctx.metric = 1;
  jobdesk::show_options(&html, info, ctx);
  std::string page = testkit::page_text(&html);
  EXPECT_TRUE(has(page, "<!-- FIELD_ENTRY --><tr id='from_tr'"));
  EXPECT_TRUE(has(page, "id='tdCollate'"));
  EXPECT_TRUE(has(page, "id='cut' name='cut' class='nbox' value='1' data-mode='0' "
                        "data-media='0' data-oneonly='128'"));
  EXPECT_TRUE(has(page, "id='cutcopies' name='cutcopies' class='nbox' value='1' data-mode='1'"));
  EXPECT_TRUE(has(page, "<script>var media_options = ['Continuous','Gap','Black mark','Die-cut'];"
                        "</script>\n"));
  EXPECT_TRUE(has(page, "data-mode='0' data-media='11'"));  // 0x45: media flag + 2 * 5
  EXPECT_TRUE(has(page, "id='media_opt_3' class='options_popup_option_highlight'"));
  EXPECT_TRUE(has(page, ">Die-cut</div></td>"));
  EXPECT_TRUE(has(page, "\n<!-- end of options div 3 --></div>\n"));
  EXPECT_TRUE(has(page, "<script>var n_options=11;"));  // 2 + 2 + 7
  EXPECT_TRUE(has(page, "opt_sliderbox"));
  EXPECT_TRUE(has(page, ">Normal</div>"));
  EXPECT_TRUE(has(page, "id='disp_units' name='disp_units' value='2'"));

  info.options[3].display = "9";  // past the last choice: the last is shown
  jobdesk::show_options(&html, info, ctx);
  EXPECT_TRUE(
      has(testkit::page_text(&html), "id='media_opt_3' class='options_popup_option_highlight'"));
}

TEST(Options, SchemaTextsCannotRunScript) {
  library::PrnOption o;
  o.found = 1;
  o.name = "<script>alert(1)</script>";
  o.field_id = "x'y";
  o.display = "'\"><b>";
  library::PrnInfo info = job_with({o}, 1);
  info.options[0].display = o.display;
  webkit::Page html;
  jobdesk::show_options(&html, info, jobdesk::FormContext{});
  std::string page = testkit::page_text(&html);
  EXPECT_FALSE(has(page, "<script>alert"));
  EXPECT_FALSE(has(page, "<b>"));
  EXPECT_FALSE(has(page, "x'y"));
}

TEST(Options, KeypadHasThirteenKeysAndTwoActions) {
  webkit::Page html;
  jobdesk::show_keypad(&html);
  std::string page = testkit::page_text(&html);
  size_t keys = 0;
  for (size_t at = 0; (at = page.find("class='nk-but' ", at)) != std::string::npos; ++at) ++keys;
  EXPECT_EQ(keys, 13u);
  EXPECT_TRUE(has(page, "data-value='bksp' onclick='nk_but(this)'><span class='ui-key'>&#9003;"));
  EXPECT_TRUE(has(page, ">Accept</div>"));
}

}  // namespace
