// Tests of the literal-alternation trie (pattern/literal_trie.cpp): which
// programs it takes, and on random word lists (shared prefixes, words that
// begin other words, case forms, UTF-8 folds) exactly the matches of the
// backtracker, in memory and over a file whose long lines cross the window.
#include "pattern/literal_trie.h"

#include <random>

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::BacktrackerOnly;
using regex_test::CompiledScope;
using regex_test::Match;

TEST(LiteralTrie, TakesOnlyAlternationsOfPlainLiterals) {
  struct Row {
    const char* pattern;
    int32_t mode;
    bool taken;
  };
  const Row rows[] = {
      {"ab|cd", ENCODING_SINGLE_BYTE, true},
      {"ab|a|abc|ab", ENCODING_SINGLE_BYTE, true},
      {"\xC3\xA9t\xC3\xA9|ete", ENCODING_UTF8, true},
      {"abc", ENCODING_SINGLE_BYTE, false},  // one literal: the other engines
      {"(ab|cd)", ENCODING_SINGLE_BYTE, false},
      {"ab|c*", ENCODING_SINGLE_BYTE, false},
      {"^ab|cd", ENCODING_SINGLE_BYTE, false},
      {"ab|", ENCODING_SINGLE_BYTE, false},
      {"a[bc]|d", ENCODING_SINGLE_BYTE, false},
      {"a.|d", ENCODING_SINGLE_BYTE, false},
      {"ab|cd", ENCODING_DOUBLE_BYTE, false},
  };
  for (const Row& row : rows) {
    const CompiledScope scope(row.pattern, 'U', 0, row.mode);
    ASSERT_EQ(scope.status(), 0) << row.pattern;
    EXPECT_EQ(compiledPattern.literalTrie != nullptr, row.taken) << row.pattern;
  }
}

std::string randomWords(std::mt19937& random, const std::vector<std::string>& symbols, int count,
                        int longest, const char* separator) {
  std::string out;
  for (int w = 0; w < count; ++w) {
    if (w > 0) out += separator;
    const int length = 1 + static_cast<int>(random() % static_cast<uint32_t>(longest));
    for (int i = 0; i < length; ++i) out += symbols[random() % symbols.size()];
  }
  return out;
}

TEST(LiteralTrie, FindsWhatTheBacktrackerFinds) {
  // Few symbols, so that words share prefixes and begin one another; the
  // UTF-8 ones hold characters whose folds are other characters (the Kelvin
  // sign, the long s) and characters of two and three bytes.
  const std::vector<std::string> bytes = {"a", "b", "A", "B", "-"};
  const std::vector<std::string> utf8 = {"a", "k", "K", "\xE2\x84\xAA", "s", "\xC5\xBF", "\xC3\xA9",
                                         "\xC3\x89"};
  std::mt19937 random(20261207);
  test::EncodingScope encoding;
  int taken = 0;
  for (int round = 0; round < 400; ++round) {
    const int32_t mode = round % 2 == 0 ? ENCODING_SINGLE_BYTE : ENCODING_UTF8;
    encoding.singleByte();
    if (mode == ENCODING_UTF8) encoding.utf8();
    const auto& symbols = mode == ENCODING_UTF8 ? utf8 : bytes;
    const int32_t ignoreCase = (round / 2) % 2;
    const std::string pattern =
        randomWords(random, symbols, 2 + static_cast<int>(random() % 40), 5, "|");
    std::string text = randomWords(random, symbols, 1 + static_cast<int>(random() % 12), 12, "\n");
    if (round % 3 == 0) text += "\xFF";  // a byte that is no UTF-8 character
    const CompiledScope scope(pattern, 'U', ignoreCase, mode);
    ASSERT_EQ(scope.status(), 0) << pattern;
    taken += compiledPattern.literalTrie != nullptr;
    const std::vector<Match> byTrie = regex_test::findAllInMemory(text, mode);
    std::vector<Match> expected;
    {
      const BacktrackerOnly backtracker;
      expected = regex_test::findAllInMemory(text, mode);
    }
    ASSERT_EQ(byTrie, expected) << "pattern " << pattern << " over " << text << " ignore case "
                                << ignoreCase;
  }
  EXPECT_EQ(taken, 400);
}

TEST(LiteralTrie, CrossesTheWindowAndLongLines) {
  std::mt19937 random(7);
  const std::vector<std::string> symbols = {"a", "b", "c"};
  const std::string pattern = randomWords(random, symbols, 300, 6, "|");
  std::string text = randomWords(random, symbols, 40000, 8, "");
  for (size_t at = 65530; at < text.size(); at += 70001) text.insert(at, "\r\n");
  const CompiledScope scope(pattern, 'U', 1, ENCODING_SINGLE_BYTE);
  ASSERT_NE(compiledPattern.literalTrie, nullptr);
  const std::vector<Match> byTrie = regex_test::findAllInFile(text);
  std::vector<Match> expected;
  {
    const BacktrackerOnly backtracker;
    expected = regex_test::findAllInFile(text);
  }
  EXPECT_GT(byTrie.size(), 1000u);
  EXPECT_EQ(byTrie, expected);
}

}  // namespace
