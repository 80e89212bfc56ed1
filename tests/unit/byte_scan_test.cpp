// Tests of the byte scans: the first of two values, the last of one, and the
// last of one before the first of another, at every alignment and length
// around the vector blocks, against a plain loop.
#include "support/byte_scan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ByteScan, FindsTheFirstOfTwoAndTheLastOfOneAtEveryAlignment) {
  std::vector<uint8_t> buffer(96, 'x');
  for (int32_t from = 0; from < 20; ++from) {
    for (int32_t to = from; to <= 70; ++to) {
      // No hit, one hit at every position, two hits at the ends.
      for (int32_t hit = -1; hit < 70; ++hit) {
        std::fill(buffer.begin(), buffer.end(), 'x');
        // Values outside the range must not be found.
        if (from > 0) buffer[from - 1] = 'a';
        buffer[to] = 'a';
        if (hit >= 0) buffer[hit] = hit % 2 == 0 ? 'a' : 'b';
        const uint8_t* begin = buffer.data() + from;
        const uint8_t* end = buffer.data() + to;
        const uint8_t* first = nullptr;
        const uint8_t* lastA = nullptr;
        for (const uint8_t* p = begin; p < end; ++p) {
          if (first == nullptr && (*p == 'a' || *p == 'b')) first = p;
          if (*p == 'a') lastA = p;
        }
        ASSERT_EQ(findEitherByte(begin, end, 'a', 'b'), first) << from << " " << to << " " << hit;
        ASSERT_EQ(findLastByte(begin, end, 'a'), lastA) << from << " " << to << " " << hit;
        // The first b, noting the last a before it.
        const uint8_t* firstB = nullptr;
        const uint8_t* lastABefore = nullptr;
        for (const uint8_t* p = begin; p < end && firstB == nullptr; ++p) {
          if (*p == 'b') firstB = p;
          if (*p == 'a') lastABefore = p;
        }
        const uint8_t* noted = begin;
        ASSERT_EQ(findByteNotingLast(begin, end, 'b', 'a', &noted), firstB) << from << " " << to;
        ASSERT_EQ(noted, lastABefore) << from << " " << to << " " << hit;
      }
    }
  }
  // Several hits: the last is the one nearest the end, in any block.
  std::fill(buffer.begin(), buffer.end(), 'x');
  buffer[3] = buffer[40] = buffer[41] = 'a';
  EXPECT_EQ(findLastByte(buffer.data(), buffer.data() + 96, 'a'), buffer.data() + 41);
  EXPECT_EQ(findLastByte(buffer.data(), buffer.data() + 41, 'a'), buffer.data() + 40);
  EXPECT_EQ(findLastByte(buffer.data(), buffer.data() + 40, 'a'), buffer.data() + 3);
  // The last a before the first b, in the block of the b, in an earlier
  // block, and none where the b comes first.
  const uint8_t* noted = nullptr;
  buffer[50] = 'b';
  buffer[45] = 'a';
  buffer[52] = 'a';
  EXPECT_EQ(findByteNotingLast(buffer.data(), buffer.data() + 96, 'b', 'a', &noted),
            buffer.data() + 50);
  EXPECT_EQ(noted, buffer.data() + 45);
  buffer[45] = 'x';
  findByteNotingLast(buffer.data(), buffer.data() + 96, 'b', 'a', &noted);
  EXPECT_EQ(noted, buffer.data() + 41);
  findByteNotingLast(buffer.data() + 42, buffer.data() + 96, 'b', 'a', &noted);
  EXPECT_EQ(noted, nullptr);
}

}  // namespace
