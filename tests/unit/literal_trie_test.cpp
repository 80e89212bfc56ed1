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
                        int longest, const char* separator, int shortest = 1) {
  std::string out;
  for (int w = 0; w < count; ++w) {
    if (w > 0) out += separator;
    const int length =
        shortest + static_cast<int>(random() % static_cast<uint32_t>(longest - shortest + 1));
    for (int i = 0; i < length; ++i) out += symbols[random() % symbols.size()];
  }
  return out;
}

// A text of `count` pieces, each a run of up to `longestRun` random symbols
// or one of the pattern's words, so that words stand at every alignment; a
// line feed follows a piece at odds of one in `lineOdds` (0: never).
std::string textWithWords(std::mt19937& random, const std::vector<std::string>& symbols,
                          const std::string& pattern, int count, int longestRun,
                          uint32_t lineOdds) {
  std::vector<std::string> words;
  for (size_t from = 0, bar; from <= pattern.size(); from = bar + 1) {
    bar = pattern.find('|', from);
    if (bar == std::string::npos) bar = pattern.size();
    words.push_back(pattern.substr(from, bar - from));
  }
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += random() % 3 == 0 ? words[random() % words.size()]
                              : randomWords(random, symbols, 1, longestRun, "");
    if (lineOdds != 0 && random() % lineOdds == 0) text += "\n";
  }
  return text;
}

// k and s spelled at random as the Kelvin sign and the long s, which fold to
// them in UTF-8 text.
std::string respelled(std::mt19937& random, const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool respell = (c == 'k' || c == 's') && random() % 2 == 0;
    out += !respell ? std::string(1, c) : c == 'k' ? "\xE2\x84\xAA" : "\xC5\xBF";
  }
  return out;
}

TEST(LiteralTrie, FindsWhatTheBacktrackerFinds) {
  // Few symbols, so that words share prefixes and begin one another; the
  // UTF-8 ones hold characters whose folds are other characters (the Kelvin
  // sign, the long s) and characters of two and three bytes. The shortest
  // word sets how many first bytes the filter of starts compares.
  const std::vector<std::string> bytes = {"a", "b", "A", "B", "-"};
  const std::vector<std::string> utf8 = {"a", "k", "K", "\xE2\x84\xAA", "s", "\xC5\xBF", "\xC3\xA9",
                                         "\xC3\x89"};
  std::mt19937 random(20261207);
  test::EncodingScope encoding;
  int taken = 0;
  int filtered = 0;
  for (int round = 0; round < 400; ++round) {
    const int32_t mode = round % 2 == 0 ? ENCODING_SINGLE_BYTE : ENCODING_UTF8;
    encoding.singleByte();
    if (mode == ENCODING_UTF8) encoding.utf8();
    const auto& symbols = mode == ENCODING_UTF8 ? utf8 : bytes;
    const int32_t ignoreCase = (round / 2) % 2;
    const int shortest = 1 + round % 9;
    const std::string pattern = randomWords(random, symbols, 2 + static_cast<int>(random() % 40),
                                            shortest + 4, "|", shortest);
    std::string text =
        textWithWords(random, symbols, pattern, 1 + static_cast<int>(random() % 12), 12, 4);
    if (mode == ENCODING_UTF8) text = respelled(random, text);
    if (round % 3 == 0) text += "\xFF";  // a byte that is no UTF-8 character
    // Cut short at random, so that words stand at the very end too.
    if (round % 3 != 0) text.resize(random() % (text.size() + 1));
    const CompiledScope scope(pattern, 'U', ignoreCase, mode);
    ASSERT_EQ(scope.status(), 0) << pattern;
    taken += compiledPattern.literalTrie != nullptr;
    filtered += compiledPattern.literalTrie != nullptr &&
                literalTriePrefixLength(compiledPattern.literalTrie) > 0;
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
  EXPECT_GT(filtered, 150);
}

TEST(LiteralTrie, CrossesTheWindowAndLongLines) {
  // Every spelling of five letters of two, after a few longer words, over
  // long lines of the two letters in either case and a third: a word starts
  // at most positions, so the ends of the data in memory cut words at every
  // distance, and the filter of starts must hand those on. In UTF-8 text the
  // letters are k and s, spelled also as the Kelvin sign and the long s.
  test::EncodingScope encoding;
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    const bool utf8 = mode == ENCODING_UTF8;
    encoding.singleByte();
    if (utf8) encoding.utf8();
    const std::vector<std::string> letters = {utf8 ? "k" : "a", utf8 ? "s" : "b"};
    const std::vector<std::string> cased = {letters[0], letters[1], utf8 ? "K" : "A",
                                            utf8 ? "S" : "B", "c"};
    std::mt19937 random(7);
    std::string pattern = randomWords(random, letters, 20, 8, "|", 6);
    for (int spelling = 0; spelling < 32; ++spelling) {
      pattern += "|";
      for (int i = 0; i < 5; ++i) pattern += letters[(spelling >> i) & 1];
    }
    std::string text = randomWords(random, cased, 1, 300000, "", 300000);
    if (utf8) text = respelled(random, text);
    for (size_t at = 65530; at < text.size(); at += 70001) text.insert(at, "\r\n");
    const CompiledScope scope(pattern, 'U', 1, mode);
    ASSERT_NE(compiledPattern.literalTrie, nullptr);
    EXPECT_EQ(literalTriePrefixLength(compiledPattern.literalTrie), 5);
    const std::vector<Match> byTrie = regex_test::findAllInFile(text, 0, mode);
    std::vector<Match> expected;
    {
      const BacktrackerOnly backtracker;
      expected = regex_test::findAllInFile(text, 0, mode);
    }
    EXPECT_GT(byTrie.size(), 20000u);
    EXPECT_EQ(byTrie, expected);
  }
}

}  // namespace
