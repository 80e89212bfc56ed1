// Tests of the literal-alternation trie (pattern/literal_trie.cpp): which
// programs it takes, and on random word lists (shared prefixes, words that
// begin other words, case forms, UTF-8 folds, sets) exactly the matches of
// the backtracker, in memory and over a file whose long lines cross the
// window.
#include "pattern/literal_trie.h"

#include <algorithm>
#include <random>

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::BacktrackerOnly;
using regex_test::CompiledScope;
using regex_test::Match;

TEST(LiteralTrie, TakesOnlyAlternationsOfLiteralsAndSets) {
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
      {"a[bc]|d", ENCODING_SINGLE_BYTE, true},
      {"[a-z]bc[0-9]|[a-z]de[0-9]", ENCODING_UTF8, true},
      {"[a-z]bc[0-9]|[a-z]b[0-9]", ENCODING_UTF8, false},  // after b: c and a set
      {"[ab]c|[ac]d", ENCODING_SINGLE_BYTE, false},  // two sets from one node
      {"[ab]c|ad", ENCODING_SINGLE_BYTE, false},     // a set and a character from one node
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
  // A set [..] of a word is spelled as its first member.
  const auto spelled = [](const std::string& word) {
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
      out += word[i] == '[' ? word[i + 1] : word[i];
      if (word[i] == '[') i = word.find(']', i);
    }
    return out;
  };
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += random() % 3 == 0 ? spelled(words[random() % words.size()])
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
  // word sets how many first bytes the filter of starts compares. In every
  // fourth round each word begins with one set, which the filter passes
  // over, and in every eighth ends with another.
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
    std::string pattern = randomWords(random, symbols, 2 + static_cast<int>(random() % 40),
                                      shortest + 4, "|", shortest);
    if (round % 4 >= 2) {
      const std::string lead = mode == ENCODING_UTF8 ? "[as]" : "[bA-]";
      const std::string last = round % 8 >= 6 ? "[-k]" : "";
      std::string sets = lead;
      for (const char c : pattern) sets += c == '|' ? last + "|" + lead : std::string(1, c);
      pattern = sets + last;
    }
    std::string text =
        textWithWords(random, symbols, pattern, 1 + static_cast<int>(random() % 12), 12, 4);
    if (mode == ENCODING_UTF8) text = respelled(random, text);
    if (round % 3 == 0) text += "\xFF";  // a byte that is no UTF-8 character
    // Cut short at random, so that words stand at the very end too.
    if (round % 3 != 0) text.resize(random() % (text.size() + 1));
    const CompiledScope scope(pattern, 'U', ignoreCase, mode);
    ASSERT_EQ(scope.status(), 0) << pattern;
    // A set that ends a word stands beside the characters of longer words
    // at some nodes: such lists are left to the other engines.
    if (round % 8 < 6) {
      ASSERT_NE(compiledPattern.literalTrie, nullptr) << pattern;
    }
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
  EXPECT_GT(taken, 300);
  EXPECT_GT(filtered, 150);
}

TEST(LiteralTrie, FilterOfStartsPassesNoStart) {
  // Symbols in classes of case forms (the Kelvin sign and the long s among
  // them in UTF-8 text); a word starts where the text's symbols fall in the
  // word's classes. From every symbol start to every range end, the filter
  // must stop at or before the first word start, one that the range end
  // cuts included, and stop seldom elsewhere. Where every word begins with a
  // set (of the classes `inSet`), the filter compares the bytes after it.
  struct Case {
    int32_t mode;
    std::vector<std::vector<std::string>> classes;
    std::string set;
    std::vector<size_t> inSet;
  };
  const Case cases[] = {
      {ENCODING_SINGLE_BYTE,
       {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d"}, {"e", "E"}, {"-"}, {"g", "G"}, {"h", "H"}},
       "",
       {}},
      {ENCODING_UTF8,
       {{"a", "A"}, {"k", "K", "\xE2\x84\xAA"}, {"s", "S", "\xC5\xBF"}, {"d"}, {"e", "E"}, {"-"},
        {"g", "G"}, {"h", "H"}},
       "",
       {}},
      {ENCODING_SINGLE_BYTE,
       {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d"}, {"e", "E"}, {"-"}, {"g", "G"}, {"h", "H"}},
       "[a-c]",
       {0, 1, 2}},
      {ENCODING_UTF8,
       {{"a", "A"}, {"k", "K", "\xE2\x84\xAA"}, {"s", "S", "\xC5\xBF"}, {"d"}, {"e", "E"}, {"-"},
        {"g", "G"}, {"h", "H"}},
       "[ad]",
       {0, 3}},
  };
  test::EncodingScope encoding;
  std::mt19937 random(16);
  int64_t stops = 0;
  int64_t positions = 0;
  for (int round = 0; round < 120; ++round) {
    const Case& c = cases[round % 4];
    encoding.singleByte();
    if (c.mode == ENCODING_UTF8) encoding.utf8();
    const auto symbol = [&](size_t k) {
      const auto& forms = c.classes[k];
      return forms[random() % forms.size()];
    };
    std::vector<std::vector<size_t>> words(2 + random() % 30);
    std::string pattern;
    for (auto& word : words) {
      word.resize(3 + random() % 6);
      if (!pattern.empty()) pattern += "|";
      pattern += c.set;
      for (size_t& k : word) pattern += symbol(k = random() % c.classes.size());
    }
    std::vector<size_t> textClasses;
    std::vector<size_t> offsets;  // of each symbol, and the end
    std::string text;
    while (text.size() < 300) {
      const bool copy = random() % 4 == 0;
      const std::vector<size_t>& word = words[random() % words.size()];
      for (size_t i = 0; i < (copy ? word.size() : 1); ++i) {
        textClasses.push_back(copy ? word[i] : random() % c.classes.size());
        offsets.push_back(text.size());
        text += symbol(textClasses.back());
      }
    }
    offsets.push_back(text.size());
    std::vector<bool> starts(text.size(), false);
    const size_t skip = c.set.empty() ? 0 : 1;
    for (size_t i = 0; i < textClasses.size(); ++i) {
      if (skip == 1 && std::count(c.inSet.begin(), c.inSet.end(), textClasses[i]) == 0) continue;
      for (const auto& word : words) {
        size_t j = 0;
        while (j < word.size() && i + skip + j < textClasses.size() &&
               textClasses[i + skip + j] == word[j]) {
          ++j;
        }
        if (j == word.size()) starts[offsets[i]] = true;
      }
    }
    const CompiledScope scope(pattern, 'U', 1, c.mode);
    const LiteralTrie* trie = compiledPattern.literalTrie;
    ASSERT_NE(trie, nullptr) << pattern;
    ASSERT_GE(literalTriePrefixLength(trie), 3) << pattern;
    const uint8_t* bytes = test::bytes(text);
    for (size_t i = 0; i + 1 < offsets.size(); ++i) {
      for (size_t end = offsets[i] + 1; end <= text.size(); end += 1 + random() % 4) {
        const uint8_t* found = findLiteralTrieStart(trie, bytes + offsets[i], bytes + end);
        const size_t at = found == nullptr ? end : static_cast<size_t>(found - bytes);
        ASSERT_GE(at, offsets[i]);
        ASSERT_LE(at, end);
        for (size_t p = offsets[i]; p < at; ++p) {
          ASSERT_FALSE(starts[p]) << "passed over " << p << " in [" << offsets[i] << ", " << end
                                  << ") of " << text << " for " << pattern;
        }
      }
      if (starts[offsets[i]] || c.mode == ENCODING_UTF8) continue;
      const uint8_t* found = findLiteralTrieStart(trie, bytes + offsets[i], bytes + text.size());
      stops += found == bytes + offsets[i];
      ++positions;
    }
  }
  EXPECT_LT(stops * 10, positions) << stops << " of " << positions;
}

TEST(LiteralTrie, KeepsLittleMemoryForALongList) {
  // 2,000 words of six random letters between a class of letters and one of
  // digits make about 10,600 nodes and as many edges. Kept: 12 bytes a node
  // (no room left over from growing the nodes by doubling), the table of
  // edges (16,384 entries of 12 bytes) and the filter's table (128 KB).
  std::mt19937 random(5);
  std::string pattern;
  for (int w = 0; w < 2000; ++w) {
    if (w > 0) pattern += "|";
    pattern += "[a-z]";
    for (int i = 0; i < 6; ++i) pattern += static_cast<char>('a' + random() % 26);
    pattern += "[0-9]";
  }
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    const CompiledScope scope(pattern, 'U', 0, mode);
    ASSERT_NE(compiledPattern.literalTrie, nullptr);
    const int64_t bytes = literalTrieBytes(compiledPattern.literalTrie);
    EXPECT_LT(bytes, 16384 * 12 + 131072 + 10700 * 12 + 4096) << bytes;
  }
}

TEST(LiteralTrie, CrossesTheWindowAndLongLines) {
  // Every spelling of five letters of two, after a few longer words, over
  // long lines of the two letters in either case and a third: a word starts
  // at most positions, so the ends of the data in memory cut words at every
  // distance, and the filter of starts must hand those on. In UTF-8 text the
  // letters are k and s, spelled also as the Kelvin sign and the long s.
  // Once more with a set before every word, past which the filter compares.
  test::EncodingScope encoding;
  for (int round = 0; round < 4; ++round) {
    const int32_t mode = round % 2 == 0 ? ENCODING_SINGLE_BYTE : ENCODING_UTF8;
    const std::string lead = round < 2 ? "" : "[ac]";
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
    std::string withLead = lead;
    for (const char c : pattern) withLead += c == '|' ? "|" + lead : std::string(1, c);
    pattern = withLead;
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
    EXPECT_GT(byTrie.size(), 10000u) << lead;
    EXPECT_EQ(byTrie, expected) << lead;
  }
}

}  // namespace
