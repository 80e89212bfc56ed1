// Path names: file-name comparison in the three character modes, the name,
// extension and root helpers, absolute paths, and the search for a program
// and its directory along PATH.
#include "files/paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "files/file_handles.h"
#include "files/text_encoding.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// Saves and restores the character-mode settings a test changes.
class CharacterModes : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDbcs_ = systemDbcs;
    savedUtf8_ = utf8Mode;
    std::memcpy(savedTable_, leadByteTable, sizeof savedTable_);
  }
  void TearDown() override {
    systemDbcs = savedDbcs_;
    utf8Mode = savedUtf8_;
    std::memcpy(leadByteTable, savedTable_, sizeof savedTable_);
  }
  void singleByte() {
    systemDbcs = 0;
    utf8Mode = 0;
    std::memset(leadByteTable, 0, sizeof leadByteTable);
  }
  // Lead bytes 0x81 to 0x9F, as in Shift-JIS.
  void doubleByte() {
    singleByte();
    systemDbcs = 1;
    for (int b = 0x81; b <= 0x9F; ++b) leadByteTable[b] = 1;
  }

 private:
  uint32_t savedDbcs_ = 0;
  int32_t savedUtf8_ = 0;
  uint32_t savedTable_[256] = {};
};

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

}  // namespace

TEST_F(CharacterModes, FileNamesCompareWithoutCaseInEveryMode) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  singleByte();
  const Case singleByteCases[] = {
      {"README", "readme", true}, {"abc", "abcd", false}, {"abcd", "abc", false}, {"", "", true},
      {"a.TXT", "A.txt", true},   {"a", "b", false},
  };
  for (const Case& c : singleByteCases) {
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(sameFileName(c.a, static_cast<int32_t>(std::strlen(c.a)), c.b, -1), c.same);
  }
  EXPECT_TRUE(sameFileName("abcX", 3, "ABCY", 3));

  doubleByte();
  const Case doubleByteCases[] = {
      {"\x81x", "\x81x", true},                              // a pair compares as a unit
      {"\x81\\", "\x81\\", true},   {"\x81x", "ax", false},  // a pair never equals two single bytes
      {"a\x81x", "a\x81xy", false}, {"ab", "AB", true},
  };
  for (const Case& c : doubleByteCases) {
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
  }

  singleByte();
  utf8Mode = 1;
  const Case utf8Cases[] = {
      {"\xC3\x89"
       "COLE",
       "\xC3\xA9"
       "cole",
       true},
      {"\xCE\x91\xCE\x92", "\xCE\xB1\xCE\xB2", true},
      {"stra\xC3\x9F"
       "e",
       "STRASSE", false},
      {"a", "a\xCC\x81", false},
      {"\xFF", "\xFE", true},  // both invalid: one byte each, the same code point
  };
  for (const Case& c : utf8Cases) {
    EXPECT_EQ(sameFileName(c.a, -1, c.b, -1), c.same) << c.a << " / " << c.b;
  }
}

TEST_F(CharacterModes, NamePartsAndExtensions) {
  singleByte();
  struct Case {
    const char* path;
    int32_t nameOffset;
    const char* extension;
  };
  const Case cases[] = {
      {"C:\\dir\\file.txt", 7, ".txt"},
      {"file", 0, ""},
      {"a/b", 2, ""},
      {"C:x.c", 2, ".c"},
      {"dir\\", 4, ""},
      {"dir.d\\file", 6, ""},
      {"a.b.c", 0, ".c"},
      {".hidden", 0, ".hidden"},
      {"", 0, ""},
      {"x/y.tar.gz", 2, ".gz"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nameOffset(c.path), c.nameOffset) << c.path;
    EXPECT_EQ(extension(c.path), c.extension) << c.path;
  }
  EXPECT_EQ(extension("file.text", 3), ".t");
  EXPECT_EQ(lastCharacter(""), ' ');
  EXPECT_EQ(lastCharacter("abc"), 'c');
  EXPECT_EQ(lastCharacter("ab\x81x"), 'x');
  EXPECT_EQ(nameOffset("dir\\\x81\\x.txt"), 6);
  EXPECT_EQ(extension("a\x81.b"), ".b");
}

TEST_F(CharacterModes, DoubleByteNamesKeepASecondByteThatLooksLikeASeparator) {
  doubleByte();
  EXPECT_EQ(nameOffset("dir\\\x81\\x.txt"), 4);
  EXPECT_EQ(nameOffset("\x81\\"), 0);
  EXPECT_EQ(extension("a\x81.b"), "");
  EXPECT_EQ(extension("d\\\x81\\.e"), ".e");
  EXPECT_EQ(lastCharacter("ab\x81x"), 0);
  EXPECT_EQ(lastCharacter("\x81xy"), 'y');
}

TEST(PathHelpers, RootsAndDriveRoots) {
  struct RootCase {
    const char* path;
    int32_t length;
  };
  const RootCase roots[] = {
      {"\\\\server\\share\\dir", 14},
      {"\\\\server\\share\\", 14},
      {"\\\\server\\share", 0},
      {"C:\\x", 2},
      {"C:", 2},
      {"x", 0},
      {"/dir", 0},
      {"", 0},
  };
  for (const RootCase& c : roots) EXPECT_EQ(rootLength(c.path), c.length) << c.path;

  struct DriveCase {
    const char* path;
    bool root;
  };
  const DriveCase drives[] = {
      {"C:", true}, {"C:\\", true}, {"C:/", true},  {"C:\\x", false}, {"C", false},
      {"", false},  {"CD:", false}, {"C:x", false}, {"\\", false},
  };
  for (const DriveCase& c : drives) EXPECT_EQ(isDriveRoot(c.path), c.root) << c.path;

  EXPECT_TRUE(hasWildcardText("a*b", 3));
  EXPECT_TRUE(hasWildcardText("?", 1));
  EXPECT_FALSE(hasWildcardText("[ab].txt", 8));
  EXPECT_FALSE(hasWildcardText("ab*", 2));
  EXPECT_FALSE(hasWildcardText("", 0));
}

TEST(PathHelpers, StripPathPartsRemovesTheChosenPart) {
  struct Case {
    const char* path;
    char letter;
    const char* result;
  };
  const Case cases[] = {
      {"C:\\dir\\name.ext", 'P', "name.ext"},
      {"C:\\dir\\name.ext", 'D', "\\dir\\name.ext"},
      {"C:\\dir\\name.ext", 'N', "C:\\dir\\"},
      {"C:\\dir\\name.ext", 'E', "C:\\dir\\name"},
      {"C:\\dir\\name.ext", 'B', "name"},
      {"dir.d/name", 'E', "dir.d/name"},
      {"name", 'D', "name"},
      {"name", 'P', "name"},
      {"a.b.c", 'B', "a.b"},
      // Only 19 characters of a longer extension are removed.
      {"a.abcdefghijklmnopqrstuvwx", 'E', "a.abcde"},
      {"C:\\dir\\name.ext", 'Q', "C:\\dir\\name.ext"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stripped(c.path, c.letter), c.result) << c.path << " " << c.letter;
  }
}

// Runs each test inside a fresh temporary directory as the current directory,
// with PATH restored afterwards.
class InTemporaryDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      path_ = fs::temp_directory_path() /
              ("greppa-" + std::to_string(random()) + "-" + std::to_string(attempt));
      if (fs::create_directory(path_)) break;
    }
    ASSERT_GT(getCurrentDirectory(savedDirectory_, PATH_CAPACITY), 0);
    ASSERT_NE(setCurrentDirectory(path_.string().c_str()), 0);
    char current[PATH_CAPACITY];
    ASSERT_GT(getCurrentDirectory(current, PATH_CAPACITY), 0);
    base_ = current;
    const char* path = std::getenv("PATH");
    hadPath_ = path != nullptr;
    if (hadPath_) savedPath_ = path;
  }
  void TearDown() override {
    setCurrentDirectory(savedDirectory_);
    if (hadPath_) setPath(savedPath_);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  // The current directory joined with the given parts by the system's separator.
  std::string under(std::initializer_list<std::string> parts) const {
    std::string result = base_;
    for (const std::string& part : parts) result += separator() + part;
    return result;
  }
  static std::string separator() { return std::string(1, platformSeparator()); }
  // Makes an executable program file: name.exe where programs carry
  // extensions, name elsewhere. Returns its name as given to the search.
  std::string makeProgram(const std::string& directory, const std::string& name) {
    std::string file = name + (platformProgramExtensions() == 1 ? ".exe" : "");
    fs::create_directories(path_ / directory);
    std::ofstream(path_ / directory / file) << "program";
    std::error_code ignored;
    fs::permissions(path_ / directory / file, fs::perms::owner_all, fs::perm_options::add, ignored);
    return file;
  }

  fs::path path_;
  std::string base_;
  char savedDirectory_[PATH_CAPACITY] = {};
  bool hadPath_ = false;
  std::string savedPath_;
};

TEST_F(InTemporaryDirectory, AbsolutePathsResolveDotComponents) {
  std::string s = separator();
  std::string root = base_[1] == ':' ? base_.substr(0, 2) + s : s;
  std::string parent = base_.substr(0, base_.find_last_of("\\/") + 1);
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"a/./b/../c", under({"a", "c"})},
      {"a\\b", under({"a", "b"})},
      {"./", base_ + s},
      {"", base_ + s},
      {"../", parent},
      {"x/..", under({"x", ".."})},  // a last ".." stays as it stands
      {"x/.", under({"x", "."})},
      {"\"q.txt\"", under({"q.txt"})},
      {"/r/s", root + "r" + s + "s"},
      {"/../t", root + "t"},
      {"C:\\x\\..\\y", "C:" + s + "y"},
      {"C:/x/../../y/", "C:" + s + "y" + s},
      {"\\\\srv\\share\\d", s + s + "srv" + s + "share" + s + "d"},
  };
  for (const Case& c : cases) {
    char out[PATH_CAPACITY];
    ASSERT_EQ(absolutePath(out, c.path.c_str()), 0) << c.path;
    EXPECT_EQ(std::string(out), c.expected) << c.path;
  }
  char out[PATH_CAPACITY];
  ASSERT_EQ(driveCurrentDirectory(out, 0), 0);
  EXPECT_EQ(std::string(out), base_ + s);
  ASSERT_EQ(driveCurrentDirectory(out, 25), 0);
  EXPECT_EQ(std::string(out), "Y:\\");
}

TEST_F(InTemporaryDirectory, ProgramDirectoryOfAnArgumentWithADirectoryPart) {
  std::string file = makeProgram("bin", "tool");
  char out[PATH_CAPACITY];
  std::string argument = "bin" + separator() + file;
  int32_t length = programDirectory(out, argument.c_str());
  EXPECT_EQ(std::string(out), under({"bin", ""}));
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(out)));
  length = programDirectory(out, under({"bin", file}).c_str());
  EXPECT_EQ(std::string(out), under({"bin", ""}));
}

TEST_F(InTemporaryDirectory, ProgramsAreFoundAlongPath) {
  std::string file = makeProgram("bin", "tool");
  // Not a program: no extension where programs need one, no execute bit elsewhere.
  fs::create_directories(path_ / "other");
  std::ofstream(path_ / "other" / "tool") << "data";
  std::error_code ignored;
  fs::permissions(path_ / "other" / "tool", fs::perms::owner_read | fs::perms::owner_write,
                  ignored);
  setPath(under({"other"}) + platformPathListSeparator() + under({"bin"}));

  char out[PATH_CAPACITY];
  int32_t needsShell = -1;
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 0, 0), 0);
  std::string expected = under({"bin", platformProgramExtensions() == 1 ? "tool.EXE" : "tool"});
  EXPECT_EQ(std::string(out), expected);
  EXPECT_EQ(needsShell, 0);

  int32_t length = programDirectory(out, "tool");
  EXPECT_EQ(std::string(out), under({"bin", ""}));
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(out)));

  EXPECT_EQ(findProgram(out, "absent", PATH_CAPACITY, &needsShell, 1, 0), -2);
  EXPECT_STREQ(out, "absent");
  EXPECT_EQ(
      findProgram(out, ("bin" + separator() + "absent").c_str(), PATH_CAPACITY, &needsShell, 0, 0),
      -2);

  // A program in the current directory wins only when asked for first.
  makeProgram(".", "tool");
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 0, 0), 0);
  EXPECT_EQ(std::string(out), expected);
  ASSERT_EQ(findProgram(out, "tool", PATH_CAPACITY, &needsShell, 1, 0), 0);
  EXPECT_EQ(std::string(out), platformProgramExtensions() == 1 ? "tool.EXE" : "tool");
  length = programDirectory(out, "tool");
  EXPECT_EQ(std::string(out), base_ + separator());
}

TEST_F(InTemporaryDirectory, ProgramDirectoryFollowsASymbolicLink) {
  std::string file = makeProgram("real", "tool");
  fs::create_directories(path_ / "links");
  std::error_code error;
  fs::create_symlink(path_ / "real" / file, path_ / "links" / file, error);
  if (error) GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
  setPath(under({"links"}));
  char out[PATH_CAPACITY];
  int32_t length = programDirectory(out, "tool");
  EXPECT_EQ(std::string(out), under({"real", ""}));
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(out)));
}

TEST_F(InTemporaryDirectory, WindowsProgramRulesPickExtensionsAndTheShell) {
  if (platformProgramExtensions() != 1) GTEST_SKIP() << "programs here carry no extensions";
  const char* comspec = std::getenv("COMSPEC");
  std::string shell = comspec != nullptr ? comspec : "COMMAND.COM";
  for (const char* name :
       {"both.exe", "both.bat", "job.bat", "pif.pif", "pif.bat", "com.exe", "com.com", "cmd.cmd"}) {
    fs::create_directories(path_ / "bin");
    std::ofstream(path_ / "bin" / name) << "x";
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
      {"job", 0, under({"bin", "job.BAT"}), 1},
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
  for (const Case& c : cases) {
    char out[PATH_CAPACITY];
    int32_t needsShell = -1;
    ASSERT_EQ(findProgram(out, c.name, PATH_CAPACITY, &needsShell, 0, c.makeShell), 0) << c.name;
    EXPECT_EQ(std::string(out), c.output) << c.name;
    EXPECT_EQ(needsShell, c.needsShell) << c.name;
  }
  char out[PATH_CAPACITY];
  int32_t needsShell = -1;
  EXPECT_EQ(findProgram(out, "dir", PATH_CAPACITY, &needsShell, 0, 0), -2);
}
