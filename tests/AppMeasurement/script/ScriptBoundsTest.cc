// The bounds of one event's run: hostile shapes end with their error (or their result) and
// leave the runtime usable; text search agrees with a plain reference search; the storage
// ledger follows what the allocator really holds.

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPTextSearch.h"
#include "tests/AppMeasurement/script/HostileShapes.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

// The parameter is the shape's position: program values must not outlive the test in static
// storage (they are released through a per-thread queue that ends before static storage does).
class HostileShapeTest : public testing::TestWithParam<size_t> {};

TEST_P(HostileShapeTest, EndsWithItsOutcomeAndTheNextEventRuns) {
  const HostileShape shape = HostileShapes()[GetParam()];
  int64_t before = APMPStorageLedger::total();
  APMPEventEditing editing;
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(HostileProgram(shape), &error));
  editing.handleEvent(APMPEvent("hostile", 1, {}), &error);
  if (shape.domain.empty()) {
    EXPECT_FALSE(error) << error->domain << " " << error->code;
  } else {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, shape.domain);
    EXPECT_EQ(error->code, shape.code) << error->domain;
  }
  error.reset();
  EXPECT_TRUE(editing.handleEvent(APMPEvent("purchase", 2, {}), &error));
  ASSERT_FALSE(error) << error->code;
  const platform::Value* edited = editing.eventContext().outputEvent().parameterForName("edited");
  ASSERT_NE(edited, nullptr);
  EXPECT_EQ(*edited, platform::Value("purchase"));
  // What the hostile event made is gone after its collection.
  EXPECT_LT(APMPStorageLedger::total() - before, 1 << 20);
}

INSTANTIATE_TEST_SUITE_P(ScriptBounds, HostileShapeTest,
                         testing::Range(size_t{0}, HostileShapes().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           std::string name;
                           const std::string full = HostileShapes()[info.param].name;
                           for (char c : full)
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

TEST(ScriptBounds, AppendsCostWhatIsAppended) {
  // let s = ""; for (let i = 0; i < 10000; i++) s = s + "ab"; and two texts made from one
  // prefix do not see each other's appends.
  APMPRuntime runtime;
  RunResult r = RunProgram(
      runtime, {letv("s", str("")), Repeat(10000, assign("s", add(var("s"), str("ab")))),
                letv("t", add(var("s"), str("t"))), letv("u", add(var("s"), str("u"))),
                print(get(var("s"), str("length"))), print(method(var("t"), "slice", {num(-3)})),
                print(method(var("u"), "slice", {num(-3)}))});
  ASSERT_FALSE(r.error) << r.error->code;
  EXPECT_EQ(r.printed, "n:20000\ns:\"abt\"\ns:\"abu\"\n");
  // About 16 evaluations per iteration, as the statements count them; copying the growing
  // text at every append would cost ten times that.
  EXPECT_LT(runtime.getInstructionCount(nullptr), 200000u);
}

// The search against the standard library's on ASCII texts, where canonical equivalence adds
// nothing: random texts over a two-letter alphabet (periodic, the worst case of naive search).
TEST(ScriptBounds, TextSearchAgreesWithAReferenceSearch) {
  std::mt19937 random(7);
  auto text = [&](size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s += random() % 4 == 0 ? u'b' : u'a';
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    std::u16string haystack = text(random() % 60);
    std::u16string needle = random() % 3 == 0
                                ? haystack.substr(random() % (haystack.size() + 1), random() % 6)
                                : text(1 + random() % 5);
    size_t from = random() % (haystack.size() + 2);
    APMPTextSearch search(haystack, needle);
    for (bool backward : {false, true}) {
      APMPTextMatch match;
      ASSERT_TRUE(search.find(from, backward, match, nullptr));
      size_t expected = needle.empty() ? std::u16string::npos
                        : backward     ? std::u16string_view(haystack).rfind(needle, from)
                                       : std::u16string_view(haystack).find(needle, from);
      EXPECT_EQ(match.position, expected)
          << APMPUTF8FromUTF16(haystack) << " / " << APMPUTF8FromUTF16(needle) << " from " << from
          << (backward ? " backward" : "");
      if (expected != std::u16string::npos) {
        EXPECT_EQ(match.length, needle.size());
      }
    }
  }
}

// Characters whose canonical decomposition is one ASCII character (Kelvin sign, Greek question
// mark, Greek varia) match that character, whichever side holds them. Positions map one to
// one, so the reference is a plain search over the texts with those characters replaced.
TEST(ScriptBounds, TextSearchMatchesCharactersThatDecomposeToASCII) {
  const char16_t alphabet[] = {u'K', u'\u212A', u';', u'\u037E', u'`', u'\u1FEF', u'a'};
  auto ascii = [](std::u16string s) {
    for (char16_t& c : s)
      c = c == u'\u212A' ? u'K' : c == u'\u037E' ? u';' : c == u'\u1FEF' ? u'`' : c;
    return s;
  };
  std::mt19937 random(11);
  auto text = [&](size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[random() % std::size(alphabet)];
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    std::u16string haystack = text(random() % 12);
    std::u16string needle = text(1 + random() % 3);
    if (round % 2 == 0) needle = ascii(needle);  // one side ASCII, as in "K" and "\u212A"
    size_t from = random() % (haystack.size() + 2);
    APMPTextSearch search(haystack, needle);
    std::u16string plain = ascii(haystack), plainNeedle = ascii(needle);
    for (bool backward : {false, true}) {
      APMPTextMatch match;
      ASSERT_TRUE(search.find(from, backward, match, nullptr));
      size_t expected = backward ? std::u16string_view(plain).rfind(plainNeedle, from)
                                 : std::u16string_view(plain).find(plainNeedle, from);
      EXPECT_EQ(match.position, expected)
          << APMPUTF8FromUTF16(haystack) << " / " << APMPUTF8FromUTF16(needle) << " from " << from
          << (backward ? " backward" : "");
    }
  }
}

TEST(ScriptBounds, TextSearchKeepsCanonicalEquivalenceOnRepeatedCalls) {
  // "é" precomposed and decomposed, searched again and again on one prepared search.
  std::u16string text = u"e\u0301x\u00E9xe\u0301";
  APMPTextSearch search(text, u"\u00E9");
  struct Case {
    size_t from;
    bool backward;
    size_t position, length;
  } cases[] = {{0, false, 0, 2}, {1, false, 3, 1},
               {4, false, 5, 2}, {6, false, std::u16string::npos, 0},
               {7, true, 5, 2},  {4, true, 3, 1}};
  for (const auto& c : cases) {
    APMPTextMatch match;
    ASSERT_TRUE(search.find(c.from, c.backward, match, nullptr));
    EXPECT_EQ(match.position, c.position) << c.from << c.backward;
    EXPECT_EQ(match.length, c.length) << c.from << c.backward;
  }
}

}  // namespace

// The ledger against the allocator: bytes requested and not yet freed, counted by the sanitizer
// allocator's hooks, independently of the runtime's own bookkeeping. Without AddressSanitizer
// there is nothing to measure against.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                              void (*)(const volatile void*)) __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void*) __attribute__((weak));
}

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long long> gLive{0};

void onMalloc(const volatile void*, size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) gLive += static_cast<long long>(size);
}

void onFree(const volatile void* p) {
  if (gCounting.load(std::memory_order_relaxed) && p != nullptr)
    gLive -= static_cast<long long>(__sanitizer_get_allocated_size(p));
}

TEST(ScriptBounds, LedgerCountsWhatTheAllocatorHolds) {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                                __sanitizer_get_allocated_size != nullptr &&
                                __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
  if (!installed) GTEST_SKIP() << "needs the sanitizer allocator's hooks";
  struct Case {
    const char* name;
    Ns program;  // keeps what it makes in the global "keep"
  } cases[] = {
      {"short pieces of a split",
       {assign("keep", method(str(std::string(200000, ',')), "split", {str(",")}))}},
      {"long pieces of a split",
       {assign("keep", method(str(std::string(100000, 'x') + "," + std::string(100000, 'y')),
                              "split", {str(",")}))}},
      {"one-unit pieces",
       {assign("keep", method(str(std::string(50000, 'z')), "split", {str("")}))}},
      {"maps with properties",
       {assign("keep", arr({})),
        Repeat(2000,
               method(var("keep"), "push", {obj({{"first", str("1")}, {"second", str("2")}})}))}},
      {"appended text",
       {assign("keep", str("")), Repeat(3000, assign("keep", add(var("keep"), str("abcd"))))}},
  };
  for (const auto& c : cases) {
    APMPRuntime runtime;
    RunProgram(runtime, {letv("keep", null())});
    int64_t ledger = APMPStorageLedger::total();
    gLive = 0;
    gCounting = true;
    RunResult r = RunProgram(runtime, c.program);
    gCounting = false;
    ASSERT_FALSE(r.error) << c.name;
    ledger = APMPStorageLedger::total() - ledger;
    long long live = gLive.load();
    // The allocator's bytes are requested sizes, the ledger adds each allocation's overhead.
    EXPECT_GE(static_cast<double>(ledger), 0.7 * static_cast<double>(live)) << c.name;
    EXPECT_LE(static_cast<double>(ledger), 2.5 * static_cast<double>(live) + 4096) << c.name;
  }
}

}  // namespace
