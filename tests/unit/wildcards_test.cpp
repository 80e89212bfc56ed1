// File-name wildcards: the expression a wildcard compiles to (quoting, the
// "*.*" ending, double-byte characters, the length limit), the shortcut
// matches and their agreement with the pattern engine, the engine's matches,
// and the engine's compiled state around every name test.
#include "selection/wildcards.h"

#include <tuple>

#include "pattern/compiled_pattern.h"
#include "support/memory_pool.h"
#include "tests/unit/test_support.h"

namespace {

std::string compiled(const char* pattern, int32_t flag = 1) {
  char out[WILDCARD_TEXT_MAX + 1];
  int32_t length = -1;
  EXPECT_TRUE(compileWildcard(flag, out, &length, pattern)) << pattern;
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(out))) << pattern;
  return std::string(out, static_cast<size_t>(length));
}

int32_t match(const char* name, const std::string& text) {
  return matchWildcard(name, text.data(), static_cast<int32_t>(text.size()));
}

int32_t matchByEngine(const char* name, const std::string& text) {
  return matchWildcardWithEngine(name, text.data(), static_cast<int32_t>(text.size()));
}

TEST(CompileWildcard, ATextThatDoesNotFitIsRefusedNotCut) {
  test::EncodingScope encoding;
  encoding.singleByte();
  char out[WILDCARD_TEXT_MAX + 1];
  int32_t length = -1;
  // "^", 509 characters and "$" fill the buffer exactly.
  const std::string fits = std::string(508, 'a') + "?";
  EXPECT_TRUE(compileWildcard(1, out, &length, fits.c_str()));
  EXPECT_EQ(length, WILDCARD_TEXT_MAX);
  EXPECT_EQ(out[0], '^');
  EXPECT_EQ(out[WILDCARD_TEXT_MAX - 1], '$');

  struct TooLong {
    std::string pattern;
    int32_t flag;
  };
  const TooLong cases[] = {
      {std::string(509, 'a') + "?", 1},  // no room for the closing "$"
      {std::string(300, '*'), 1},        // each "*" takes two characters
      {std::string(254, 'a') + std::string(128, '+') + "?", 1},
      {std::string(508, 'a') + "*", 1},  // "?*" and "$" need one more
      {std::string(511, 'a'), 0},
  };
  for (const TooLong& c : cases) {
    std::memset(out, 'x', sizeof out);
    length = -1;
    EXPECT_FALSE(compileWildcard(c.flag, out, &length, c.pattern.c_str())) << c.pattern.size();
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(length, 0);
  }
  encoding.doubleByte();
  // Nor is a double-byte character cut after its lead byte.
  const std::string pair = std::string(509, 'a') + "\x83\\";
  EXPECT_FALSE(compileWildcard(1, out, &length, pair.c_str()));
  EXPECT_EQ(out[0], 0);
}

struct NameCase {
  const char* pattern;
  const char* name;
  bool matches;
};

// Every form the shortcuts answer, without the engine.
const NameCase SHORTCUT_CASES[] = {
    {"*", "readme", true},          {"*", ".profile", true},        {"*.*", "noext", true},
    {"*.*", "a.b.c", true},         {"*.", "noext", true},          {"*.", "a.txt", false},
    {"*.", "dir.d", false},         {"*.TXT", "readme.txt", true},  {"*.txt", "README.TXT", true},
    {"*.txt", "readme.txtx", false}, {"*.txt", "readme.tx", false}, {"*.txt", "a.b.txt", true},
    {"*.txt", "txt", false},        {"*.txt", ".txt", true},        {"*.c", "x.C", true},
    {"*.c", "x.cc", false},         {"*.x-y", "x.x-y", true},       {"*.x-y", "x.x-yz", false},
    {"*.txt", "a.txt.bak", false},
};

// The engine, run on the same compiled text, agrees with every shortcut but
// the one for "*." (names without an extension).
TEST(MatchWildcard, ShortcutsAnswerTheCommonFormsAsTheEngineDoes) {
  test::EncodingScope encoding;
  encoding.singleByte();
  for (const NameCase& c : SHORTCUT_CASES) {
    const std::string text = compiled(c.pattern);
    EXPECT_EQ(match(c.name, text) != 0, c.matches) << c.pattern << " " << c.name;
    if (std::strcmp(c.pattern, "*.") != 0) {
      EXPECT_EQ(matchByEngine(c.name, text) > 0, c.matches) << c.pattern << " " << c.name;
    }
  }
  // Double-byte names: the extension is found by whole characters.
  encoding.doubleByte();
  const NameCase doubleByteCases[] = {
      {"*.txt", "\x83\\.txt", true}, {"*.txt", "\x83\\txt", false}, {"*.txt", "a.\x83\\", false},
      {"*.", "a.\x83.", false},      {"*.", "a\x83.", true},  // the dot is the second byte of a pair
  };
  for (const NameCase& c : doubleByteCases) {
    const std::string text = compiled(c.pattern);
    EXPECT_EQ(match(c.name, text) != 0, c.matches) << c.pattern << " " << c.name;
    if (std::strcmp(c.pattern, "*.") != 0) {
      EXPECT_EQ(matchByEngine(c.name, text) > 0, c.matches) << c.pattern << " " << c.name;
    }
  }
  encoding.utf8();
  EXPECT_NE(match("\xC3\xA9t\xC3\xA9.\xC3\xA9T\xC3\xA9", compiled("*.\xC3\x89t\xC3\x89")), 0);
}

TEST(MatchWildcard, OtherFormsRunThePatternEngine) {
  test::EncodingScope encoding;
  encoding.singleByte();
  const NameCase cases[] = {
      {"*.tar.gz", "a.tar.gz", true},   {"*.tar.gz", "a.tgz", false},
      {"*.$$$", "x.$$$", true},         {"*.$$$", "x.$$", false},
      {"[ab]*.txt", "a1.txt", true},    {"[ab]*.txt", "B2.TXT", true},
      {"[ab]*.txt", "c1.txt", false},   {"*.[ch]", "x.h", true},
      {"*.[ch]", "x.[ch]", false},      {"a?c", "abc", true},
      {"a?c", "ac", false},             {"a?c", "abbc", false},
      {"abc*.*", "abcdef.txt", true},   {"abc*.*", "abc", true},
      {"abc*.*", "xabc", false},        {"a+b(1).txt", "A+B(1).TXT", true},
      {"a+b(1).txt", "aab(1).txt", false}, {"*~", "notes~", true},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(match(c.name, compiled(c.pattern)) > 0, c.matches) << c.pattern << " " << c.name;
  }
  // Under code page 932 "ソ" is 0x83 0x5C: its second byte is no quote.
  encoding.doubleByte();
  const std::string so = compiled("\x83\\*.txt");
  EXPECT_GT(match("\x83\\abc.txt", so), 0);
  EXPECT_EQ(match("\x83x.txt", so), 0);
  EXPECT_EQ(match("\x83\\abc.doc", so), 0);
  // UTF-8 names ignore case through the engine as through the shortcuts.
  encoding.utf8();
  const NameCase utf8Cases[] = {
      {"a*", "ABC", true},
      {"[a-c]x.*", "BX.TXT", true},
      {"\xC3\xA9t?", "\xC3\x89T\xC3\x89", true},      // "été?" selects "ÉTÉ"
      {"\xCE\xA9*.md", "\xCF\x89mega.MD", true},      // "Ω*.md" selects "ωmega.MD"
      {"a*", "b\xC3\xA1", false},
  };
  for (const NameCase& c : utf8Cases) {
    EXPECT_EQ(match(c.name, compiled(c.pattern)) > 0, c.matches) << c.pattern << " " << c.name;
  }
}

// The parts of a compiled block that a name test must leave as they were.
struct BlockFacts {
  Instruction* program;
  int32_t lastSlot;
  int32_t capacity;
  int32_t ignoreCase;
  int32_t encodingMode;
  int32_t matchLength;
  void* markBuffer;
  uint8_t* firstCharTable;
  uint8_t firstCharValid;
  uint8_t firstByte;

  static BlockFacts of(const CompiledPattern& block) {
    return {block.program,      block.lastSlot,       block.capacity,
            block.ignoreCase,   block.encodingMode,   block.matchLength,
            block.markBuffer,   block.firstCharTable, block.firstCharValid,
            block.firstCharTable != nullptr ? block.firstCharTable['N'] : uint8_t{0}};
  }
  bool operator==(const BlockFacts&) const = default;
};

TEST(MatchWildcard, TheSearchPatternIsIntactAfterEveryNameTest) {
  test::EncodingScope encoding;
  encoding.singleByte();
  // A search pattern block with buffers of its own, as the driver leaves it.
  CompiledPattern saved = takeCompiledPattern();
  compiledPattern.program = static_cast<Instruction*>(memAlloc(4 * sizeof(Instruction)));
  compiledPattern.firstCharTable = static_cast<uint8_t*>(memAlloc(256));
  ASSERT_NE(compiledPattern.program, nullptr);
  ASSERT_NE(compiledPattern.firstCharTable, nullptr);
  std::memset(compiledPattern.firstCharTable, 0, 256);
  compiledPattern.firstCharTable['N'] = 1;
  compiledPattern.firstCharValid = 1;
  compiledPattern.lastSlot = 3;
  compiledPattern.capacity = 4;
  compiledPattern.ignoreCase = 0;
  compiledPattern.matchLength = 42;
  const BlockFacts before = BlockFacts::of(compiledPattern);

  // New texts, the same text again, a text that cannot compile, and back.
  for (const char* pattern : {"*.tar.gz", "*.tar.gz", "[ab*.txt", "a?c", "[ab*.txt", "*.txt"}) {
    const std::string text = compiled(pattern);
    for (const char* name : {"a.tar.gz", "abc", "a.txt"}) {
      match(name, text);
      EXPECT_TRUE(BlockFacts::of(compiledPattern) == before) << pattern << " " << name;
    }
  }
  releaseCompiledPattern(&compiledPattern);
  compiledPattern = saved;
}

TEST(MatchWildcard, AWildcardThatCannotCompileSelectsEveryName) {
  test::EncodingScope encoding;
  encoding.singleByte();
  // An unclosed set does not compile: not at first, and not when it comes
  // back after another wildcard has been compiled and run.
  const std::string broken = compiled("[ab*.txt");
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"a1.txt", "zzz", "[ab.txt", "b"}) {
      EXPECT_EQ(matchByEngine(name, broken), -1) << name;
      EXPECT_EQ(match(name, broken), -1) << name;
    }
    matchByEngine("x.tar.gz", compiled("*.tar.gz"));
  }
}

}  // namespace
