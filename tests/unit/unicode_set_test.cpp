// Code-point sets: adding with and without case folding, the set algebra
// against a model (and with one set on both sides), the serialized form read back by serializedSetContains,
// the property names of \p{..}, and the generated tables.
#include "pattern/unicode_set.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

// A set that releases its pair array at the end of the scope.
struct Set {
  explicit Set(const Ranges& ranges = {}, bool fold = false) {
    unicodeSetInit(&set);
    for (const auto& [first, last] : ranges) {
      EXPECT_EQ(unicodeSetAddRange(&set, first, last, fold), 0);
    }
  }
  ~Set() { unicodeSetFree(&set); }
  UnicodeSet set;
};

// The members as maximal ranges, read through unicodeSetContains and the pairs.
Ranges membersOf(const UnicodeSet& set) {
  Ranges out;
  auto append = [&](uint32_t first, uint32_t last) {
    if (!out.empty() && out.back().second + 1 == first) {
      out.back().second = last;
    } else {
      out.push_back({first, last});
    }
  };
  for (uint32_t c = 0; c < 0x10000; ++c) {
    if (unicodeSetContains(&set, c)) append(c, c);
  }
  for (int32_t i = 0; i < set.rangeCount; ++i) append(set.ranges[2 * i], set.ranges[2 * i + 1]);
  return out;
}

// low and high bound the plane's members exactly; pairs lie above the plane,
// sorted and apart from each other.
void expectWellFormed(const UnicodeSet& set) {
  const Ranges members = membersOf(set);
  const bool plane = !members.empty() && members[0].first < 0x10000;
  EXPECT_EQ(set.low, plane ? members[0].first : 0x10000u);
  uint32_t high = 0;
  for (const auto& range : members) {
    if (range.first < 0x10000) high = std::min(range.second, 0xFFFFu);
  }
  EXPECT_EQ(set.high, high);
  EXPECT_EQ(unicodeSetIsEmpty(&set), members.empty());
  for (int32_t i = 0; i < set.rangeCount; ++i) {
    EXPECT_GE(set.ranges[2 * i], 0x10000u);
    EXPECT_LE(set.ranges[2 * i], set.ranges[2 * i + 1]);
    EXPECT_TRUE(i == 0 || set.ranges[2 * i] > set.ranges[2 * i - 1] + 1) << "pair " << i;
  }
}

// Serializes into a buffer with guard bytes behind the reported size.
std::vector<uint8_t> serialized(const UnicodeSet& set) {
  const size_t size = static_cast<size_t>(unicodeSetSerializedSize(&set));
  std::vector<uint8_t> out(size + 8, 0xCC);
  unicodeSetSerialize(&set, out.data());
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + size, out.end()), std::vector<uint8_t>(8, 0xCC));
  out.resize(size);
  return out;
}

void expectSerializedAgrees(const UnicodeSet& set, std::vector<int64_t> probes) {
  const std::vector<uint8_t> record = serialized(set);
  for (int64_t edge : {int64_t{set.low}, int64_t{set.high}, int64_t{0xFFFF}, int64_t{0x10000}}) {
    probes.insert(probes.end(), {edge - 1, edge, edge + 1});
  }
  probes.insert(probes.end(), {-1, INT64_MIN, 0x7FFFFFFF, 0x80000000LL});
  for (int64_t c : probes) {
    EXPECT_EQ(serializedSetContains(record.data(), c), unicodeSetContains(&set, c)) << c;
  }
}

int32_t collectRange(void* context, uint32_t first, uint32_t last) {
  static_cast<Ranges*>(context)->push_back({first, last});
  return 0;
}

}  // namespace

TEST(UnicodeSetAdd, RangesWithAndWithoutFolding) {
  struct Case {
    Ranges added;
    bool fold;
    Ranges members;
  };
  const Case cases[] = {
      {{{'a', 'c'}}, false, {{'a', 'c'}}},
      {{{'a', 'c'}}, true, {{'A', 'C'}, {'a', 'c'}}},
      {{{'B', 'B'}}, true, {{'B', 'B'}, {'b', 'b'}}},
      {{{'z', 'a'}}, true, {}},
      {{{0x3A3, 0x3A3}}, false, {{0x3A3, 0x3A3}}},
      {{{0x3A3, 0x3A3}}, true, {{0x3A3, 0x3A3}, {0x3C2, 0x3C3}}},
      {{{0x3C2, 0x3C2}}, true, {{0x3A3, 0x3A3}, {0x3C2, 0x3C3}}},
      // Case forms of another encoded length join too: the Kelvin sign, the long s.
      {{{'k', 'k'}}, true, {{'K', 'K'}, {'k', 'k'}, {0x212A, 0x212A}}},
      {{{0x17F, 0x17F}}, true, {{'S', 'S'}, {'s', 's'}, {0x17F, 0x17F}}},
      // Above the plane nothing folds; pairs merge whatever the order of adding.
      {{{0xFFF0, 0x10427}}, true, {{0xFFF0, 0x10427}}},
      {{{0x10010, 0x10020}, {0x10000, 0x1000F}, {0x10030, 0x10040}}, false,
       {{0x10000, 0x10020}, {0x10030, 0x10040}}},
      {{{0x10030, 0x10040}, {0x10000, 0x10005}, {0x10003, 0x10035}}, false, {{0x10000, 0x10040}}},
      {{{0x20000, 0x20000}, {0x10000, 0x10000}, {0x30000, 0x30000}, {0x1FFFF, 0x2FFFF}}, false,
       {{0x10000, 0x10000}, {0x1FFFF, 0x30000}}},
      {{{0x7FFFFFF0, 0xFFFFFFFF}, {0x80000000, 0xFFFFFFFF}}, false, {{0x7FFFFFF0, 0x7FFFFFFF}}},
  };
  for (const Case& c : cases) {
    Set set(c.added, c.fold);
    EXPECT_EQ(membersOf(set.set), c.members) << c.added[0].first << " fold " << c.fold;
    expectWellFormed(set.set);
  }
}

// Random sets whose ranges start and end at a few boundaries, so each piece
// between two boundaries is wholly in or out and a vector of flags models them.
TEST(UnicodeSetAlgebra, AgreesWithAModelAndItsSerializedForm) {
  const std::vector<int64_t> bounds = {0,       0x41,    0x80,    0x3A3,    0xFFFF,     0x10000,
                                       0x10001, 0x1FFFF, 0x20000, 0x10FFFE, 0x7FFFFFFF, 0x80000000};
  const size_t pieces = bounds.size() - 1;
  std::mt19937 random(20240607);
  auto build = [&](std::vector<bool>* model) {
    Ranges ranges;
    model->assign(pieces, false);
    for (int n = static_cast<int>(random() % 4); n > 0; --n) {
      size_t i = random() % pieces;
      size_t j = random() % pieces;
      if (i > j) std::swap(i, j);
      ranges.push_back(
          {static_cast<uint32_t>(bounds[i]), static_cast<uint32_t>(bounds[j + 1] - 1)});
      for (size_t k = i; k <= j; ++k) (*model)[k] = true;
    }
    return ranges;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<bool> modelA;
    std::vector<bool> modelB;
    Set a(build(&modelA));
    Set b(build(&modelB));
    const int op = static_cast<int>(random() % 4);
    for (size_t k = 0; k < pieces; ++k) {
      const bool x = modelA[k];
      const bool y = modelB[k];
      modelA[k] = op == 0 ? !x : op == 1 ? x && !y : op == 2 ? x && y : x || y;
    }
    ASSERT_EQ(op == 0   ? unicodeSetComplement(&a.set)
              : op == 1 ? unicodeSetSubtract(&a.set, &b.set)
              : op == 2 ? unicodeSetIntersect(&a.set, &b.set)
                        : unicodeSetUnion(&a.set, &b.set),
              0);
    for (size_t k = 0; k < pieces; ++k) {
      EXPECT_EQ(unicodeSetContains(&a.set, bounds[k]), modelA[k]) << round << " op " << op;
      EXPECT_EQ(unicodeSetContains(&a.set, bounds[k + 1] - 1), modelA[k]) << round << " op " << op;
    }
    expectWellFormed(a.set);
    expectSerializedAgrees(a.set, bounds);
  }
}

TEST(UnicodeSetAlgebra, SameSetOnBothSidesAndClear) {
  const Ranges members = {{'a', 'c'}, {0x10000, 0x10005}};
  Set a(members);
  EXPECT_EQ(unicodeSetUnion(&a.set, &a.set), 0);
  EXPECT_EQ(unicodeSetIntersect(&a.set, &a.set), 0);
  EXPECT_EQ(membersOf(a.set), members);
  EXPECT_EQ(unicodeSetSubtract(&a.set, &a.set), 0);
  EXPECT_TRUE(unicodeSetIsEmpty(&a.set));
  Set b(members);
  unicodeSetClear(&b.set);
  EXPECT_EQ(membersOf(b.set), Ranges{});
  expectWellFormed(b.set);
}

// A pair array that cannot grow: the step reports -8 and changes nothing.
TEST(UnicodeSetAlgebra, GrowthThatCannotBeHadLeavesTheSetUnchanged) {
  uint32_t pair[2] = {0x20000, 0x20000};
  Set full;
  full.set.ranges = pair;
  full.set.rangeCount = full.set.rangeCapacity = INT32_MAX;
  EXPECT_EQ(unicodeSetAddRange(&full.set, 'A', 0x10005, false), -8);
  EXPECT_EQ(unicodeSetComplement(&full.set), -8);
  EXPECT_FALSE(unicodeSetContains(&full.set, 'A'));

  const Ranges members = {{'a', 'c'}, {0x10000, 0x10005}};
  Set a(members);
  EXPECT_EQ(unicodeSetUnion(&a.set, &full.set), -8);
  EXPECT_EQ(unicodeSetSubtract(&a.set, &full.set), -8);
  EXPECT_EQ(unicodeSetIntersect(&a.set, &full.set), -8);
  EXPECT_EQ(membersOf(a.set), members);
  full.set.ranges = nullptr;
  full.set.rangeCount = 0;
}

TEST(UnicodeSetSerialize, MembershipAgreesAtTheBoundaries) {
  Set sparse({{0x100, 0x100}, {0x3A3, 0x3A3}, {0x20000, 0x2A6D6}, {0xE0000, 0xE007F}});
  expectSerializedAgrees(sparse.set, {0xFF, 0x3A4, 0x2A6D6, 0x2A6D7, 0xDFFFF, 0xE007F, 0xE0080});
  Set complement({{'a', 'z'}, {0x10000, 0x10010}});
  ASSERT_EQ(unicodeSetComplement(&complement.set), 0);
  expectSerializedAgrees(complement.set, {'a', 'z', 0x60, 0x7B, 0x10010, 0x10011, 0x12345678});
}

TEST(UnicodeProperties, NamesSelectTableRows) {
  struct Case {
    std::string name;
    int32_t status;
    size_t count;  // ranges handed to the sink
    Ranges first;  // the first of them, in order
  };
  const Case cases[] = {
      {"IsBasicLatin", 0, 1, {{0, 0x7F}}},
      {"isbasiclatin", 0, 1, {{0, 0x7F}}},
      {"IsPrivateUse", 0, 3, {{0x100000, 0x10FFFD}, {0xE000, 0xF8FF}, {0xF0000, 0xFFFFD}}},
      {"IsGothic", 0, 2, {{0x10330, 0x1034F}, {0x10330, 0x1034F}}},
      {"IsxmlDigit", 0, 15, {{0x30, 0x39}, {0x660, 0x669}}},
      {"ISXMLNAMESTARTCHAR", 0, 207, {{0x5F, 0x5F}, {0x3A, 0x3A}, {0x41, 0x5A}}},
      {"L", 0, 1025, {{0x41, 0x5A}, {0x61, 0x7A}, {0xAA, 0xAA}}},
      {"Lu", 0, 403, {{0x41, 0x5A}, {0xC0, 0xD6}}},
      {"lUL", 0, 807, {{0x41, 0x5A}, {0x61, 0x7A}}},
      {"Lulululu", 0, 807, {{0x41, 0x5A}}},
      {"Lulululul", -2500, 0, {}},  // nine letters
      {"Xx", -2500, 0, {}},
      {"Lz", -2500, 0, {}},   // z selects no letter category
      {"Luz", -2500, 0, {}},  // and nothing is handed out before the error
      {"L1", -2500, 0, {}},
      {"\xC3\x9F", -2500, 0, {}},
      {"", -2500, 0, {}},
      {"Is", -2500, 0, {}},
      {"IsNoSuchBlock", -2500, 0, {}},
      {"Is" + std::string(198, 'a'), -2500, 0, {}},
  };
  for (const Case& c : cases) {
    Ranges ranges;
    EXPECT_EQ(forEachPropertyRange(c.name.data(), static_cast<int32_t>(c.name.size()),
                                   collectRange, &ranges),
              c.status)
        << c.name;
    EXPECT_EQ(ranges.size(), c.count) << c.name;
    ranges.resize(std::min(ranges.size(), c.first.size()));
    EXPECT_EQ(ranges, c.first) << c.name;
  }
  // The name is a counted text: what follows it is not read.
  Ranges ranges;
  EXPECT_EQ(forEachPropertyRange("IsBasicLatinX", 12, collectRange, &ranges), 0);
  EXPECT_EQ(ranges, (Ranges{{0, 0x7F}}));
}

TEST(UnicodeProperties, ANonzeroSinkResultEndsTheWalk) {
  const auto stopAtSecond = [](void* context, uint32_t, uint32_t) -> int32_t {
    return ++*static_cast<int*>(context) == 2 ? -8 : 0;
  };
  for (const char* name : {"IsPrivateUse", "Lu"}) {
    int calls = 0;
    EXPECT_EQ(forEachPropertyRange(name, static_cast<int32_t>(strlen(name)), stopAtSecond, &calls),
              -8);
    EXPECT_EQ(calls, 2) << name;
  }
}

TEST(UnicodeTables, CategoryRangesCoverEveryCodePointInOrder) {
  // Consecutive category ranges from U+0000 to U+10FFFD.
  uint32_t next = 0;
  for (int32_t i = 0; i < UNICODE_CATEGORY_COUNT && UNICODE_CATEGORIES[i].first == next; ++i) {
    next = UNICODE_CATEGORIES[i].last + 1;
  }
  EXPECT_EQ(next, 0x10FFFEu);
}
