// Transaction blocks whose storage is kept for the next ones: a dropped block's storage serves
// the next block of its size, blocks held at once each have their own, a thread keeps a bounded
// number, and a block may be dropped on another thread than the one that made it.
#include "AppMeasurement/storage/APMRecycledBlock.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>
#include <thread>
#include <vector>

namespace {

// A block as a commit group keeps one: it owns what it uses, here a counter's address and a
// payload that makes its storage a few hundred bytes.
struct CountingBlock {
  int* runs;
  std::array<char, 300> payload{};
  bool operator()() {
    ++*runs;
    return payload[0] == 0;
  }
};
using Block = APMRecycledBlock<CountingBlock>;

std::function<bool()> makeBlock(int* runs) { return Block(CountingBlock{runs}); }

const void* storageOf(const std::function<bool()>& block) { return block.target<Block>(); }

TEST(APMRecycledBlockTest, ADroppedBlocksStorageServesTheNext) {
  int runs = 0;
  std::function<bool()> first = makeBlock(&runs);
  const void* storage = storageOf(first);
  ASSERT_NE(storage, nullptr);
  first = nullptr;
  std::function<bool()> next = makeBlock(&runs);
  EXPECT_EQ(storageOf(next), storage);
  EXPECT_TRUE(next());
  EXPECT_EQ(runs, 1);
}

TEST(APMRecycledBlockTest, BlocksHeldAtOnceEachRunTheirOwn) {
  // A group of 64, then the next group of 64 in the storage the first left.
  std::vector<int> runs(64, 0);
  std::vector<std::function<bool()>> group;
  std::set<const void*> storage;
  for (int& count : runs) {
    group.push_back(makeBlock(&count));
    storage.insert(storageOf(group.back()));
  }
  EXPECT_EQ(storage.size(), runs.size());
  for (size_t i = 0; i < group.size(); ++i) {
    for (size_t run = 0; run <= i % 3; ++run) EXPECT_TRUE(group[i]());
  }
  for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i], static_cast<int>(i % 3 + 1));
  group.clear();
  for (int& count : runs) {
    group.push_back(makeBlock(&count));
    EXPECT_TRUE(storage.contains(storageOf(group.back())));
  }
}

TEST(APMRecycledBlockTest, AThreadKeepsABoundedNumber) {
  int runs = 0;
  std::vector<std::function<bool()>> blocks;
  for (size_t i = 0; i < APMRecycledStorage::kKeptBlocks + 40; ++i) {
    blocks.push_back(makeBlock(&runs));
  }
  EXPECT_EQ(APMRecycledStorage::keptForTesting(), 0u);
  blocks.clear();
  EXPECT_EQ(APMRecycledStorage::keptForTesting(), APMRecycledStorage::kKeptBlocks);
  blocks.push_back(makeBlock(&runs));
  EXPECT_EQ(APMRecycledStorage::keptForTesting(), APMRecycledStorage::kKeptBlocks - 1);
}

TEST(APMRecycledBlockTest, ABlockMayBeDroppedOnAnotherThread) {
  int runs = 0;
  std::vector<std::function<bool()>> blocks;
  for (int i = 0; i < 8; ++i) blocks.push_back(makeBlock(&runs));
  const size_t keptHere = APMRecycledStorage::keptForTesting();
  // The other thread keeps the storage until it ends, then hands it back (the sanitizer build
  // reports a leak or a double free otherwise).
  std::thread other([moved = std::move(blocks)]() mutable {
    for (auto& block : moved) EXPECT_TRUE(block());
    moved.clear();
    EXPECT_EQ(APMRecycledStorage::keptForTesting(), 8u);
  });
  other.join();
  EXPECT_EQ(runs, 8);
  EXPECT_EQ(APMRecycledStorage::keptForTesting(), keptHere);
  std::function<bool()> next = makeBlock(&runs);
  EXPECT_TRUE(next());
  EXPECT_EQ(runs, 9);
}

}  // namespace
