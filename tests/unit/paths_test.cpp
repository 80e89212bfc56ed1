// Path names: file-name comparison in the three character modes, the name,
// extension and root helpers, absolute paths, and the search for a program
// and its directory along PATH.
#include "files/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "files/file_handles.h"
#include "platform/platform.h"
#include <tuple>

#include "tests/unit/test_support.h"

namespace fs = std::filesystem;

namespace {

std::string extension(const char* path, int32_t size = PATH_CAPACITY) {
  char out[PATH_CAPACITY];
  extensionOf(path, out, size);
  return out;
}

std::string stripped(const char* path, char letter) {
  char buffer[PATH_CAPACITY];
  std::snprintf(buffer, sizeof buffer, "%s", path);
  stripPathParts(buffer, letter);
  return buffer;
}

// Sets PATH for the process. putenv keeps the text itself, so every text
// ever set stays alive until the process ends.
void setPath(const std::string& value) {
  static std::deque<std::string> texts;
  texts.push_back("PATH=" + value);
  putenv(texts.back().data());
}

struct SameNameCase {
  const char* a;
  const char* b;
  bool same;
};

TEST(FileNames, CompareWithoutCaseInEveryMode) {
  test::EncodingScope encoding;
  encoding.singleByte();
  for (const SameNameCase& c : {SameNameCase{"README", "readme", true}, {"abc", "abcd", false},
                                {"abcd", "abc", false}, {"", "", true}, {"a", "b", false}}) {
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(sameFileName(c.a, static_cast<int32_t>(std::strlen(c.a)), c.b, -1), c.same);
  }
  EXPECT_TRUE(sameFileName("abcX", 3, "ABCY", 3));

  encoding.doubleByte();
  for (const SameNameCase& c : {SameNameCase{"\x81x", "\x81x", true}, {"\x81\\", "\x81\\", true},
                                {"\x81x", "ax", false},  // a pair never equals two single bytes
                                {"a\x81x", "a\x81xy", false}, {"ab", "AB", true}}) {
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
  }

  encoding.utf8();
  for (const SameNameCase& c : {SameNameCase{"\xC3\x89" "COLE", "\xC3\xA9" "cole", true},
                                {"\xCE\x91\xCE\x92", "\xCE\xB1\xCE\xB2", true},
                                {"stra\xC3\x9F" "e", "STRASSE", false},
                                {"a", "a\xCC\x81", false},
                                {"\xFF", "\xFE", true}}) {  // both invalid: the same code point
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
  }
}

TEST(PathHelpers, NamePartsAndExtensions) {
  test::EncodingScope encoding;
  encoding.singleByte();
  using Case = std::tuple<const char*, int32_t, const char*>;
  const Case cases[] = {
      {"C:\\dir\\file.txt", 7, ".txt"}, {"file", 0, ""},      {"a/b", 2, ""},
      {"C:x.c", 2, ".c"},               {"dir\\", 4, ""},     {"dir.d\\file", 6, ""},
      {"a.b.c", 0, ".c"},               {".hidden", 0, ".hidden"}, {"", 0, ""},
      {"dir\\\x81\\x.txt", 6, ".txt"},  {"a\x81.b", 0, ".b"},
  };
  for (const auto& [path, offset, suffix] : cases) {
    EXPECT_EQ(nameOffset(path), offset) << path;
    EXPECT_EQ(extension(path), suffix) << path;
  }
  EXPECT_EQ(extension("file.text", 3), ".t");
  EXPECT_EQ(lastCharacter(""), ' ');
  EXPECT_EQ(lastCharacter("ab\x81x"), 'x');

  // A second byte that looks like a separator or a dot belongs to its pair.
  encoding.doubleByte();
  EXPECT_EQ(nameOffset("dir\\\x81\\x.txt"), 4);
  EXPECT_EQ(nameOffset("\x81\\"), 0);
  EXPECT_EQ(extension("a\x81.b"), "");
  EXPECT_EQ(extension("d\\\x81\\.e"), ".e");
  EXPECT_EQ(lastCharacter("ab\x81x"), 0);
  EXPECT_EQ(lastCharacter("\x81xy"), 'y');
}

TEST(PathHelpers, RootsDriveRootsAndWildcards) {
  struct RootCase {
    const char* path;
    int32_t length;
  };
  for (const RootCase& c : {RootCase{"\\\\server\\share\\dir", 14}, {"\\\\server\\share\\", 14},
                            {"\\\\server\\share", 0}, {"C:\\x", 2}, {"C:", 2}, {"x", 0},
                            {"/dir", 0}, {"", 0}}) {
    EXPECT_EQ(rootLength(c.path), c.length) << c.path;
  }
  struct DriveCase {
    const char* path;
    bool root;
  };
  for (const DriveCase& c : {DriveCase{"C:", true}, {"C:\\", true}, {"C:/", true}, {"C:\\x", false},
                             {"C", false}, {"CD:", false}, {"C:x", false}, {"\\", false}}) {
    EXPECT_EQ(isDriveRoot(c.path), c.root) << c.path;
  }
  EXPECT_TRUE(hasWildcardText("a*b", 3));
  EXPECT_TRUE(hasWildcardText("?", 1));
  EXPECT_FALSE(hasWildcardText("[ab].txt", 8)) << "brackets alone are no wildcard";
  EXPECT_FALSE(hasWildcardText("ab*", 2));
}

TEST(PathHelpers, StripPathPartsRemovesTheChosenPart) {
  using Case = std::tuple<const char*, char, const char*>;
  const Case cases[] = {
      {"C:\\dir\\name.ext", 'P', "name.ext"},      {"C:\\dir\\name.ext", 'D', "\\dir\\name.ext"},
      {"C:\\dir\\name.ext", 'N', "C:\\dir\\"},     {"C:\\dir\\name.ext", 'E', "C:\\dir\\name"},
      {"C:\\dir\\name.ext", 'B', "name"},          {"dir.d/name", 'E', "dir.d/name"},
      {"name", 'D', "name"},                        {"a.b.c", 'B', "a.b"},
      {"a.abcdefghijklmnopqrstuvwx", 'E', "a.abcde"},  // at most 19 characters of an extension
      {"C:\\dir\\name.ext", 'Q', "C:\\dir\\name.ext"},
  };
  for (const auto& [path, letter, result] : cases) {
    EXPECT_EQ(stripped(path, letter), result) << path << " " << letter;
  }
}

// The name the usage screen shows: the name part of argv[0] without the
// system's program suffix.
TEST(ProgramTexts, ProgramNameIsTheNameItWasStartedBy) {
  const std::string suffix = platformExecutableSuffix();
  using Case = std::pair<const char*, std::string>;
  const Case cases[] = {
      {"/usr/local/bin/kgrep", "kgrep"},
      {"C:\\tools\\KGREP.EXE", suffix.empty() ? "KGREP.EXE" : "KGREP"},
      {"grep.exe", suffix.empty() ? "grep.exe" : "grep"},
      {"", "grep"},
      {"tools/", "grep"},
      {nullptr, "grep"},
  };
  for (const auto& [argument, expected] : cases) {
    char out[PATH_CAPACITY];
    programName(out, sizeof out, argument);
    EXPECT_EQ(std::string(out), expected) << (argument != nullptr ? argument : "(null)");
  }
}

// A name too long for a message keeps its start and its end, and neither cut
// splits a character of the mode in force.
TEST(ProgramTexts, LongNamesAreShortenedAtCharacterStarts) {
  enum Mode { SINGLE, UTF8, DOUBLE };
  struct Case {
    Mode mode;
    std::string text;
    int32_t capacity;
    std::string expected;
  };
  const std::string accents = "a\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
  const std::string pairs = "a\x83\x41\x83\x41\x83\x41\x83\x41\x83\x41\x83\x41";
  const Case cases[] = {
      {SINGLE, "short.txt", 10, "short.txt"},
      {SINGLE, "0123456789AB", 10, "01...89AB"},
      {SINGLE, accents, 10, "a\xC3...\xC3\xA9\xC3\xA9"},
      {UTF8, accents, 10, "a...\xC3\xA9\xC3\xA9"},
      {DOUBLE, pairs, 10, "a...\x83\x41\x83\x41"},
      {SINGLE, "0123456789AB", 5, ""},
  };
  for (const Case& c : cases) {
    test::EncodingScope encoding;
    if (c.mode == SINGLE) encoding.singleByte();
    if (c.mode == UTF8) encoding.utf8();
    if (c.mode == DOUBLE) encoding.doubleByte();
    char out[PATH_CAPACITY];
    shortenForDisplay(out, c.capacity, c.text.c_str());
    EXPECT_EQ(std::string(out), c.expected) << c.text << " in mode " << c.mode;
    EXPECT_LT(std::strlen(out), static_cast<size_t>(c.capacity));
  }
}

// Runs each test inside a fresh temporary directory as the current directory,
// with PATH restored afterwards.
class InTemporaryDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(getCurrentDirectory(savedDirectory_, PATH_CAPACITY), 0);
    ASSERT_NE(setCurrentDirectory(dir_.path().c_str()), 0);
    char current[PATH_CAPACITY];
    ASSERT_GT(getCurrentDirectory(current, PATH_CAPACITY), 0);
    base_ = current;
    const char* path = std::getenv("PATH");
    savedPath_ = path != nullptr ? path : "";
  }
  void TearDown() override {
    setCurrentDirectory(savedDirectory_);
    setPath(savedPath_);
  }

  // The current directory joined with the given parts by the system's separator.
  std::string under(std::initializer_list<std::string> parts) const {
    std::string result = base_;
    for (const std::string& part : parts) result += platformSeparator() + part;
    return result;
  }
  // Makes an executable program file: name.exe where programs carry
  // extensions, name elsewhere. Returns its name as given to the search.
  std::string makeProgram(const std::string& directory, const std::string& name) {
    const std::string file = name + (platformProgramExtensions() == 1 ? ".exe" : "");
    fs::create_directories(under({directory}));
    test::writeFile(under({directory, file}), "program");
    std::error_code ignored;
    fs::permissions(under({directory, file}), fs::perms::owner_all, fs::perm_options::add, ignored);
    return file;
  }

  test::TempDir dir_;
  std::string base_;
  char savedDirectory_[PATH_CAPACITY] = {};
  std::string savedPath_;
};

TEST_F(InTemporaryDirectory, AbsolutePathsResolveDotComponents) {
  const std::string s(1, platformSeparator());
  const std::string root = base_[1] == ':' ? base_.substr(0, 2) + s : s;
  using Case = std::tuple<std::string, std::string>;
  const Case cases[] = {
      {"a/./b/../c", under({"a", "c"})},
      {"a\\b", under({"a", "b"})},
      {"./", base_ + s},
      {"", base_ + s},
      {"../", base_.substr(0, base_.find_last_of("\\/") + 1)},
      {"x/..", under({"x", ".."})},  // a last ".." stays as it stands
      {"x/.", under({"x", "."})},
      {"\"q.txt\"", under({"q.txt"})},
      {"/r/s", root + "r" + s + "s"},
      {"/../t", root + "t"},
      {"C:\\x\\..\\y", "C:" + s + "y"},
      {"C:/x/../../y/", "C:" + s + "y" + s},
      {"\\\\srv\\share\\d", s + s + "srv" + s + "share" + s + "d"},
  };
  char out[PATH_CAPACITY];
  for (const auto& [path, expected] : cases) {
    ASSERT_EQ(absolutePath(out, path.c_str()), 0) << path;
    EXPECT_EQ(std::string(out), expected) << path;
  }
  ASSERT_EQ(driveCurrentDirectory(out, 0), 0);
  EXPECT_EQ(std::string(out), base_ + s);
  ASSERT_EQ(driveCurrentDirectory(out, 25), 0);
  EXPECT_EQ(std::string(out), "Y:\\");
}

TEST_F(InTemporaryDirectory, ProgramsAndTheirDirectoryAreFoundAlongPath) {
  const std::string file = makeProgram("bin", "tool");
  char out[PATH_CAPACITY];
  // An argument with a directory part names the program's directory itself.
  for (const std::string& argument : {"bin" + std::string(1, platformSeparator()) + file,
                                      under({"bin", file})}) {
    EXPECT_EQ(programDirectory(out, argument.c_str()),
              static_cast<int32_t>(under({"bin", ""}).size()));
    EXPECT_EQ(std::string(out), under({"bin", ""}));
  }

  // Not a program: no extension where programs need one, no execute bit elsewhere.
  fs::create_directories(under({"other"}));
  test::writeFile(under({"other", "tool"}), "data");
  std::error_code ignored;
  fs::permissions(under({"other", "tool"}), fs::perms::owner_read | fs::perms::owner_write,
                  ignored);
  setPath(under({"other"}) + platformPathListSeparator() + under({"bin"}));
  int32_t needsShell = -1;
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 0, 0), 0);
  const std::string found = platformProgramExtensions() == 1 ? "tool.EXE" : "tool";
  EXPECT_EQ(std::string(out), under({"bin", found}));
  EXPECT_EQ(needsShell, 0);
  EXPECT_EQ(programDirectory(out, "tool"), static_cast<int32_t>(under({"bin", ""}).size()));
  EXPECT_EQ(std::string(out), under({"bin", ""}));

  EXPECT_EQ(findProgram(out, "absent", PATH_CAPACITY, &needsShell, 1, 0), -2);
  EXPECT_STREQ(out, "absent");
  const std::string inBin = "bin" + std::string(1, platformSeparator()) + "absent";
  EXPECT_EQ(findProgram(out, inBin.c_str(), PATH_CAPACITY, &needsShell, 0, 0), -2);

  // A program in the current directory wins only when asked for first.
  makeProgram(".", "tool");
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 0, 0), 0);
  EXPECT_EQ(std::string(out), under({"bin", found}));
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 1, 0), 0);
  EXPECT_EQ(std::string(out), found);
  programDirectory(out, "tool");
  EXPECT_EQ(std::string(out), base_ + platformSeparator());
}

TEST_F(InTemporaryDirectory, ProgramDirectoryFollowsASymbolicLink) {
  const std::string file = makeProgram("real", "tool");
  fs::create_directories(under({"links"}));
  std::error_code error;
  fs::create_symlink(under({"real", file}), under({"links", file}), error);
  if (error) GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
  setPath(under({"links"}));
  char out[PATH_CAPACITY];
  EXPECT_EQ(programDirectory(out, "tool"), static_cast<int32_t>(under({"real", ""}).size()));
  EXPECT_EQ(std::string(out), under({"real", ""}));
}

TEST_F(InTemporaryDirectory, WindowsProgramRulesPickExtensionsAndTheShell) {
  if (platformProgramExtensions() != 1) GTEST_SKIP() << "programs here carry no extensions";
  const char* comspec = std::getenv("COMSPEC");
  const std::string shell = comspec != nullptr ? comspec : "COMMAND.COM";
  fs::create_directories(under({"bin"}));
  for (const char* name :
       {"both.exe", "both.bat", "job.bat", "pif.pif", "pif.bat", "com.exe", "com.com", "cmd.cmd"}) {
    test::writeFile(under({"bin", name}), "x");
  }
  setPath(under({"bin"}));
  struct Case {
    const char* name;
    int32_t makeShell;
    std::string output;
    int32_t needsShell;
  };
  const Case cases[] = {
      {"both", 0, under({"bin", "both.BAT"}), 1},
      {"job", 1, shell + " /c " + under({"bin", "job.BAT"}) + " ", 1},
      {"pif", 0, under({"bin", "pif.PIF"}), 0},
      {"com", 0, under({"bin", "com.com"}), 0},
      {"cmd", 0, under({"bin", "cmd.CMD"}), 1},
      {"job.bat", 0, under({"bin", "job.bat"}), 1},
      {"both.exe", 1, under({"bin", "both.exe"}), 0},
      {"dir", 1, shell + " /c dir", 1},
      {"c:", 1, shell + " /c c:", 1},
      {"sort <in", 1, shell + " /c sort <in", 1},
  };
  char out[PATH_CAPACITY];
  int32_t needsShell = -1;
  for (const Case& c : cases) {
    ASSERT_EQ(findProgram(out, c.name, PATH_CAPACITY, &needsShell, 0, c.makeShell), 0) << c.name;
    EXPECT_EQ(std::string(out), c.output) << c.name;
    EXPECT_EQ(needsShell, c.needsShell) << c.name;
  }
  EXPECT_EQ(findProgram(out, "dir", PATH_CAPACITY, &needsShell, 0, 0), -2);
}

}  // namespace
