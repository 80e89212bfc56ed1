// Tests of the block pools, the large-block path and the table allocator.
#include "support/memory_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint32_t wordAt(const void* address) {
  uint32_t value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

uint32_t headerOf(const void* payload) { return wordAt(static_cast<const uint8_t*>(payload) - 4); }

// The trailer word of a pool block: the block size without the free bit.
uint32_t trailerOf(const void* payload) {
  uint32_t size = headerOf(payload) & ~1u;
  return wordAt(static_cast<const uint8_t*>(payload) - 4 + size - 4);
}

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

TEST(MemoryPoolSizes, RequestsMapToTheirBlockSizes) {
  struct Case {
    uint32_t request;
    uint32_t blockSize;
  };
  const Case cases[] = {
      {0, 16},         {1, 16},         {8, 16},         {9, 32},          {100, 112},
      {504, 512},      {505, 768},      {760, 768},      {761, 1024},      {32760, 32768},
      {32761, 33792},  {33784, 33792},  {33785, 34816},  {1000000, 1000448},
  };
  for (const Case& c : cases) {
    void* block = memAlloc(c.request);
    ASSERT_NE(block, nullptr) << c.request;
    EXPECT_EQ(memBlockSize(block), c.blockSize) << "request " << c.request;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << "request " << c.request;
    std::memset(block, 0x5A, c.request);  // the whole request is usable
    if (c.blockSize <= 32768) {
      EXPECT_EQ(headerOf(block), c.blockSize) << "in use: free bit clear";
      EXPECT_EQ(trailerOf(block), c.blockSize);
    }
    memFree(block);
  }
}

TEST(MemoryPoolSizes, OversizedRequestsGiveNull) {
  EXPECT_EQ(memAlloc(0x80000000u), nullptr);
  EXPECT_EQ(memAlloc(0xFFFFFFFFu), nullptr);
  memFree(nullptr);  // ignored
}

TEST(MemoryPoolReuse, FreedBlockIsHandedOutAgain) {
  for (uint32_t request : {40u, 2000u}) {
    std::vector<uint8_t*> run = adjacentRun(request, 3);
    ASSERT_EQ(run.size(), 3u);
    // The middle block has used neighbours, so it cannot merge.
    memFree(run[1]);
    EXPECT_EQ(headerOf(run[1]), memBlockSize(run[0]) | 1u) << "free bit set";
    EXPECT_EQ(memAlloc(request), run[1]) << request;
    for (uint8_t* block : run) memFree(block);
  }
}

TEST(MemoryPoolReuse, PoolsKeepTheirChunksAfterEverythingIsFreed) {
  for (uint32_t request : {40u, 3000u}) {
    std::vector<void*> blocks;
    for (int i = 0; i < 200; ++i) blocks.push_back(memAlloc(request));
    for (void* block : blocks) memFree(block);
    uint32_t chunks = memChunkCount();
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

TEST(MemoryPoolMerging, NeighboursMergeWithinTheLargestBlock) {
  struct Case {
    uint32_t request;  // block size = the pool's largest / 2
    uint32_t largest;
    size_t run;        // blocks back to back around x, y and z
    bool firstThenSecond;
  };
  // Four medium blocks of 16384 bytes fill a chunk, whose edges then guard
  // the run; small blocks need a used neighbour on both sides.
  const Case cases[] = {
      {248, 512, 5, true}, {248, 512, 5, false}, {16376, 32768, 4, true}, {16376, 32768, 4, false},
  };
  for (const Case& c : cases) {
    // w x y z (v): x and y merge into one largest block; z would exceed it.
    std::vector<uint8_t*> run = adjacentRun(c.request, c.run);
    ASSERT_EQ(run.size(), c.run);
    uint8_t* x = run[1];
    uint8_t* y = run[2];
    uint8_t* z = run[3];
    memFree(c.firstThenSecond ? x : y);
    memFree(c.firstThenSecond ? y : x);
    EXPECT_EQ(headerOf(x), c.largest | 1u) << c.request;
    EXPECT_EQ(trailerOf(x), c.largest);
    // Neither the block after the merged one nor the one before it may join.
    memFree(z);
    EXPECT_EQ(headerOf(z), (c.largest / 2) | 1u) << "merging stops at the largest block";
    memFree(run[0]);
    EXPECT_EQ(headerOf(run[0]), (c.largest / 2) | 1u) << "merging stops at the largest block";
    EXPECT_EQ(headerOf(x), c.largest | 1u);
    // The merged block is the newest of its class and serves the next request.
    EXPECT_EQ(memAlloc(c.largest - 8), x);
    memFree(x);
    if (c.run > 4) memFree(run[4]);
  }
}

TEST(MemoryPoolRealloc, CopiesTheSmallerOfBothSizes) {
  struct Case {
    uint32_t from;
    uint32_t to;
  };
  const Case cases[] = {
      {20, 2000}, {2000, 20}, {100, 10}, {500, 40000}, {40000, 100}, {40000, 80000}, {30, 30},
  };
  for (const Case& c : cases) {
    auto* block = static_cast<uint8_t*>(memAlloc(c.from));
    ASSERT_NE(block, nullptr);
    for (uint32_t i = 0; i < c.from; ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
    auto* moved = static_cast<uint8_t*>(memRealloc(block, c.to));
    ASSERT_NE(moved, nullptr);
    uint32_t kept = c.from < c.to ? c.from : c.to;
    for (uint32_t i = 0; i < kept; ++i) {
      ASSERT_EQ(moved[i], static_cast<uint8_t>(i * 7 + 3)) << c.from << "->" << c.to << " at " << i;
    }
    // Copying more than the new block holds would overwrite its trailer.
    if (memBlockSize(moved) <= 32768) {
      EXPECT_EQ(trailerOf(moved), memBlockSize(moved)) << c.from << "->" << c.to;
    }
    memFree(moved);
  }
}

TEST(MemoryPoolRealloc, NullAndOversizedRequests) {
  void* block = memRealloc(nullptr, 50);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(memBlockSize(block), 64u);
  std::memcpy(block, "keep", 5);
  EXPECT_EQ(memRealloc(block, 0x80000000u), nullptr);
  EXPECT_STREQ(static_cast<char*>(block), "keep") << "the old block stays";
  EXPECT_EQ(headerOf(block), 64u) << "and stays in use";
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
  };
  std::mt19937 random(12345);
  std::vector<Live> live;
  auto check = [](const Live& l) {
    for (uint32_t i = 0; i < l.size; ++i) {
      if (l.block[i] != l.fill) return false;
    }
    return true;
  };
  const uint32_t sizeLimits[] = {64, 600, 5000, 40000};
  for (int step = 0; step < 20000; ++step) {
    uint32_t action = random() % 3;
    if (action == 0 || live.empty()) {
      uint32_t size = random() % sizeLimits[random() % 4];
      auto* block = static_cast<uint8_t*>(memAlloc(size));
      ASSERT_NE(block, nullptr);
      auto fill = static_cast<uint8_t>(random());
      std::memset(block, fill, size);
      live.push_back({block, size, fill});
    } else {
      size_t index = random() % live.size();
      Live& l = live[index];
      ASSERT_TRUE(check(l)) << "step " << step;
      if (action == 1) {
        memFree(l.block);
        live[index] = live.back();
        live.pop_back();
      } else {
        uint32_t size = random() % sizeLimits[random() % 4];
        auto* block = static_cast<uint8_t*>(memRealloc(l.block, size));
        ASSERT_NE(block, nullptr);
        if (size > l.size) std::memset(block + l.size, l.fill, size - l.size);
        l.block = block;
        l.size = size;
      }
    }
  }
  for (const Live& l : live) {
    EXPECT_TRUE(check(l));
    memFree(l.block);
  }
}

TEST(TableAllocator, BlocksAreAlignedDistinctAndReused) {
  std::vector<uint8_t*> blocks;
  for (uint32_t size : {0u, 1u, 8u, 9u, 100u, 512u, 513u, 5000u}) {
    auto* block = static_cast<uint8_t*>(pomAlloc(size));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << size;
    std::memset(block, static_cast<int>(blocks.size()), size < 8 ? 8 : size);
    blocks.push_back(block);
  }
  const uint32_t sizes[] = {0, 1, 8, 9, 100, 512, 513, 5000};
  for (size_t k = 0; k < blocks.size(); ++k) {
    uint32_t size = sizes[k] < 8 ? 8 : sizes[k];
    for (uint32_t i = 0; i < size; ++i) {
      ASSERT_EQ(blocks[k][i], static_cast<uint8_t>(k)) << "block " << k << " overlapped";
    }
  }
  void* reused = blocks[4];
  pomFree(reused);
  EXPECT_EQ(pomAlloc(100), reused);
  for (uint8_t* block : blocks) pomFree(block);
  EXPECT_EQ(pomAlloc(0x80000000u), nullptr);
}

TEST(TableAllocator, ReallocKeepsTheTable) {
  auto* table = static_cast<uint32_t*>(pomAlloc(4 * sizeof(uint32_t)));
  ASSERT_NE(table, nullptr);
  uint32_t count = 4;
  for (uint32_t i = 0; i < count; ++i) table[i] = i * 3;
  // Grow through the pooled sizes into the heap, as the message table does.
  for (uint32_t grown : {10u, 64u, 128u, 129u, 4000u}) {
    table = static_cast<uint32_t*>(pomRealloc(table, grown * sizeof(uint32_t)));
    ASSERT_NE(table, nullptr);
    for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(table[i], i * 3) << grown;
    for (uint32_t i = count; i < grown; ++i) table[i] = i * 3;
    count = grown;
  }
  void* same = pomRealloc(nullptr, 24);
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(pomRealloc(same, 16), same) << "a smaller size fits the block";
  pomFree(same);
  pomFree(table);
}

}  // namespace
