// The uploads page's text within its bounds: a bundle's JSON indented as the JSON library
// indents it, escaping cut only between characters, and a page whose first upload is larger than
// the page still leads on. (What deep nesting and long names make of a page: the service's own
// tests, MeasurementServiceTest.)
#include "tools/measurement-service/UploadsPage.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using measurement_service::UploadsPage;
using measurement_service::UploadStore;

TEST(UploadsPageTest, IndentsAsTheJsonLibraryDoes) {
  const char* cases[] = {
      R"({"a":1,"b":[1,2,{"c":null}],"d":{}})",
      R"([[],[[]],{},{"e":{"f":[true,false]}}])",
      R"({"quotes \" and \\":"{[,:]}","x":"\\","y":"\"}"})",
      R"({"name":"\u0001 caf\u00e9 \u2026","n":-1.5e-07,"m":18446744073709551615})",
      R"("alone")",
      R"(42)",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    const nlohmann::ordered_json value = nlohmann::ordered_json::parse(text);
    const std::optional<std::string> indented = UploadsPage::indentedJson(value.dump(), 1 << 20);
    ASSERT_TRUE(indented);
    EXPECT_EQ(*indented, value.dump(2));
  }
}

TEST(UploadsPageTest, EscapingIsCutBetweenCharacters) {
  struct Case {
    std::string text;
    size_t maxBytes;
    std::string out;
    bool whole;
  } cases[] = {
      {"a<b", 6, "a&lt;b", true},           {"a<b", 5, "a&lt;", false}, {"a<b", 4, "a", false},
      {"\u00e9\u00e9", 3, "\u00e9", false},  // two bytes each: the second is left out whole
      {"\u2026\"", 3, "\u2026", false},     {"\u2026\"", 2, "", false}, {"", 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " in " + std::to_string(c.maxBytes));
    std::string out;
    EXPECT_EQ(UploadsPage::appendEscaped(out, c.text, c.maxBytes), c.whole);
    EXPECT_EQ(out, c.out);
  }
}

// A page whose first upload does not fit shows it as far as it fits and links past it, never to
// itself; a later upload that does not fit is left whole to the next page.
TEST(UploadsPageTest, APageAlwaysLeadsOn) {
  auto uploadOf = [](int64_t id, int bundles) {
    UploadStore::UploadSummaryRow upload;
    upload.id = id;
    upload.bundleCount = bundles;
    for (int b = 0; b < bundles; ++b) {
      upload.bundles.push_back({.appID = {.text = "app", .characters = 3},
                                .bundleIndex = b,
                                .json = "\"" + std::string(6000, 'x') + "\""});
    }
    return upload;
  };
  UploadsPage first(10000);
  EXPECT_FALSE(first.add(uploadOf(7, 5)));
  EXPECT_EQ(first.count(), 1u);
  EXPECT_FALSE(first.add(uploadOf(6, 1)));
  const std::string cut = std::move(first).finish(7);
  EXPECT_LE(cut.size(), 10000u);
  EXPECT_NE(cut.find("<h2>Upload 7 "), std::string::npos);
  EXPECT_NE(cut.find("bundle index 0,"), std::string::npos);
  EXPECT_NE(cut.find("... and 4 more bundles"), std::string::npos);
  EXPECT_EQ(cut.find("<h2>Upload 6 "), std::string::npos);
  EXPECT_NE(cut.find("<a href=\"/?before=7\">Older uploads</a>"), std::string::npos);

  UploadsPage later(20000);  // two bundles fit, five do not
  EXPECT_TRUE(later.add(uploadOf(7, 2)));
  EXPECT_FALSE(later.add(uploadOf(6, 3)));
  EXPECT_EQ(later.count(), 1u);
  const std::string page = std::move(later).finish(7);
  EXPECT_EQ(page.find("<h2>Upload 6 "), std::string::npos);
  EXPECT_EQ(page.find("more bundles"), std::string::npos);
}

}  // namespace
