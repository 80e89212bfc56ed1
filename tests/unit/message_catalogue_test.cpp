// Tests of the message catalogue: the loader, the text expansion, the
// checks against malformed files, the catalogue compiler, and the compiled
// grep.kvb with the program's texts.
#include "support/message_catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/kvb_writer.h"

using namespace std::string_literals;

namespace {

const char* const CATALOGUE_NAME = "message_catalogue_test.kvb";

struct Record {
  int32_t number;
  int32_t offset;
};

void putWord(std::vector<uint8_t>& bytes, int64_t value) {
  auto word = static_cast<uint32_t>(value);
  for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(word >> (8 * k)));
}

// A catalogue image made by hand, so that it can be wrong in every way.
std::vector<uint8_t> rawImage(int32_t magic, int64_t textArea, const std::vector<Record>& records,
                              const std::string& texts) {
  std::vector<uint8_t> bytes;
  putWord(bytes, magic);
  putWord(bytes, textArea);
  for (const Record& r : records) {
    putWord(bytes, r.number);
    putWord(bytes, r.offset);
  }
  bytes.insert(bytes.end(), texts.begin(), texts.end());
  return bytes;
}

std::vector<uint8_t> compiled(const std::string& source) {
  std::vector<uint8_t> image;
  std::string error;
  EXPECT_TRUE(kvb::compileSource(source, image, error)) << error;
  return image;
}

void writeFile(const char* name, const std::vector<uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    setCataloguePath("", CATALOGUE_NAME);
    resetMessageCatalogue();
  }
  void TearDown() override {
    std::remove(CATALOGUE_NAME);
    resetMessageCatalogue();
  }
  void install(const std::vector<uint8_t>& bytes) {
    writeFile(CATALOGUE_NAME, bytes);
    resetMessageCatalogue();
  }
  static std::string withPath(const std::string& before, const std::string& after) {
    return before + CATALOGUE_NAME + after;
  }
};

TEST_F(Catalogue, NumbersWithoutEntryGetEntryZero) {
  install(compiled("@0 Fallback text.\n@-8 Out of memory.\n@-3600 Usage.\n"));
  EXPECT_STREQ(messageText(-8), "Out of memory.");
  EXPECT_STREQ(messageText(-3600), "Usage.");
  EXPECT_STREQ(messageText(0), "Fallback text.");
  EXPECT_STREQ(messageText(-9), "Fallback text.") << "no entry in the table's range";
  EXPECT_STREQ(messageText(-5000), "Fallback text.") << "beyond the table";
  EXPECT_STREQ(messageText(12), "Fallback text.") << "positive numbers are index 0";
  EXPECT_STREQ(messageText(INT32_MIN), "Fallback text.");
  EXPECT_EQ(messageExists(-8), 1);
  EXPECT_EQ(messageExists(-9), 0);
  EXPECT_EQ(messageExists(5), 1) << "index 0";
}

TEST_F(Catalogue, TableHoldsEveryIndexUpToTheHighest) {
  install(compiled("@-3600 Usage.\n@-8 Out of memory.\n"));
  EXPECT_STREQ(messageText(-8), "Out of memory.");
  EXPECT_EQ(messageTableCount(), 3601);
  int present = 0;
  for (int32_t index = 0; index <= 3601; ++index) present += messageExists(-index);
  EXPECT_EQ(present, 2);
  EXPECT_EQ(messageExists(-3600), 1);
  EXPECT_EQ(messageExists(-8), 1);
  EXPECT_STREQ(messageText(-5), "Message -5 not found in message file 'message_catalogue_test.kvb'")
      << "no entry 0 either";
  EXPECT_EQ(messageExists(0), 0);
}

TEST_F(Catalogue, LaterRecordsReplaceEarlierOnesAndTextsMayBeShared) {
  install(rawImage(CATALOGUE_MAGIC, 40, {{-8, 0}, {-8, 4}, {-9, 4}, {-1, -1}}, "old\0new\0"s));
  EXPECT_STREQ(messageText(-8), "new");
  EXPECT_STREQ(messageText(-9), "new");
}

TEST_F(Catalogue, ExpandsArgumentReferences) {
  install(compiled(
      "@-10 name=%s1.\n"
      "@-11 100%% sure\n"
      "@-12 a% b\n"
      "@-13 x%sxy\n"
      "@-14 end%s\n"
      "@-15 100%\n"
      "@-16 %%s1\n"
      "@-17 %a%%%\n"
      "@-18 [%s0|%s2|%s1]\n"
      "@-19 [%s9]\n"
      "@-3600 %s3%s0 %s8\n"));
  setMessageArgument(0, ".exe");
  setMessageArgument(1, "file.txt");
  setMessageArgument(2, nullptr);
  setMessageArgument(3, "grep");
  setMessageNumberArgument(8, -3600);
  struct Case {
    int32_t number;
    const char* expected;
  };
  // Slot 9 is set by no test in this program: an unset slot shows nothing.
  const Case cases[] = {
      {-10, "name=file.txt."},
      {-11, "100% sure"},
      {-12, "a% b"},
      {-13, "x%s13 index too largey"},
      {-14, "end%s14 index too large"},
      {-15, "100%"},
      {-16, "%s1"},
      {-17, "%a%%"},
      {-18, "[.exe|(null)|file.txt]"},
      {-19, "[]"},
      {-3600, "grep.exe -3600"},
  };
  for (const Case& c : cases) EXPECT_STREQ(messageText(c.number), c.expected) << c.number;
}

TEST_F(Catalogue, ArgumentSlots) {
  install(compiled("@-1 <%s4>\n@-2 <%s5>\n"));
  setMessageArgument(4, std::string(600, 'n').c_str());
  EXPECT_EQ(std::string(messageText(-1)), "<" + std::string(MESSAGE_SLOT_SIZE - 1, 'n') + ">")
      << "cut to the slot with its terminator";
  setMessageArgument(4, "four");
  setMessageArgument(10, "ignored");
  setMessageArgument(-1, "ignored");
  EXPECT_STREQ(messageText(-1), "<four>");
  struct Case {
    int64_t value;
    const char* text;
  };
  const Case cases[] = {{0, "<0>"}, {42, "<42>"}, {-3633, "<-3633>"},
                        {INT64_MIN, "<-9223372036854775808>"}};
  for (const Case& c : cases) {
    setMessageNumberArgument(5, c.value);
    EXPECT_STREQ(messageText(-2), c.text);
  }
  setMessageNumberArgument(10, 7);
  EXPECT_STREQ(messageText(-1), "<four>");
}

TEST_F(Catalogue, ResultGrowsForLongTexts) {
  std::string longLine(5000, 'L');
  install(compiled("@-1 " + longLine + "%s6" + longLine + "\n"));
  setMessageArgument(6, std::string(511, 's').c_str());
  EXPECT_EQ(std::string(messageText(-1)), longLine + std::string(511, 's') + longLine);
}

TEST_F(Catalogue, MissingFileIsTriedAgainOnEveryLookup) {
  const std::string notFound = withPath("Unable to open message file '", "' not found");
  EXPECT_EQ(std::string(messageText(-8)), notFound);
  EXPECT_EQ(messageExists(-8), 0);
  EXPECT_EQ(std::string(messageText(-8)), notFound);
  writeFile(CATALOGUE_NAME, compiled("@-8 Out of memory.\n"));
  EXPECT_STREQ(messageText(-8), "Out of memory.") << "loaded without a reset";
}

TEST_F(Catalogue, PathIsCutTo511Characters) {
  std::string directory(400, 'd');
  std::string file(200, 'f');
  setCataloguePath(directory.c_str(), file.c_str());
  resetMessageCatalogue();
  std::string path = (directory + file).substr(0, CATALOGUE_PATH_MAX);
  EXPECT_EQ(std::string(messageText(-1)), "Unable to open message file '" + path + "' not found");
}

TEST_F(Catalogue, EmptyIndexAnswersEmpty) {
  install(rawImage(CATALOGUE_MAGIC, 16, {{-1, -1}}, ""));
  EXPECT_EQ(std::string(messageText(-8)), withPath("Message file '", "' empty"));
  EXPECT_EQ(messageTableCount(), 0);
}

struct MalformedCase {
  const char* what;
  std::vector<uint8_t> bytes;
};

std::vector<MalformedCase> malformedCatalogues() {
  std::vector<uint8_t> truncatedIndex = rawImage(CATALOGUE_MAGIC, 32, {{-8, 0}, {-1, -1}}, "");
  truncatedIndex.resize(20);
  return {
      {"empty file", {}},
      {"magic only", {0x22, 0x11, 0x00, 0x00}},
      {"wrong magic", rawImage(0x2211, 24, {{-8, 0}, {-1, -1}}, "text\0"s)},
      {"header only", rawImage(CATALOGUE_MAGIC, 16, {}, "")},
      {"index cut short", truncatedIndex},
      {"text offset past the end", rawImage(CATALOGUE_MAGIC, 24, {{-8, 100}, {-1, -1}}, "text\0"s)},
      {"text offset at the end", rawImage(CATALOGUE_MAGIC, 24, {{-8, 5}, {-1, -1}}, "text\0"s)},
      {"text without its NUL", rawImage(CATALOGUE_MAGIC, 32, {{-8, 0}, {-9, 3}, {-1, -1}},
                                        "ok\0text"s)},
      {"text area past the end", rawImage(CATALOGUE_MAGIC, 64, {{-8, 0}, {-1, -1}}, "text\0"s)},
      {"text area not a multiple of 8",
       rawImage(CATALOGUE_MAGIC, 28, {{-8, 0}, {-1, -1}}, "text\0text\0"s)},
      {"text area too small for a terminator", rawImage(CATALOGUE_MAGIC, 8, {{-1, -1}}, "t\0"s)},
      {"negative text area", rawImage(CATALOGUE_MAGIC, -8, {{-1, -1}}, "t\0"s)},
      {"index without terminator", rawImage(CATALOGUE_MAGIC, 24, {{-8, 0}, {-9, 0}}, "text\0"s)},
      {"terminator after the text area",
       rawImage(CATALOGUE_MAGIC, 24, {{-8, 0}, {-9, 0}, {-1, -1}}, "text\0"s)},
      {"positive message number", rawImage(CATALOGUE_MAGIC, 24, {{5, 0}, {-1, -1}}, "text\0"s)},
      {"message number far too low",
       rawImage(CATALOGUE_MAGIC, 24, {{INT32_MIN, 0}, {-1, -1}}, "text\0"s)},
  };
}

// The checks run on a heap copy of exactly the file's size, so the
// sanitizer build reports any read beyond it.
TEST(CatalogueImage, MalformedImagesAreNotValid) {
  for (const MalformedCase& c : malformedCatalogues()) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.bytes.size() + (c.bytes.empty() ? 1 : 0)]);
    if (!c.bytes.empty()) std::memcpy(exact.get(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(catalogueImageValid(exact.get(), static_cast<int64_t>(c.bytes.size())), 0) << c.what;
  }
}

TEST(CatalogueImage, WellFormedImagesAreValid) {
  const std::vector<uint8_t> images[] = {
      rawImage(CATALOGUE_MAGIC, 16, {{-1, -1}}, ""),
      rawImage(CATALOGUE_MAGIC, 24, {{-8, 0}, {-1, -1}}, "\0"s),
      rawImage(CATALOGUE_MAGIC, 32, {{0, 0}, {-8, 2}, {-1, -1}}, "a\0b\0"s),
      // Any negative text offset ends the index; the texts may follow later.
      rawImage(CATALOGUE_MAGIC, 40, {{-8, 0}, {-7, -5}, {0, 0}, {0, 0}}, "z\0"s),
      compiled("@0 zero\n@-3600\nline\n\n@end\n"),
  };
  for (const std::vector<uint8_t>& image : images) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[image.size()]);
    std::memcpy(exact.get(), image.data(), image.size());
    EXPECT_EQ(catalogueImageValid(exact.get(), static_cast<int64_t>(image.size())), 1);
  }
}

TEST_F(Catalogue, MalformedFilesAnswerNotValidThenEmpty) {
  for (const MalformedCase& c : malformedCatalogues()) {
    install(c.bytes);
    EXPECT_EQ(std::string(messageText(-8)), withPath("Message file '", "' not valid")) << c.what;
    EXPECT_EQ(std::string(messageText(-8)), withPath("Message file '", "' empty")) << c.what;
    EXPECT_EQ(messageExists(-8), 0) << c.what;
  }
}

// ---------------------------------------------------------------------------
// The catalogue compiler.

TEST(CatalogueCompiler, WritesTheCatalogueLayout) {
  std::vector<uint8_t> image = compiled(
      "# comment\r\n"
      "@0 Fallback\r\n"
      "\r\n"
      "@-1 one\r\n"
      "@-3600\r\n"
      "Line 1\r\n"
      "\r\n"
      "  Line 3 # no comment\r\n"
      " @indented\r\n"
      "\r\n"
      "@end\r\n"
      "@-7 one\r\n");
  auto word = [&](size_t at) {
    return static_cast<int32_t>(image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
                                static_cast<uint32_t>(image[at + 3]) << 24);
  };
  ASSERT_GE(image.size(), 48u);
  EXPECT_EQ(word(0), 0x1122);
  EXPECT_EQ(word(4), 48) << "header, four records and the terminator";
  EXPECT_EQ(word(8), 0);
  EXPECT_EQ(word(16), -1);
  EXPECT_EQ(word(24), -3600);
  EXPECT_EQ(word(32), -7);
  EXPECT_EQ(word(36), word(20)) << "equal texts are stored once";
  EXPECT_EQ(word(40), -1);
  EXPECT_EQ(word(44), -1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + 48 + word(28)),
            "Line 1\n\n  Line 3 # no comment\n @indented\n");
  EXPECT_EQ(image.back(), 0);
}

TEST(CatalogueCompiler, RejectsMalformedSources) {
  struct Case {
    std::string source;
    const char* error;  // part of the expected message
  };
  const Case cases[] = {
      {"@-5 a\n\n@-5 b\n", "line 3: message -5 is already defined at line 1"},
      {"@5 text\n", "line 1: message number 5 is positive"},
      {"@0 ok\nstray text\n", "line 2: text outside a message"},
      {"@abc\n", "line 1: \"@\" must be followed by a message number"},
      {"@-\n", "line 1: \"@\" must be followed by a message number"},
      {"@-5x\n", "line 1: a message number is followed by a blank"},
      {"@-5 \n", "line 1: a message number is followed by a blank"},
      {"@-5\ntext\n", "line 1: message -5 is not closed"},
      {"@-5\ntext\n@-6 next\n@end\n", "line 1: message -5 is not closed"},
      {"@-99999999999\n", "must be followed by a message number"},
      {"@-2000000 x\n", "is below"},
      {"@-5 a\0b\n"s, "NUL byte"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_FALSE(kvb::compileSource(c.source, image, error)) << c.source;
    EXPECT_NE(error.find(c.error), std::string::npos) << "got: " << error;
  }
}

// ---------------------------------------------------------------------------
// The program's own catalogue, compiled by the build.

class ProgramCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("GREP_TEST_CATALOGUE");
    if (path == nullptr) GTEST_SKIP() << "GREP_TEST_CATALOGUE is not set (run through ctest)";
    setCataloguePath("", path);
    resetMessageCatalogue();
  }
  void TearDown() override { resetMessageCatalogue(); }
};

TEST_F(ProgramCatalogue, HoldsEveryMessageTheProgramPrints) {
  const int32_t numbers[] = {
      0, -2, -3, -4, -5, -7, -8, -15, -18, -19, -20, -21, -22, -23, -24, -25, -26, -27, -28,
      -29, -30, -31, -32, -33, -34, -35, -36, -37, -38, -52, -53, -2500,
      MSG_USAGE, MSG_D_ARGUMENTS, MSG_E_ARGUMENT, MSG_TEXT_ALREADY_GIVEN, MSG_F_ARGUMENT,
      MSG_F_OPEN, MSG_L_BEFORE_TEXT, MSG_BAD_OPTION, MSG_LIST_OPEN, MSG_LIST_READ,
      MSG_LIST_LINE_LONG, MSG_D_SOURCE_OPEN, MSG_D_DESTINATION_OPEN, MSG_D_NO_MARKER, MSG_D_WRITE,
      MSG_FILE_OPEN, MSG_BAD_WORD_SET, MSG_BAD_PATTERN,
  };
  for (int32_t number : numbers) {
    EXPECT_EQ(messageExists(number), 1) << number;
    EXPECT_GT(std::strlen(messageText(number)), 0u) << number;
  }
}

TEST_F(ProgramCatalogue, FileNamesAppearWhereTheProgramSetsThem) {
  // Messages printed with a name in slot 1 show it; the file layer's codes
  // are printed without arguments and must not show a stale slot.
  setMessageArgument(1, "some-file.txt");
  for (int32_t number : {MSG_F_OPEN, MSG_BAD_OPTION, MSG_LIST_OPEN, MSG_LIST_READ,
                         MSG_D_SOURCE_OPEN, MSG_D_DESTINATION_OPEN, MSG_FILE_OPEN}) {
    EXPECT_NE(std::strstr(messageText(number), "some-file.txt"), nullptr) << number;
  }
  for (int32_t number = -2; number >= -53; --number) {
    if (messageExists(number) == 0) continue;
    EXPECT_EQ(std::strstr(messageText(number), "some-file.txt"), nullptr) << number;
  }
}

TEST_F(ProgramCatalogue, UsageScreenHasAllMarkersAndFitsTheScreen) {
  for (int32_t slot = 0; slot <= 7; ++slot) {
    setMessageArgument(slot, ("<slot" + std::to_string(slot) + ">").c_str());
  }
  std::string marked = messageText(MSG_USAGE);
  for (int32_t slot = 0; slot <= 7; ++slot) {
    EXPECT_NE(marked.find("<slot" + std::to_string(slot) + ">"), std::string::npos) << slot;
  }
  // Both extremes of the markers, as the usage screen sets them.
  for (bool ignoreCase : {false, true}) {
    for (const char* regexMarker : {"", "(*) "}) {
      setMessageArgument(0, ".exe");
      setMessageArgument(1, ignoreCase ? "(*)" : "   ");
      setMessageArgument(2, "(*)");
      setMessageArgument(3, "grep");
      setMessageArgument(4, regexMarker);
      setMessageArgument(5, regexMarker);
      setMessageArgument(6, regexMarker);
      setMessageArgument(7, ignoreCase ? "   " : "(*)");
      std::string usage = messageText(MSG_USAGE);
      EXPECT_NE(usage.find("grep.exe"), std::string::npos);
      std::istringstream lines(usage);
      std::string line;
      int count = 0;
      while (std::getline(lines, line)) {
        ++count;
        EXPECT_LT(line.size(), 80u) << line;
      }
      EXPECT_LT(count, 60);
      for (const char* option : {"-B", "-C", "-D", "-E", "-F", "-FB", "-H", "-I", "-L", "-M",
                                 "-N", "-O", "-PO", "-R", "-T", "+T", "-U", "-u", "-utf8",
                                 "-UnicodeCallsAvailable", "-V", "-W", "-W=", "-X", "-Y",
                                 "-<length> [<base>]", "?"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
      }
    }
  }
}

}  // namespace
