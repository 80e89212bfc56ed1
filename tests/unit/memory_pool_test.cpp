// Tests of the block pools, the large-block path and the table allocator.
#include "support/memory_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

namespace {

// Allocates blocks of one size until `run` of them lie back to back, as
// blocks carved one after another from a chunk do. Returns the run; the
// other blocks stay allocated so that no free neighbour interferes.
std::vector<uint8_t*> adjacentRun(uint32_t request, size_t run) {
  std::vector<uint8_t*> current;
  for (int attempt = 0; attempt < 5000; ++attempt) {
    auto* block = static_cast<uint8_t*>(memAlloc(request));
    if (block == nullptr) break;
    if (!current.empty() && block != current.back() + memBlockSize(current.back())) {
      current.clear();
    }
    current.push_back(block);
    if (current.size() == run) return current;
  }
  ADD_FAILURE() << "no run of " << run << " adjacent blocks of " << request << " bytes";
  return {};
}

TEST(MemoryPoolSizes, EveryRequestGetsAnAlignedBlockThatHoldsIt) {
  for (uint32_t request : {0u, 8u, 9u, 504u, 505u, 32760u, 32761u, 33785u, 1000000u}) {
    void* block = memAlloc(request);
    ASSERT_NE(block, nullptr) << request;
    EXPECT_GE(memBlockSize(block), request + 8) << "request " << request;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << "request " << request;
    std::memset(block, 0x5A, request);  // the whole request is usable
    memFree(block);
  }
  EXPECT_EQ(memAlloc(0x80000000u), nullptr);
  EXPECT_EQ(memAlloc(0xFFFFFFFFu), nullptr);
  memFree(nullptr);  // ignored
}

TEST(MemoryPoolReuse, FreedBlocksAreHandedOutAgainWithoutNewChunks) {
  for (uint32_t request : {40u, 2000u}) {
    std::vector<uint8_t*> run = adjacentRun(request, 3);
    ASSERT_EQ(run.size(), 3u);
    // The middle block has used neighbours, so it cannot merge.
    memFree(run[1]);
    EXPECT_EQ(memAlloc(request), run[1]) << request;
    for (uint8_t* block : run) memFree(block);
  }
  for (uint32_t request : {40u, 3000u}) {
    std::vector<void*> blocks;
    for (int i = 0; i < 200; ++i) blocks.push_back(memAlloc(request));
    for (void* block : blocks) memFree(block);
    const uint32_t chunks = memChunkCount();
    // 200 blocks span several chunks; all of them must come from the freed
    // blocks, merged or not, without a new chunk.
    for (void*& block : blocks) {
      block = memAlloc(request);
      ASSERT_NE(block, nullptr);
    }
    EXPECT_EQ(memChunkCount(), chunks) << request;
    for (void* block : blocks) memFree(block);
  }
}

TEST(MemoryPoolRealloc, CopiesTheSmallerOfBothSizes) {
  using Case = std::tuple<uint32_t, uint32_t>;
  const Case cases[] = {
      {20, 2000}, {2000, 20}, {100, 10}, {500, 40000}, {40000, 100}, {40000, 80000}};
  for (const auto& [from, to] : cases) {
    auto* block = static_cast<uint8_t*>(memAlloc(from));
    ASSERT_NE(block, nullptr);
    for (uint32_t i = 0; i < from; ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
    auto* moved = static_cast<uint8_t*>(memRealloc(block, to));
    ASSERT_NE(moved, nullptr);
    for (uint32_t i = 0; i < std::min(from, to); ++i) {
      ASSERT_EQ(moved[i], static_cast<uint8_t>(i * 7 + 3)) << from << "->" << to << " at " << i;
    }
    memFree(moved);
  }
  void* block = memRealloc(nullptr, 50);
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "keep", 5);
  EXPECT_EQ(memRealloc(block, 0x80000000u), nullptr);
  EXPECT_STREQ(static_cast<char*>(block), "keep") << "the old block stays";
  memFree(block);
}

// Random allocations, reallocations and frees with every live block filled
// with its own pattern: splitting or merging that touched a live block, or a
// block handed out twice, shows up as a changed pattern.
TEST(MemoryPoolStress, LiveBlocksKeepTheirContents) {
  struct Live {
    uint8_t* block;
    uint32_t size;
    uint8_t fill;
    bool intact() const {
      for (uint32_t i = 0; i < size; ++i) {
        if (block[i] != fill) return false;
      }
      return true;
    }
  };
  std::mt19937 random(12345);
  std::vector<Live> live;
  const uint32_t sizeLimits[] = {64, 600, 5000, 40000};
  for (int step = 0; step < 20000; ++step) {
    const uint32_t action = random() % 3;
    const uint32_t size = random() % sizeLimits[random() % 4];
    if (action == 0 || live.empty()) {
      auto* block = static_cast<uint8_t*>(memAlloc(size));
      ASSERT_NE(block, nullptr);
      const auto fill = static_cast<uint8_t>(random());
      std::memset(block, fill, size);
      live.push_back({block, size, fill});
      continue;
    }
    const size_t index = random() % live.size();
    Live& l = live[index];
    ASSERT_TRUE(l.intact()) << "step " << step;
    if (action == 1) {
      memFree(l.block);
      live[index] = live.back();
      live.pop_back();
    } else {
      auto* block = static_cast<uint8_t*>(memRealloc(l.block, size));
      ASSERT_NE(block, nullptr);
      if (size > l.size) std::memset(block + l.size, l.fill, size - l.size);
      l = {block, size, l.fill};
    }
  }
  for (const Live& l : live) {
    EXPECT_TRUE(l.intact());
    memFree(l.block);
  }
}

TEST(TableAllocator, BlocksAreReusedAndTablesKeptWhileTheyGrow) {
  void* small = pomAlloc(100);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(small) % 8, 0u);
  pomFree(small);
  EXPECT_EQ(pomAlloc(100), small) << "the freed block of its class";
  EXPECT_EQ(pomAlloc(0x80000000u), nullptr);
  // Grow through the pooled sizes into the heap, as the message table does;
  // a second table grown beside it must not overlap it.
  uint32_t* tables[2] = {nullptr, nullptr};
  uint32_t count = 0;
  for (uint32_t grown : {1u, 2u, 10u, 64u, 128u, 129u, 4000u}) {
    for (uint32_t t = 0; t < 2; ++t) {
      tables[t] = static_cast<uint32_t*>(pomRealloc(tables[t], grown * sizeof(uint32_t)));
      ASSERT_NE(tables[t], nullptr);
      for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(tables[t][i], i * 3 + t) << grown;
      for (uint32_t i = count; i < grown; ++i) tables[t][i] = i * 3 + t;
    }
    count = grown;
  }
  for (uint32_t* table : tables) pomFree(table);
  void* same = pomRealloc(nullptr, 24);
  EXPECT_EQ(pomRealloc(same, 16), same) << "a smaller size fits the block";
  pomFree(same);
  pomFree(small);
}

}  // namespace
