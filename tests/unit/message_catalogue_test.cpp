// Tests of the message catalogue: the loader, the text expansion, the
// checks against malformed files, the catalogue compiler, and the compiled
// grep.kvb with the program's texts.
#include "console/message_catalogue.h"

#include <cstdlib>
#include <memory>
#include <sstream>

#include <tuple>

#include "selection/tree_walker.h"
#include "tests/unit/test_support.h"
#include "tools/kvb_writer.h"

using namespace std::string_literals;

namespace {

using Image = std::vector<uint8_t>;

struct Record {
  int32_t number;
  int32_t offset;
};

void putWord(Image& bytes, int64_t value) {
  const auto word = static_cast<uint32_t>(value);
  for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<uint8_t>(word >> (8 * k)));
}

// A catalogue image made by hand, so that it can be wrong in every way.
Image rawImage(int32_t magic, int64_t textArea, const std::vector<Record>& records,
               const std::string& texts) {
  Image bytes;
  putWord(bytes, magic);
  putWord(bytes, textArea);
  for (const Record& r : records) {
    putWord(bytes, r.number);
    putWord(bytes, r.offset);
  }
  bytes.insert(bytes.end(), texts.begin(), texts.end());
  return bytes;
}

Image compiled(const std::string& source) {
  Image image;
  std::string error;
  EXPECT_TRUE(kvb::compileSource(source, image, error)) << error;
  return image;
}

// The checks run on a heap copy of exactly the image's size, so the
// sanitizer build reports any read beyond it.
int32_t validExactly(const Image& image) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[image.size() + (image.empty() ? 1 : 0)]);
  if (!image.empty()) std::memcpy(exact.get(), image.data(), image.size());
  return catalogueImageValid(exact.get(), static_cast<int64_t>(image.size()));
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    setCataloguePath("", name_.c_str());
    resetMessageCatalogue();
  }
  void TearDown() override { resetMessageCatalogue(); }
  void install(const Image& bytes, bool reset = true) {
    test::writeFile(name_, std::string(bytes.begin(), bytes.end()));
    if (reset) resetMessageCatalogue();
  }
  std::string withPath(const std::string& before, const std::string& after) const {
    return before + name_ + after;
  }

  test::TempDir dir_;
  const std::string name_ = dir_ / "messages.kvb";
};

TEST_F(Catalogue, NumbersWithoutEntryGetEntryZero) {
  install(compiled("@0 Fallback text.\n@-8 Out of memory.\n@-3600 Usage.\n"));
  EXPECT_STREQ(messageText(-8), "Out of memory.");
  EXPECT_STREQ(messageText(-3600), "Usage.");
  for (int32_t number : {0, -9, -5000, 12, INT32_MIN}) {
    EXPECT_STREQ(messageText(number), "Fallback text.") << number;
  }
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
  EXPECT_EQ(std::string(messageText(-5)), withPath("Message -5 not found in message file '", "'"))
      << "no entry 0 either";
}

TEST_F(Catalogue, LaterRecordsReplaceEarlierOnesAndTextsMayBeShared) {
  install(rawImage(CATALOGUE_MAGIC, 40, {{-8, 0}, {-8, 4}, {-9, 4}, {-1, -1}}, "old\0new\0"s));
  EXPECT_STREQ(messageText(-8), "new");
  EXPECT_STREQ(messageText(-9), "new");
}

TEST_F(Catalogue, ExpandsArgumentReferences) {
  install(compiled(
      "@-10 name=%s1.\n@-11 100%% sure\n@-12 a% b\n@-13 x%sxy\n@-14 end%s\n@-15 100%\n"
      "@-16 %%s1\n@-17 %a%%%\n@-18 [%s0|%s2|%s1]\n@-19 [%s9]\n@-20 %s3%s0 %s8\n@-21 <%s4>\n"));
  setMessageArgument(0, ".exe");
  setMessageArgument(1, "file.txt");
  setMessageArgument(2, nullptr);
  setMessageArgument(3, "grep");
  setMessageNumberArgument(8, -3600);
  setMessageArgument(4, std::string(600, 'n').c_str());
  using Case = std::tuple<int32_t, std::string>;
  // Slot 9 is set by no test in this program: an unset slot shows nothing.
  const Case cases[] = {
      {-10, "name=file.txt."},         {-11, "100% sure"},      {-12, "a% b"},
      {-13, "x%s13 index too largey"}, {-14, "end%s14 index too large"},
      {-15, "100%"},                   {-16, "%s1"},            {-17, "%a%%"},
      {-18, "[.exe|(null)|file.txt]"}, {-19, "[]"},             {-20, "grep.exe -3600"},
      {-21, "<" + std::string(MESSAGE_SLOT_SIZE - 1, 'n') + ">"},  // cut to the slot
  };
  for (const auto& [number, expected] : cases) {
    EXPECT_EQ(std::string(messageText(number)), expected) << number;
  }

  setMessageArgument(4, "four");
  setMessageArgument(10, "ignored");
  setMessageArgument(-1, "ignored");
  setMessageNumberArgument(10, 7);
  EXPECT_STREQ(messageText(-21), "<four>");
  setMessageNumberArgument(4, INT64_MIN);
  EXPECT_STREQ(messageText(-21), "<-9223372036854775808>");
}

TEST_F(Catalogue, ResultGrowsForLongTexts) {
  const std::string longLine(5000, 'L');
  install(compiled("@-1 " + longLine + "%s6" + longLine + "\n"));
  setMessageArgument(6, std::string(511, 's').c_str());
  EXPECT_EQ(std::string(messageText(-1)), longLine + std::string(511, 's') + longLine);
}

TEST_F(Catalogue, MissingFileIsTriedAgainOnEveryLookupAndItsPathIsCut) {
  const std::string notFound = withPath("Unable to open message file '", "' not found");
  EXPECT_EQ(std::string(messageText(-8)), notFound);
  EXPECT_EQ(messageExists(-8), 0);
  EXPECT_EQ(std::string(messageText(-8)), notFound);
  install(compiled("@-8 Out of memory.\n"), false);
  EXPECT_STREQ(messageText(-8), "Out of memory.") << "loaded without a reset";

  const std::string directory(400, 'd');
  const std::string file(200, 'f');
  setCataloguePath(directory.c_str(), file.c_str());
  EXPECT_EQ(std::string(catalogueFilePath()), (directory + file).substr(0, CATALOGUE_PATH_MAX));
  resetMessageCatalogue();
  EXPECT_EQ(std::string(messageText(-1)), "Unable to open message file '" +
                                              (directory + file).substr(0, CATALOGUE_PATH_MAX) +
                                              "' not found");
}

TEST_F(Catalogue, EmptyIndexAnswersEmpty) {
  install(rawImage(CATALOGUE_MAGIC, 16, {{-1, -1}}, ""));
  EXPECT_EQ(std::string(messageText(-8)), withPath("Message file '", "' empty"));
  EXPECT_EQ(messageTableCount(), 0);
}

struct MalformedCase {
  const char* what;
  Image bytes;
};

std::vector<MalformedCase> malformedCatalogues() {
  Image truncatedIndex = rawImage(CATALOGUE_MAGIC, 32, {{-8, 0}, {-1, -1}}, "");
  truncatedIndex.resize(20);
  const int32_t M = CATALOGUE_MAGIC;
  return {
      {"empty file", {}},
      {"magic only", {0x22, 0x11, 0x00, 0x00}},
      {"wrong magic", rawImage(0x2211, 24, {{-8, 0}, {-1, -1}}, "text\0"s)},
      {"header only", rawImage(M, 16, {}, "")},
      {"index cut short", truncatedIndex},
      {"text offset past the end", rawImage(M, 24, {{-8, 100}, {-1, -1}}, "text\0"s)},
      {"text offset at the end", rawImage(M, 24, {{-8, 5}, {-1, -1}}, "text\0"s)},
      {"text without its NUL", rawImage(M, 32, {{-8, 0}, {-9, 3}, {-1, -1}}, "ok\0text"s)},
      {"text area past the end", rawImage(M, 64, {{-8, 0}, {-1, -1}}, "text\0"s)},
      {"text area not a multiple of 8", rawImage(M, 28, {{-8, 0}, {-1, -1}}, "text\0text\0"s)},
      {"text area too small for a terminator", rawImage(M, 8, {{-1, -1}}, "t\0"s)},
      {"negative text area", rawImage(M, -8, {{-1, -1}}, "t\0"s)},
      {"index without terminator", rawImage(M, 24, {{-8, 0}, {-9, 0}}, "text\0"s)},
      {"terminator after the text area", rawImage(M, 24, {{-8, 0}, {-9, 0}, {-1, -1}}, "text\0"s)},
      {"positive message number", rawImage(M, 24, {{5, 0}, {-1, -1}}, "text\0"s)},
      {"message number far too low", rawImage(M, 24, {{INT32_MIN, 0}, {-1, -1}}, "text\0"s)},
  };
}

TEST(CatalogueImage, MalformedImagesAreNotValidAndWellFormedOnesAre) {
  for (const MalformedCase& c : malformedCatalogues()) {
    EXPECT_EQ(validExactly(c.bytes), 0) << c.what;
  }
  const Image wellFormed[] = {
      rawImage(CATALOGUE_MAGIC, 16, {{-1, -1}}, ""),
      rawImage(CATALOGUE_MAGIC, 24, {{-8, 0}, {-1, -1}}, "\0"s),
      rawImage(CATALOGUE_MAGIC, 32, {{0, 0}, {-8, 2}, {-1, -1}}, "a\0b\0"s),
      // Any negative text offset ends the index; the texts may follow later.
      rawImage(CATALOGUE_MAGIC, 40, {{-8, 0}, {-7, -5}, {0, 0}, {0, 0}}, "z\0"s),
      compiled("@0 zero\n@-3600\nline\n\n@end\n"),
  };
  for (const Image& image : wellFormed) EXPECT_EQ(validExactly(image), 1);
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

TEST(CatalogueCompiler, RejectsMalformedSources) {
  // error: part of the expected message
  using Case = std::tuple<std::string, const char*>;
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
  for (const auto& [source, message] : cases) {
    Image image;
    std::string error;
    EXPECT_FALSE(kvb::compileSource(source, image, error)) << source;
    EXPECT_NE(error.find(message), std::string::npos) << "got: " << error;
  }
}

// ---------------------------------------------------------------------------
// The program's own catalogue, compiled by the build.

class ProgramCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("GREP_TEST_CATALOGUE");
    ASSERT_NE(path, nullptr) << "GREP_TEST_CATALOGUE is not set (run through ctest)";
    setCataloguePath("", path);
    resetMessageCatalogue();
  }
  void TearDown() override { resetMessageCatalogue(); }
};

TEST_F(ProgramCatalogue, HoldsEveryMessageTheProgramPrintsWithItsFileName) {
  std::vector<int32_t> numbers = {0,   -2,  -3,  -4,  -5,  -7,  -8,  -15, -18, -19, -20,
                                  -21, -22, -23, -24, -25, -26, -27, -28, -29, -30, -31,
                                  -32, -33, -34, -35, -36, -37, -38, -52, -53, -2500};
  for (int32_t number = MSG_USAGE; number >= MSG_BAD_PATTERN; --number) {
    if (number == MSG_USAGE || number <= MSG_D_ARGUMENTS) numbers.push_back(number);
  }
  for (int32_t number = MSG_OUTPUT_FAILED; number >= MSG_WALK_PATTERN_TOO_LONG; --number) {
    numbers.push_back(number);
  }
  for (int32_t number : numbers) {
    EXPECT_EQ(messageExists(number), 1) << number;
    EXPECT_GT(std::strlen(messageText(number)), 0u) << number;
  }
  // Messages printed with a name in slot 1 show it; the file layer's codes
  // are printed without arguments and must not show a stale slot.
  setMessageArgument(1, "some-file.txt");
  for (int32_t number : {MSG_F_OPEN, MSG_BAD_OPTION, MSG_LIST_OPEN, MSG_LIST_READ,
                         MSG_D_SOURCE_OPEN, MSG_D_DESTINATION_OPEN, MSG_FILE_OPEN,
                         MSG_OUTPUT_FAILED, MSG_L_WITHOUT_NAME, MSG_T_WITHOUT_SPEC,
                         MSG_CATALOGUE_NOT_COPIED, MSG_WALK_PATH_TOO_LONG,
                         MSG_WALK_PATTERN_TOO_LONG}) {
    EXPECT_NE(std::strstr(messageText(number), "some-file.txt"), nullptr) << number;
  }
  // The catalogue copy of -D names where the copy went in slot 2.
  setMessageArgument(2, "other/grep.kvb");
  for (int32_t number : {MSG_CATALOGUE_COPIED, MSG_CATALOGUE_NOT_COPIED}) {
    EXPECT_NE(std::strstr(messageText(number), "other/grep.kvb"), nullptr) << number;
  }
  for (int32_t number = -2; number >= -53; --number) {
    if (messageExists(number) == 0) continue;
    EXPECT_EQ(std::strstr(messageText(number), "some-file.txt"), nullptr) << number;
  }
}

TEST_F(ProgramCatalogue, UsageScreenHasAllMarkersAndFitsTheScreen) {
  const auto marker = [](int32_t slot) { return "<slot" + std::to_string(slot) + ">"; };
  for (int32_t slot = 0; slot <= 7; ++slot) setMessageArgument(slot, marker(slot).c_str());
  const std::string marked = messageText(MSG_USAGE);
  for (int32_t slot = 0; slot <= 7; ++slot) {
    EXPECT_NE(marked.find(marker(slot)), std::string::npos) << slot;
  }
  // The widest markers, as the usage screen sets them.
  const char* values[] = {".exe", "(*)", "(*)", "grep", "(*) ", "(*) ", "(*) ", "(*)"};
  for (int32_t slot = 0; slot <= 7; ++slot) setMessageArgument(slot, values[slot]);
  const std::string usage = messageText(MSG_USAGE);
  EXPECT_NE(usage.find("grep.exe"), std::string::npos);
  std::istringstream lines(usage);
  std::string line;
  int count = 0;
  for (; std::getline(lines, line); ++count) EXPECT_LT(line.size(), 80u) << line;
  EXPECT_LT(count, 60);
  for (const char* option : {"-B", "-C", "-D", "-E", "-F", "-FB", "-H", "-I", "-L", "-M", "-N",
                             "-O",
                             "-PO", "-R", "-T", "+T", "-U", "-u", "-utf8", "-UnicodeCallsAvailable",
                             "-V", "-W", "-W=", "-X", "-Y", "-<length> [<base>]", "?"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
