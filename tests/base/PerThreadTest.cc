#include "base/per_thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/base_init.h"

namespace base {
namespace {

using ::testing::HasSubstr;

std::atomic<int> destroyed_first{0};
std::atomic<int> destroyed_second{0};
PerThread::Key first_key = PerThread::kUnallocated;
PerThread::Key second_key = PerThread::kUnallocated;

void DestroyFirst(void* value) {
  destroyed_first += static_cast<int>(reinterpret_cast<intptr_t>(value));
  // A destructor that stores a value for another key: a later pass destroys it.
  *PerThread::Data(second_key, true) = reinterpret_cast<void*>(intptr_t{100});
}

void DestroySecond(void* value) {
  destroyed_second += static_cast<int>(reinterpret_cast<intptr_t>(value));
}

// Stores a value again every time it is destroyed: destruction gives up after four passes.
PerThread::Key stubborn_key = PerThread::kUnallocated;
std::atomic<int> stubborn_runs{0};
void DestroyStubborn(void*) {
  ++stubborn_runs;
  *PerThread::Data(stubborn_key, true) = reinterpret_cast<void*>(intptr_t{1});
}

class PerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InitializeBaseLibrary();
    PerThread::Allocate(&first_key, &DestroyFirst);
    PerThread::Allocate(&second_key, &DestroySecond);
    PerThread::Allocate(&stubborn_key, &DestroyStubborn);
  }
};

TEST_F(PerThreadTest, ValuesArePerThreadAndDestroyedAtExit) {
  destroyed_first = 0;
  destroyed_second = 0;
  std::vector<std::thread> threads;
  for (int i = 1; i <= 4; ++i) {
    threads.emplace_back([i] {
      EXPECT_EQ(PerThread::Data(first_key, false), nullptr);  // no block yet
      void** slot = PerThread::Data(first_key, true);
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(*slot, nullptr);
      *slot = reinterpret_cast<void*>(intptr_t{i});
      EXPECT_EQ(*PerThread::Data(first_key, false), reinterpret_cast<void*>(intptr_t{i}));
    });
  }
  for (auto& t : threads) t.join();
  PerThread::Key again = first_key;
  PerThread::Allocate(&again, &DestroySecond);  // an allocated key keeps its slot and destructor
  EXPECT_EQ(again, first_key);
  EXPECT_EQ(destroyed_first, 1 + 2 + 3 + 4);
  // Each first destructor stored 100 under the second key; the next pass destroyed it.
  EXPECT_EQ(destroyed_second, 4 * 100);
}

TEST_F(PerThreadTest, DestructionStopsAfterFourPasses) {
  stubborn_runs = 0;
  std::thread([] {
    *PerThread::Data(stubborn_key, true) = reinterpret_cast<void*>(intptr_t{1});
  }).join();
  EXPECT_EQ(stubborn_runs, 4);
}

TEST_F(PerThreadTest, DataNeedsAllocate) {
  EXPECT_DEATH(PerThread::Data(PerThread::kUnallocated, true),
               HasSubstr("Allocate() must be called before Data()"));
}

TEST_F(PerThreadTest, AtMost512Keys) {
  EXPECT_DEATH(
      {
        while (PerThread::AllocatedKeys() < PerThread::kPerThreadSlots) {
          PerThread::Key key = PerThread::kUnallocated;
          PerThread::Allocate(&key, nullptr);
        }
        PerThread::Key one_too_many = PerThread::kUnallocated;
        PerThread::Allocate(&one_too_many, nullptr);
      },
      HasSubstr("Check next_free_key < kPerThreadSlots failed: too many PerThread keys in use"));
}

}  // namespace
}  // namespace base
