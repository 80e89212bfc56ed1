// Directory searches behind handles: the entries and their facts, the end of
// a listing, the reserved handle, the error mapping, and the name-level
// lookups. The attribute mask's choice of directories and hidden entries is
// pinned through the tree walker, which passes it on.
#include "files/dir_search.h"

#include <cstdio>
#include <map>
#include <set>

#include "files/file_handles.h"
#include "files/paths.h"
#include <tuple>

#include "tests/unit/test_support.h"

namespace {

using Names = std::set<std::string>;

// A directory holding alpha.txt (5 bytes), beta.dat (empty), a directory
// sub and a hidden file .hidden.
class ListedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("alpha.txt", "12345");
    dir.write("beta.dat", "");
    dir.write(".hidden", "h");
    std::filesystem::create_directory(dir / "sub");
    // Hidden by its leading dot on POSIX systems, by its attribute on Windows.
    ASSERT_EQ(setFileAttributes((dir / ".hidden").c_str(), FILE_ATTRIBUTE_HIDDEN), 0);
  }
  void TearDown() override { setFileAttributes((dir / ".hidden").c_str(), FILE_ATTRIBUTE_NORMAL); }

  // Every entry of the listing, by name; fails the test on a repeated name.
  std::map<std::string, DirEntry> list(uint32_t mask, const std::string& pattern = "*.*") {
    std::map<std::string, DirEntry> entries;
    int32_t handle = -1;
    DirEntry entry;
    int32_t result = findFirstEntry((dir / pattern).c_str(), &handle, mask, &entry);
    for (; result == 0; result = findNextEntry(handle, &entry)) {
      EXPECT_TRUE(entries.emplace(entry.name, entry).second) << entry.name;
    }
    EXPECT_EQ(result, -18);
    if (handle != -1) {
      EXPECT_EQ(findNextEntry(handle, &entry), -18);
      closeEntrySearch(handle);
    }
    return entries;
  }
  Names names(uint32_t mask, const std::string& pattern = "*.*") {
    return keysOf(list(mask, pattern));
  }
  static Names keysOf(const std::map<std::string, DirEntry>& entries) {
    Names result;
    for (const auto& item : entries) result.insert(item.first);
    return result;
  }

  test::TempDir dir;
};

TEST_F(ListedDirectory, ListsEveryEntryWithItsFacts) {
  std::map<std::string, DirEntry> entries = list(0x16);
  EXPECT_EQ(keysOf(entries), (Names{".", "..", ".hidden", "alpha.txt", "beta.dat", "sub"}));
  EXPECT_EQ(entries["alpha.txt"].size, 5u);
  EXPECT_EQ(entries["beta.dat"].size, 0u);
  EXPECT_EQ(entries["alpha.txt"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  for (const char* name : {".", "..", "sub"}) {
    EXPECT_NE(entries[name].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << name;
  }
  EXPECT_NE(entries[".hidden"].attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  const EntryTime& written = entries["alpha.txt"].lastWriteTime;
  EXPECT_GE(written.year, 2020);
  EXPECT_TRUE(written.month >= 1 && written.month <= 12 && written.day >= 1 && written.hour <= 23 &&
              written.milliseconds < 60000);
}

// A listing by kind names the same entries with the same kind bits; a link
// to a directory (where the test may make one) is a directory through it.
TEST_F(ListedDirectory, AListingByKindTellsTheSameKinds) {
  std::error_code linkError;
  std::filesystem::create_directory_symlink(dir / "sub", dir / "link", linkError);
  const std::map<std::string, DirEntry> full = list(0x16);
  const std::map<std::string, DirEntry> kinds = list(0x16 | ENTRY_KINDS_ONLY);
  ASSERT_EQ(keysOf(kinds), keysOf(full));
  constexpr uint32_t KIND_BITS = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
  for (const auto& [name, entry] : full) {
    EXPECT_EQ(kinds.at(name).attributes & KIND_BITS, entry.attributes & KIND_BITS) << name;
  }
  if (!linkError) {
    EXPECT_NE(kinds.at("link").attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
}

TEST_F(ListedDirectory, NamesWithoutWildcardsAndMissingNames) {
  EXPECT_EQ(names(0, "alpha.txt"), (Names{"alpha.txt"}));
  EXPECT_EQ(names(0, "sub"), Names{}) << "a directory outside the mask";
  EXPECT_EQ(names(0x10, "sub"), (Names{"sub"}));
  EXPECT_EQ(names(0x16, "missing.txt"), Names{});
  EXPECT_EQ(names(0x16, "none*.txt"), Names{});
  int32_t handle = -1;
  DirEntry entry;
  EXPECT_EQ(findFirstEntry((dir / "nodir/*.*").c_str(), &handle, 0x16, &entry), -2);
  EXPECT_EQ(handle, -1);
}

TEST_F(ListedDirectory, NameLookupsReplaceTheNamePart) {
  char path[PATH_CAPACITY];
  int32_t handle = SEARCH_HANDLE_RESERVED;
  const auto first = [&](const char* pattern, uint32_t mask) {
    std::snprintf(path, sizeof path, "%s", (dir / pattern).c_str());
    return findFirstName(path, &handle, mask);
  };
  ASSERT_EQ(first("alp*", 0), 0);
  EXPECT_EQ(std::string(path), dir / "alpha.txt");
  ASSERT_EQ(first("su*", 0x10), 0);
  EXPECT_EQ(std::string(path), dir / "sub" + platformSeparator());
  ASSERT_EQ(first("*.*", 0), 0);
  Names found = {path};
  while (findNextName(path, handle) == 0) found.insert(path);
  EXPECT_EQ(found, (Names{dir / "alpha.txt", dir / "beta.dat"}));
  EXPECT_EQ(first("zzz*", 0), -18);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(std::string(path), dir / "zzz*");
}

// Through the ANSI calls a name comes back in the code page; in the UTF-8
// mode it is converted to UTF-8, the form in which the program shows it and
// opens it again.
TEST_F(ListedDirectory, AnsiNamesComeBackInTheFormOfTheMode) {
  test::CodePageScope latin1(28591);
  if (GetACP() != 28591 && GetACP() != 1252) {
    GTEST_SKIP() << "e acute is not the byte 0xE9 in code page " << GetACP();
  }
  {
    test::EncodingScope encoding;
    encoding.singleByte();
    FileHandle file = fileOpen((dir / "caf\xE9.txt").c_str(), OPEN_WRITE);
    ASSERT_GE(file, 3);
    EXPECT_EQ(fileClose(file, -1), 0);
  }
  struct Case {
    int32_t utf8;
    const char* name;
  };
  for (const Case& c : {Case{0, "caf\xE9.txt"}, Case{1, "caf\xC3\xA9.txt"}}) {
    test::EncodingScope encoding;
    if (c.utf8 != 0) encoding.utf8(0);
    std::map<std::string, DirEntry> entries = list(0, "caf*");
    ASSERT_EQ(entries.size(), 1u) << c.utf8;
    EXPECT_EQ(entries.begin()->first, c.name) << c.utf8;
    FileHandle again = fileOpen((dir / entries.begin()->first).c_str(), OPEN_READ);
    EXPECT_GE(again, 3) << c.utf8;
    if (again >= 0) fileClose(again, -1);
  }
}

TEST(FindErrors, MapToTheEndOrToMessages) {
  struct Case {
    uint32_t error;
    int32_t expected;
  };
  // Not found and access denied end the listing; a missing path fails.
  for (const Case& c : {Case{2, -18}, {5, -18}, {18, -18}, {4, -4}, {19, -19}, {25, -25}, {31, -31},
                        {1785, -31}, {3, -2}, {6, -2}, {32, -2}, {123, -2}, {1005, -2}, {0, -2}}) {
    EXPECT_EQ(mapFindError(c.error), c.expected) << c.error;
  }
}

}  // namespace
