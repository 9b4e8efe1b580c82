#include "platform/foundation/RegularExpression.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::RegularExpression;

std::shared_ptr<const RegularExpression> compile(std::string_view pattern,
                                                 platform::RegularExpressionOptions options = {}) {
  auto regex = RegularExpression::create(pattern, options);
  EXPECT_TRUE(regex.ok()) << pattern << ": " << regex.status();
  return regex.ok() ? *regex : nullptr;
}

TEST(RegularExpression, SearchesAnywhereUnlessAnchored) {
  const std::string kDecimal = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";
  auto decimal = compile(kDecimal, {.caseInsensitive = true});
  struct Case {
    const char* text;
    bool matches;
  };
  const Case cases[] = {{"1", true},   {"-1.5", true}, {"+.5", true}, {"5.", true},
                        {".", false},  {"1e5", false}, {"", false},   {"1.2.3", false},
                        {" 1", false}, {"--1", false}};
  for (const auto& c : cases) EXPECT_EQ(*decimal->search(c.text), c.matches) << c.text;

  auto letter = compile("a");
  EXPECT_TRUE(*letter->search("banana"));
  EXPECT_FALSE(*letter->matchesEntireText("banana"));
  EXPECT_TRUE(*letter->matchesEntireText("a"));
  EXPECT_EQ(*letter->numberOfMatches("banana"), 3u);
}

TEST(RegularExpression, CaseInsensitiveOnlyWhenAsked) {
  auto sensitive = compile("^_ltv_[A-Z]{3}$");
  EXPECT_TRUE(*sensitive->search("_ltv_USD"));
  EXPECT_FALSE(*sensitive->search("_ltv_usd"));
  auto insensitive = compile("^_ltv_[A-Z]{3}$", {.caseInsensitive = true});
  EXPECT_TRUE(*insensitive->search("_LTV_usd"));
}

TEST(RegularExpression, MatchRangesCountUTF16Units) {
  auto regex = compile("b+");
  auto match = regex->firstMatch(
      "\xf0\x9f\x98\x80"
      "abbc");
  ASSERT_TRUE(match.ok());
  ASSERT_TRUE(match->has_value());
  EXPECT_EQ((*match)->location, 3u);  // the emoji takes two units
  EXPECT_EQ((*match)->length, 2u);
  EXPECT_EQ((*match)->text, "bb");
  EXPECT_FALSE(regex->firstMatch("xyz")->has_value());
  // Ill-formed input is read, not refused.
  EXPECT_TRUE(
      *regex->search("\xff"
                     "b"));
}

TEST(RegularExpression, InvalidPatternsAreRefused) {
  for (const char* pattern : {"(", "[a-", "a{2,1}", "*", "\\"}) {
    auto regex = RegularExpression::create(pattern);
    EXPECT_FALSE(regex.ok()) << pattern;
    if (!regex.ok()) {
      EXPECT_EQ(regex.status().code(), absl::StatusCode::kInvalidArgument);
    }
  }
}

TEST(RegularExpression, CatastrophicBacktrackingTimesOut) {
  auto regex = compile("^(a+)+$", {.timeLimit = 10});
  std::string input(64, 'a');
  input += 'b';
  auto result = regex->search(input);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.status().code(), absl::StatusCode::kDeadlineExceeded);
  // The same expression on a harmless input still works.
  EXPECT_TRUE(*regex->search("aaaa"));
  auto count = regex->numberOfMatches(input);
  EXPECT_EQ(count.status().code(), absl::StatusCode::kDeadlineExceeded);
}

TEST(RegularExpression, SharedAcrossThreads) {
  auto regex = compile("[0-9]+");
  std::vector<std::thread> threads;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (*regex->search("abc" + std::to_string(i))) ++found;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(found.load(), 800);
}

}  // namespace
