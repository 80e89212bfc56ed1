// The tree walker over temporary trees: the order of reports, results,
// hidden entries, directories (never passed to the driver, reported to a
// visitor only when asked), hooks, pattern lists, unreadable subdirectories,
// links back up the tree, paths too long for the buffers, deep trees with a
// bounded number of open listings, and UTF-8 names. FIFOs and sockets found
// by a walk are the end-to-end suite's.
#include "selection/tree_walker.h"

#include <algorithm>
#include <cstdlib>

#include "console/message_catalogue.h"
#include "files/file_handles.h"
#include "selection/wildcards.h"
#include "tests/unit/test_support.h"

namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

const std::string SEP(1, platformSeparator());

// What the visitors and hooks saw, in order.
Names reported;
Names hookCalls;
int32_t highestFreshHandle;

int32_t collectFile(const CountedString& path, const CountedString& displayName) {
  const std::string name(path.characters, static_cast<size_t>(path.length));
  EXPECT_EQ(name, std::string(displayName.characters, static_cast<size_t>(displayName.length)));
  reported.push_back(name);
  return 0;
}

// Notes the handle a new listing would get now: slots are reused most
// recently freed first, so it tells how many listings are open.
int32_t collectFileAndCountListings(const CountedString& path, const CountedString& displayName) {
  int32_t handle = -1;
  DirEntry entry;
  if (findFirstEntry("*.*", &handle, 0, &entry) == 0) {
    highestFreshHandle = std::max(highestFreshHandle, handle);
    closeEntrySearch(handle);
  }
  return collectFile(path, displayName);
}

void visitEntry(const char* directory, const char* sameDirectory, const DirEntry* entry,
                int32_t userValue) {
  EXPECT_EQ(directory, sameDirectory);
  EXPECT_EQ(userValue, 77);
  reported.push_back(std::string(directory) + entry->name +
                     ((entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? SEP : ""));
}

void enterDirectory(const char* directory) { hookCalls.push_back("enter " + std::string(directory)); }
void leaveDirectory(const char* directory) { hookCalls.push_back("leave " + std::string(directory)); }

CountedString counted(const std::string& text) {
  CountedString result;
  appendText(result, text.c_str(), COUNTED_SPEC_CAPACITY);
  return result;
}

// The driver's call: full names, the attribute mask 7, no hooks, no list.
int32_t walkForDriver(const std::string& directory, const std::string& pattern, bool recurse,
                      WalkCallback callback = collectFile) {
  reported.clear();
  const CountedString start = counted(directory);
  const CountedString name = counted(pattern);
  return walkFiles(start, &name, WALK_FLAG_FULL_NAMES | (recurse ? WALK_FLAG_RECURSE : 0),
                   callback, 7, nullptr, nullptr, nullptr, 0);
}

// The files a recursive walk of `directory` must report, in the walker's
// order, made from the listings themselves: each subdirectory's files take
// the place of the subdirectory in its parent's listing.
void modelWalk(const std::string& directory, Names& out) {
  int32_t handle = -1;
  DirEntry entry;
  const std::string search = directory + "*.*";
  for (int32_t result = findFirstEntry(search.c_str(), &handle, 0x17, &entry); result == 0;
       result = findNextEntry(handle, &entry)) {
    const std::string name = entry.name;
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      out.push_back(directory + name);
    } else if (name != "." && name != "..") {
      modelWalk(directory + name + SEP, out);
    }
  }
  closeEntrySearch(handle);
}

Names sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

class WalkedTree : public ::testing::Test {
 protected:
  // base/ a.txt b.c .hidden.txt sub/{c.txt d.h deeper/{e.txt}} empty/ zz.txt
  void SetUp() override {
    base = dir.path() + SEP;
    for (const char* directory : {"sub", "sub/deeper", "empty"}) {
      fs::create_directories(dir / directory);
    }
    for (const char* file : {"a.txt", "b.c", ".hidden.txt", "sub/c.txt", "sub/d.h",
                             "sub/deeper/e.txt", "zz.txt"}) {
      dir.write(file, "needle\n");
    }
    ASSERT_EQ(setFileAttributes((dir / ".hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN), 0);
    hookCalls.clear();
  }
  void TearDown() override {
    setFileAttributes((dir / ".hidden.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::string under(const std::string& relative) const {
    std::string result = base + relative;
    std::replace(result.begin(), result.end(), '/', platformSeparator());
    return result;
  }

  test::TempDir dir;
  std::string base;
};

TEST_F(WalkedTree, ASubdirectorysFilesComeBeforeTheEntriesThatFollowIt) {
  Names expected;
  modelWalk(base, expected);
  EXPECT_EQ(sorted(expected),
            sorted({under(".hidden.txt"), under("a.txt"), under("b.c"), under("sub/c.txt"),
                    under("sub/d.h"), under("sub/deeper/e.txt"), under("zz.txt")}));
  EXPECT_EQ(walkForDriver(base, "*", true), 0);
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(walkForDriver(base, "*.*", true), 0);
  EXPECT_EQ(reported, expected);
}

TEST_F(WalkedTree, NamesAreMatchedInEveryDirectory) {
  struct Case {
    const char* pattern;
    bool recurse;
    Names expected;
    int32_t result;
  };
  const Case cases[] = {
      {"*.txt", true,
       {".hidden.txt", "a.txt", "sub/c.txt", "sub/deeper/e.txt", "zz.txt"}, 0},
      {"*.txt", false, {".hidden.txt", "a.txt", "zz.txt"}, 0},
      {"E.TXT", true, {"sub/deeper/e.txt"}, 0},  // a plain name, without regard to case
      {"e.txt", false, {}, -2},
      {"?.h", true, {"sub/d.h"}, 0},
      {"*.none", true, {}, -2},
      {"sub", true, {}, -2},  // directories are never passed to the driver
      {"deeper", true, {}, -2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walkForDriver(base, c.pattern, c.recurse), c.result) << c.pattern;
    Names expected;
    for (const std::string& name : c.expected) expected.push_back(under(name));
    EXPECT_EQ(sorted(reported), sorted(expected)) << c.pattern;
  }
}

TEST_F(WalkedTree, ResultsOfWalksThatReportNothing) {
  struct Case {
    std::string directory;
    const char* pattern;
    int32_t result;
  };
  const Case cases[] = {
      {under("nosuch/"), "*", -2},         // a missing start directory
      {under("empty/"), "*", -2},          // nothing in it
      {under("su*/"), "*.txt", -2},        // no wildcards in the directory part
      {under("a.txt/"), "*", -2},          // a file is no directory
      {base, "", -18},                     // no name pattern: nothing is visited
      {under("sub/"), "c.txt", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walkForDriver(c.directory, c.pattern, true), c.result) << c.directory << c.pattern;
    EXPECT_EQ(reported.size(), c.result == 0 ? 1u : 0u) << c.directory << c.pattern;
  }
}

TEST_F(WalkedTree, NamesWithoutTheDirectoryUnlessFullNamesAreAsked) {
  const CountedString start = counted(under("sub/"));
  const CountedString pattern = counted("*.txt");
  reported.clear();
  EXPECT_EQ(walkFiles(start, &pattern, WALK_FLAG_RECURSE, collectFile, 7, nullptr, nullptr,
                      nullptr, 0),
            0);
  EXPECT_EQ(sorted(reported), sorted({"c.txt", "e.txt"}));
}

TEST_F(WalkedTree, HiddenEntriesAreListedOnlyWhenTheMaskAdmitsThem) {
  reported.clear();
  EXPECT_EQ(walkTree(base.c_str(), "*.txt", 0, visitEntry, 7, nullptr, nullptr, 77, nullptr, 0), 0);
  EXPECT_EQ(sorted(reported), sorted({under(".hidden.txt"), under("a.txt"), under("zz.txt")}));
  if (showAllFilesMask() != 0) GTEST_SKIP() << "Explorer is set to show every file";
  reported.clear();
  EXPECT_EQ(walkTree(base.c_str(), "*.txt", 0, visitEntry, 0, nullptr, nullptr, 77, nullptr, 0), 0);
  EXPECT_EQ(sorted(reported), sorted({under("a.txt"), under("zz.txt")}));
}

TEST_F(WalkedTree, DirectoriesAreReportedAfterTheirContentWhenAsked) {
  reported.clear();
  EXPECT_EQ(walkTree(base.c_str(), "*", WALK_FLAG_RECURSE, visitEntry, 0x17, nullptr, nullptr, 77,
                     nullptr, 0),
            0);
  auto at = [&](const std::string& name) {
    return std::find(reported.begin(), reported.end(), under(name)) - reported.begin();
  };
  for (const char* name : {"sub/", "sub/deeper/", "empty/", "sub/c.txt", "sub/deeper/e.txt"}) {
    EXPECT_LT(at(name), static_cast<ptrdiff_t>(reported.size())) << name;
  }
  EXPECT_LT(at("sub/deeper/e.txt"), at("sub/deeper/"));
  EXPECT_LT(at("sub/deeper/"), at("sub/"));
  EXPECT_LT(at("sub/c.txt"), at("sub/"));
  // "." and ".." are reported as they are listed but never entered.
  EXPECT_EQ(std::count(reported.begin(), reported.end(), under("sub/./")), 1);
  EXPECT_EQ(std::count(reported.begin(), reported.end(), under("sub/../")), 1);
  for (const std::string& name : reported) {
    const std::string directory = name.substr(0, name.rfind(SEP, name.size() - 2) + 1);
    EXPECT_EQ(directory.find(SEP + "." + SEP), std::string::npos) << name;
    EXPECT_EQ(directory.find(SEP + ".." + SEP), std::string::npos) << name;
  }
}

TEST_F(WalkedTree, HooksFrameEachDirectoryOfARecursiveWalk) {
  fs::remove_all(dir / "sub");
  fs::create_directories(dir / "sub");
  reported.clear();
  EXPECT_EQ(walkTree(base.c_str(), "*.c", WALK_FLAG_RECURSE, visitEntry, 7, enterDirectory,
                     leaveDirectory, 77, nullptr, 0),
            0);
  Names expected = {"enter " + base, "enter " + under("sub/"), "leave " + under("sub/"),
                    "enter " + under("empty/"), "leave " + under("empty/"), "leave " + base};
  // The two subdirectories come in the order of the listing.
  int32_t handle = -1;
  DirEntry entry;
  bool emptyFirst = false;
  for (int32_t r = findFirstEntry((base + "*.*").c_str(), &handle, 0x17, &entry); r == 0;
       r = findNextEntry(handle, &entry)) {
    if (std::string(entry.name) == "sub") break;
    if (std::string(entry.name) == "empty") emptyFirst = true;
  }
  closeEntrySearch(handle);
  if (emptyFirst) {
    std::swap(expected[1], expected[3]);
    std::swap(expected[2], expected[4]);
  }
  EXPECT_EQ(hookCalls, expected);
  hookCalls.clear();
  EXPECT_EQ(walkTree(base.c_str(), "*.c", 0, visitEntry, 7, enterDirectory, leaveDirectory, 77,
                     nullptr, 0),
            0);
  EXPECT_TRUE(hookCalls.empty()) << "hooks belong to recursive walks";
}

TEST_F(WalkedTree, APatternListSelectsWhatAnyOfItsPatternsMatches) {
  const char* const patterns[] = {"*.h", "A.TXT", "b.*"};
  reported.clear();
  EXPECT_EQ(walkTree(base.c_str(), nullptr, WALK_FLAG_RECURSE, visitEntry, 7, nullptr, nullptr,
                     77, patterns, 3),
            0);
  EXPECT_EQ(sorted(reported), sorted({under("a.txt"), under("b.c"), under("sub/d.h")}));
}

TEST(WalkUnreadable, ASubdirectoryThatCannotBeListedIsSkippedSilently) {
  test::TempDir dir;
  const std::string base = dir.path() + SEP;
  fs::create_directories(dir / "locked");
  fs::create_directories(dir / "open");
  dir.write("open" + SEP + "x.txt", "x");
  dir.write("locked" + SEP + "y.txt", "y");
  dir.write("z.txt", "z");
  std::error_code error;
  fs::permissions(dir / "locked", fs::perms::none, error);
  int32_t handle = -1;
  DirEntry entry;
  if (error || findFirstEntry((dir / "locked" + SEP + "*.*").c_str(), &handle, 0x17, &entry) == 0) {
    closeEntrySearch(handle);
    GTEST_SKIP() << "a directory cannot be made unreadable here";
  }
  test::OutputCapture capture;
  EXPECT_EQ(walkForDriver(base, "*.txt", true), 0);
  EXPECT_EQ(sorted(reported), sorted({base + "open" + SEP + "x.txt", base + "z.txt"}));
  EXPECT_EQ(walkForDriver(dir / "locked" + SEP, "*.txt", true), -2);
  EXPECT_EQ(capture.finish(), "");
  fs::permissions(dir / "locked", fs::perms::owner_all, error);
}

TEST(WalkLinks, ADirectoryReachedAgainUpTheTreeIsNotWalkedAgain) {
  test::TempDir dir;
  const std::string base = dir.path() + SEP;
  fs::create_directories(dir / "top" + SEP + "sub");
  fs::create_directories(dir / "other");
  dir.write("top" + SEP + "one.txt", "1");
  dir.write("top" + SEP + "sub" + SEP + "two.txt", "2");
  dir.write("other" + SEP + "three.txt", "3");
  std::error_code error;
  fs::create_directory_symlink(dir / "top", dir / "top" + SEP + "sub" + SEP + "up", error);
  if (!error) fs::create_directory_symlink(".", dir / "top" + SEP + "sub" + SEP + "self", error);
  if (!error) fs::create_directory_symlink(dir / "other", dir / "top" + SEP + "side", error);
  if (error) GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();

  const std::string top = base + "top" + SEP;
  EXPECT_EQ(walkForDriver(top, "*.txt", true), 0);
  // The link to a directory outside the walk is a path of its own.
  EXPECT_EQ(sorted(reported), sorted({top + "one.txt", top + "sub" + SEP + "two.txt",
                                      top + "side" + SEP + "three.txt"}));
  // Started below the loop, the walk still ends; the start directory counts.
  EXPECT_EQ(walkForDriver(top + "sub" + SEP, "*.txt", true), 0);
  EXPECT_EQ(sorted(reported), sorted({top + "sub" + SEP + "two.txt",
                                      top + "sub" + SEP + "up" + SEP + "one.txt",
                                      top + "sub" + SEP + "up" + SEP + "side" + SEP + "three.txt"}));
}

TEST(WalkLimits, AnEntryWhosePathIsTooLongIsSkippedWithAMessage) {
  test::TempDir dir;
  const std::string longA(200, 'a');
  // The directory holding the deepest entries has a path of 481 characters.
  const std::string longB(278 - dir.path().size(), 'b');
  const std::string middle = dir.path() + SEP + longA + SEP + longB + SEP;
  ASSERT_EQ(middle.size(), 481u);
  std::error_code error;
  fs::create_directories(middle + "c" + std::string(29, 'c'), error);
  if (!error) test::writeFile(middle + "c" + std::string(29, 'c') + SEP + "deep.txt", "x");
  if (!error) test::writeFile(middle + "ok.txt", "x");
  if (!error) test::writeFile(middle + std::string(27, 'f') + ".txt", "x");  // 512 characters
  if (!error) test::writeFile(middle + std::string(26, 'f') + ".txt", "x");  // 511 characters
  if (error || !fs::exists(middle + "ok.txt")) GTEST_SKIP() << "paths this long cannot be made here";
  // The ANSI calls of Windows stop at 260 characters: such a directory cannot
  // be listed at all and is skipped like an unreadable one.
  int32_t handle = -1;
  DirEntry entry;
  if (findFirstEntry((middle + "*.*").c_str(), &handle, 0x17, &entry) != 0) {
    GTEST_SKIP() << "the system lists no directory with a path this long";
  }
  closeEntrySearch(handle);

  if (const char* catalogue = std::getenv("GREP_TEST_CATALOGUE")) {
    setCataloguePath("", catalogue);
    resetMessageCatalogue();
  }
  test::OutputCapture capture;
  EXPECT_EQ(walkForDriver(dir.path() + SEP, "*.txt", true), 0);
  EXPECT_EQ(sorted(reported), sorted({middle + "ok.txt", middle + std::string(26, 'f') + ".txt"}));
  const std::string printed = capture.finish();
  setMessageArgument(1, middle.c_str());
  const std::string line = std::string(messageText(MSG_WALK_PATH_TOO_LONG)) + "\r\n";
  EXPECT_EQ(printed, line + line) << "one line for the subdirectory, one for the file";
}

TEST(WalkLimits, DeepTreesKeepFewListingsOpenAndTheirOrder) {
  test::TempDir dir;
  std::string level = dir.path() + SEP;
  const int depth = 40;
  for (int i = 0; i < depth; ++i) {
    for (const char* name : {"f1.txt", "f2.txt", "m.txt", "z.txt"}) test::writeFile(level + name, "x");
    level += "d" + SEP;
    fs::create_directory(level);
  }
  Names expected;
  modelWalk(dir.path() + SEP, expected);
  ASSERT_EQ(expected.size(), static_cast<size_t>(4 * depth));
  highestFreshHandle = 0;
  EXPECT_EQ(walkForDriver(dir.path() + SEP, "*.txt", true, collectFileAndCountListings), 0);
  EXPECT_EQ(reported, expected);
  EXPECT_GT(highestFreshHandle, 0);
  EXPECT_LE(highestFreshHandle, 20) << "open listings must not grow with the depth";
}

TEST(WalkNames, Utf8NamesReachTheSystemAndComeBackWhole) {
  test::EncodingScope encoding;
  encoding.utf8(1);
  test::TempDir dir;
  const std::string base = dir.path() + SEP;
  ASSERT_EQ(createDirectory((base + "r\xC3\xA9pertoire").c_str()), 0);
  const std::string file = base + "r\xC3\xA9pertoire" + SEP + "\xC3\xA9" "cole.txt";
  FileHandle handle = fileOpen(file.c_str(), OPEN_WRITE);
  ASSERT_GE(handle, 0);
  fileClose(handle, -1);
  for (const char* pattern : {"\xC3\x89" "COLE.TXT", "*.txt"}) {
    EXPECT_EQ(walkForDriver(base, pattern, true), 0) << pattern;
    EXPECT_EQ(reported, Names{file}) << pattern;
  }
}

}  // namespace
