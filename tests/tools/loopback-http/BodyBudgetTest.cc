// The bytes of request bodies a server holds at once: what fits goes, what does not waits (the
// body that holds least first, then in order), and nothing waits for good.
#include "tools/loopback-http/BodyBudget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using loopback::BodyBudget;

constexpr size_t kMiB = size_t{1} << 20;

TEST(BodyBudgetTest, TakesWhatFitsAndAlwaysTheSmallOnes) {
  struct Case {
    const char* name;
    std::vector<size_t> held;  // taken before
    size_t asked;
    bool taken;
  };
  const Case cases[] = {
      {"fits", {4 * kMiB}, 8 * kMiB, true},
      {"fills it exactly", {8 * kMiB}, 8 * kMiB, true},
      {"one byte beyond", {16 * kMiB}, 1 + BodyBudget::kAlwaysTaken, false},
      {"small ones always", {16 * kMiB}, BodyBudget::kAlwaysTaken, true},
      {"larger than the whole, nothing held", {}, 64 * kMiB, true},
      {"larger than the whole, something held", {kMiB}, 64 * kMiB, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BodyBudget budget(16 * kMiB);
    for (size_t bytes : c.held) ASSERT_TRUE(budget.take({0}, bytes));
    EXPECT_EQ(budget.take({0}, c.asked), c.taken);
  }
}

TEST(BodyBudgetTest, WaitingBodiesGoInOrderOnceRoomIsGivenBack) {
  BodyBudget budget(16 * kMiB);
  ASSERT_TRUE(budget.take({0}, 12 * kMiB));
  std::vector<std::string> resumed;
  budget.wait({0}, 8 * kMiB, [&] { resumed.push_back("first, 8 MiB"); });
  const BodyBudget::Ticket withdrawn =
      budget.wait({0}, kMiB, [&] { resumed.push_back("withdrawn"); });
  budget.wait({0}, 2 * kMiB, [&] { resumed.push_back("third, 2 MiB"); });
  budget.cancel(withdrawn);
  // A body that would fit now does not pass the ones waiting before it.
  EXPECT_FALSE(budget.take({0}, kMiB));
  EXPECT_TRUE(budget.take({0}, BodyBudget::kAlwaysTaken)) << "small bodies never wait";
  budget.give(BodyBudget::kAlwaysTaken);
  EXPECT_TRUE(resumed.empty());
  budget.give(12 * kMiB);
  EXPECT_EQ(resumed, (std::vector<std::string>{"first, 8 MiB", "third, 2 MiB"}));
  EXPECT_EQ(budget.held(), 10 * kMiB) << "taken for the bodies resumed";
  EXPECT_EQ(budget.waiting(), 0u);
}

// Peers that trickle large bodies hold what they sent; once the budget is full, a new body (an
// upload the library sends) goes before their next mebibyte, and no body grows while one that
// holds less waits.
TEST(BodyBudgetTest, RoomGoesFirstToTheBodyThatHoldsLeast) {
  BodyBudget budget(4 * kMiB);
  ASSERT_TRUE(budget.take({0}, kMiB));     // a slow body's first mebibyte
  ASSERT_TRUE(budget.take({kMiB}, kMiB));  // and its second
  ASSERT_TRUE(budget.take({0}, kMiB));     // another body
  ASSERT_TRUE(budget.take({0}, kMiB));     // a third: full
  std::vector<std::string> resumed;
  budget.wait({2 * kMiB}, kMiB, [&] { resumed.push_back("the slow one's third"); });
  budget.wait({kMiB}, kMiB, [&] { resumed.push_back("the other's second"); });
  budget.wait({0}, kMiB, [&] { resumed.push_back("a new body's first"); });
  budget.give(kMiB);
  EXPECT_EQ(resumed, std::vector<std::string>{"a new body's first"});
  // Room for one more: the body holding least takes it, though the slow one asked first.
  budget.give(kMiB);
  EXPECT_EQ(resumed.back(), "the other's second");
  EXPECT_FALSE(budget.take({3 * kMiB}, kMiB)) << "full";
  budget.give(2 * kMiB);
  EXPECT_EQ(resumed.back(), "the slow one's third");
  // Room left, but a body holding as much as one waiting does not pass it.
  budget.wait({kMiB}, 2 * kMiB, [&] { resumed.push_back("waits for 2 MiB"); });
  EXPECT_FALSE(budget.take({kMiB}, kMiB));
  EXPECT_TRUE(budget.take({0}, kMiB)) << "one that holds less does";
  EXPECT_EQ(resumed.size(), 3u);
}

// Among bodies that hold alike, the shorter declared goes first: peers declaring long bodies
// cannot keep out an upload of the library's size.
TEST(BodyBudgetTest, AmongBodiesHoldingAlikeTheShorterGoesFirst) {
  BodyBudget budget(2 * kMiB);
  ASSERT_TRUE(budget.take({0, 16 * kMiB}, 2 * kMiB));
  std::vector<std::string> resumed;
  budget.wait({0, 16 * kMiB}, kMiB, [&] { resumed.push_back("16 MiB declared"); });
  budget.wait({0}, kMiB, [&] { resumed.push_back("none declared"); });
  budget.wait({0, 200000}, 200000, [&] { resumed.push_back("200,000 bytes"); });
  EXPECT_FALSE(budget.take({0, 16 * kMiB}, kMiB)) << "behind the shorter one";
  budget.give(kMiB);
  EXPECT_EQ(resumed, std::vector<std::string>{"200,000 bytes"});
  budget.give(kMiB);
  budget.give(200000);
  EXPECT_EQ(resumed,
            (std::vector<std::string>{"200,000 bytes", "16 MiB declared", "none declared"}));
}

}  // namespace
