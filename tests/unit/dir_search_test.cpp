// Directory searches behind handles: the entries and their facts, the end of
// a listing, the filter by attribute mask, handle reuse, the reserved handle,
// the error mapping, and the name-level lookups.
#include "files/dir_search.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>

#include "files/file_handles.h"
#include "files/paths.h"
#include "files/text_encoding.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// A directory holding alpha.txt (5 bytes), beta.dat (empty), a directory
// sub and a hidden file .hidden; removed at the end of the test.
class ListedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      path_ = fs::temp_directory_path() /
              ("grepds-" + std::to_string(random()) + "-" + std::to_string(attempt));
      if (fs::create_directory(path_)) break;
    }
    write("alpha.txt", "12345");
    write("beta.dat", "");
    write(".hidden", "h");
    fs::create_directory(path_ / "sub");
    // Hidden by its leading dot on POSIX systems, by its attribute on Windows.
    ASSERT_EQ(setFileAttributes(name(".hidden").c_str(), FILE_ATTRIBUTE_HIDDEN), 0);
  }
  void TearDown() override {
    setFileAttributes(name(".hidden").c_str(), FILE_ATTRIBUTE_NORMAL);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  void write(const std::string& relative, const std::string& bytes) {
    std::ofstream out(path_ / relative, std::ios::binary);
    out << bytes;
  }
  std::string name(const std::string& relative) const {
    return path_.string() + platformSeparator() + relative;
  }
  // Every entry of the listing, by name; fails the test on a repeated name.
  std::map<std::string, DirEntry> list(uint32_t mask) {
    std::map<std::string, DirEntry> entries;
    int32_t handle = -1;
    DirEntry entry;
    int32_t result = findFirstEntry(name("*.*").c_str(), &handle, mask, &entry);
    while (result == 0) {
      EXPECT_TRUE(entries.emplace(entry.name, entry).second) << entry.name;
      result = findNextEntry(handle, &entry);
    }
    EXPECT_EQ(result, -18);
    EXPECT_EQ(findNextEntry(handle, &entry), -18);
    closeEntrySearch(handle);
    return entries;
  }

  fs::path path_;
};

std::set<std::string> namesOf(const std::map<std::string, DirEntry>& entries) {
  std::set<std::string> names;
  for (const auto& item : entries) names.insert(item.first);
  return names;
}

}  // namespace

TEST_F(ListedDirectory, ListsEveryEntryWithItsFacts) {
  std::map<std::string, DirEntry> entries = list(0x16);
  EXPECT_EQ(namesOf(entries),
            (std::set<std::string>{".", "..", ".hidden", "alpha.txt", "beta.dat", "sub"}));
  EXPECT_EQ(entries["alpha.txt"].size, 5u);
  EXPECT_EQ(entries["beta.dat"].size, 0u);
  EXPECT_EQ(entries["alpha.txt"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(entries["sub"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(entries["."].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(entries[".."].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(entries[".hidden"].attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  const EntryTime& written = entries["alpha.txt"].lastWriteTime;
  EXPECT_GE(written.year, 2020);
  EXPECT_GE(written.month, 1);
  EXPECT_LE(written.month, 12);
  EXPECT_GE(written.day, 1);
  EXPECT_LE(written.hour, 23);
  EXPECT_LT(written.milliseconds, 60000);
}

TEST_F(ListedDirectory, TheMaskDecidesOnDirectoriesAndHiddenEntries) {
  bool showAll = showAllFilesMask() != 0;
  struct Case {
    uint32_t mask;
    std::set<std::string> names;
  };
  const Case cases[] = {
      {0, {"alpha.txt", "beta.dat"}},
      {FILE_ATTRIBUTE_HIDDEN, {"alpha.txt", "beta.dat", ".hidden"}},
      {FILE_ATTRIBUTE_DIRECTORY, {".", "..", "alpha.txt", "beta.dat", "sub"}},
      // Bits above the low seven have no effect.
      {0x10000080, {"alpha.txt", "beta.dat"}},
  };
  for (const Case& c : cases) {
    std::set<std::string> expected = c.names;
    if (showAll) expected.insert(".hidden");
    EXPECT_EQ(namesOf(list(c.mask)), expected) << c.mask;
  }
}

TEST_F(ListedDirectory, ANameWithoutWildcardFindsOneEntry) {
  int32_t handle = -1;
  DirEntry entry;
  ASSERT_EQ(findFirstEntry(name("alpha.txt").c_str(), &handle, 0, &entry), 0);
  EXPECT_STREQ(entry.name, "alpha.txt");
  EXPECT_EQ(entry.size, 5u);
  EXPECT_GT(handle, 1);
  EXPECT_EQ(findNextEntry(handle, &entry), -18);
  closeEntrySearch(handle);

  handle = -1;
  EXPECT_EQ(findFirstEntry(name("sub").c_str(), &handle, 0, &entry), -18);
  EXPECT_EQ(handle, -1);
  ASSERT_EQ(findFirstEntry(name("sub").c_str(), &handle, 0x10, &entry), 0);
  EXPECT_STREQ(entry.name, "sub");
  closeEntrySearch(handle);
}

TEST_F(ListedDirectory, MissingNamesEndTheListingAndMissingDirectoriesFail) {
  int32_t handle = -1;
  DirEntry entry;
  EXPECT_EQ(findFirstEntry(name("missing.txt").c_str(), &handle, 0x16, &entry), -18);
  EXPECT_EQ(findFirstEntry(name("none*.txt").c_str(), &handle, 0x16, &entry), -18);
  EXPECT_EQ(findFirstEntry(name("nodir/*.*").c_str(), &handle, 0x16, &entry), -2);
  EXPECT_EQ(handle, -1);
}

TEST_F(ListedDirectory, ClosedHandlesAreReusedLatestFirst) {
  DirEntry entry;
  int32_t first = -1;
  int32_t second = -1;
  ASSERT_EQ(findFirstEntry(name("*.*").c_str(), &first, 0x16, &entry), 0);
  ASSERT_EQ(findFirstEntry(name("*.*").c_str(), &second, 0x16, &entry), 0);
  EXPECT_GT(first, 1);
  EXPECT_GT(second, 1);
  EXPECT_NE(first, second);
  // Two searches over one directory run independently.
  std::set<std::string> fromFirst;
  std::set<std::string> fromSecond;
  while (findNextEntry(first, &entry) == 0) fromFirst.insert(entry.name);
  while (findNextEntry(second, &entry) == 0) fromSecond.insert(entry.name);
  EXPECT_EQ(fromFirst.size(), 5u);
  EXPECT_EQ(fromFirst, fromSecond);

  closeEntrySearch(first);
  closeEntrySearch(second);
  closeEntrySearch(second);  // a second close changes nothing
  int32_t again = -1;
  ASSERT_EQ(findFirstEntry(name("*.*").c_str(), &again, 0, &entry), 0);
  EXPECT_EQ(again, second);
  int32_t next = -1;
  ASSERT_EQ(findFirstEntry(name("*.*").c_str(), &next, 0, &entry), 0);
  EXPECT_EQ(next, first);
  closeEntrySearch(again);
  closeEntrySearch(next);
}

TEST_F(ListedDirectory, AHandleGivenOnEntryMovesTheSearchToTheReservedSlot) {
  DirEntry entry;
  int32_t handle = 7;
  ASSERT_EQ(findFirstEntry(name("*.txt").c_str(), &handle, 0, &entry), 0);
  EXPECT_EQ(handle, SEARCH_HANDLE_RESERVED);
  EXPECT_STREQ(entry.name, "alpha.txt");
  EXPECT_EQ(findNextEntry(handle, &entry), -18);

  // Closing the reserved handle is ignored; a new search replaces the old.
  ASSERT_EQ(findFirstEntry(name("*.*").c_str(), &handle, 0, &entry), 0);
  closeEntrySearch(SEARCH_HANDLE_RESERVED);
  int32_t count = 1;
  while (findNextEntry(handle, &entry) == 0) ++count;
  EXPECT_EQ(count, 2);
}

TEST_F(ListedDirectory, NameLookupsReplaceTheNamePart) {
  char path[PATH_CAPACITY];
  std::string pattern = name("alp*");
  std::snprintf(path, sizeof path, "%s", pattern.c_str());
  int32_t handle = SEARCH_HANDLE_RESERVED;
  ASSERT_EQ(findFirstName(path, &handle, 0), 0);
  EXPECT_EQ(std::string(path), name("alpha.txt"));

  pattern = name("su*");
  std::snprintf(path, sizeof path, "%s", pattern.c_str());
  ASSERT_EQ(findFirstName(path, &handle, 0x10), 0);
  EXPECT_EQ(std::string(path), name("sub") + platformSeparator());

  pattern = name("*.*");
  std::snprintf(path, sizeof path, "%s", pattern.c_str());
  ASSERT_EQ(findFirstName(path, &handle, 0), 0);
  std::set<std::string> found = {path};
  while (findNextName(path, handle) == 0) found.insert(path);
  EXPECT_EQ(found, (std::set<std::string>{name("alpha.txt"), name("beta.dat")}));

  pattern = name("zzz*");
  std::snprintf(path, sizeof path, "%s", pattern.c_str());
  EXPECT_EQ(findFirstName(path, &handle, 0), -18);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(std::string(path), pattern);
}

TEST_F(ListedDirectory, Utf8NamesComeBackFromTheWideCalls) {
  int32_t savedUtf8 = utf8Mode;
  int32_t savedUnicode = unicodeCallsAvailable;
  utf8Mode = 1;
  unicodeCallsAvailable = 1;
  std::string created = name("\xCF\x80-\xE2\x82\xAC.txt");  // π-€.txt
  FileHandle file = fileOpen(created.c_str(), OPEN_WRITE);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileWrite(file, "pi", 2), 2);
  EXPECT_EQ(fileClose(file, -1), 0);
  int32_t handle = -1;
  DirEntry entry;
  ASSERT_EQ(findFirstEntry(name("*-*").c_str(), &handle, 0, &entry), 0);
  EXPECT_STREQ(entry.name, "\xCF\x80-\xE2\x82\xAC.txt");
  EXPECT_EQ(entry.size, 2u);
  EXPECT_EQ(findNextEntry(handle, &entry), -18);
  closeEntrySearch(handle);
  utf8Mode = savedUtf8;
  unicodeCallsAvailable = savedUnicode;
}

TEST(FindErrors, MapToTheEndOrToMessages) {
  struct Case {
    uint32_t error;
    int32_t expected;
  };
  const Case cases[] = {
      {2, -18},    {5, -18}, {18, -18}, {4, -4},  {19, -19}, {25, -25},  {31, -31},
      {1785, -31}, {3, -2},  {6, -2},   {32, -2}, {123, -2}, {1005, -2}, {0, -2},
  };
  for (const Case& c : cases) EXPECT_EQ(mapFindError(c.error), c.expected) << c.error;
}

TEST(WindowsFamily, NeverAppliesOnNtOrElsewhere) {
  EXPECT_FALSE(isWindows95Family());
  EXPECT_EQ(showAllFilesMask() & ~uint32_t{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}, 0u);
}
