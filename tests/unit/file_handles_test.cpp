// The file access layer: handle numbering and reuse, the standard handles,
// reads, seeks and open errors, table growth, readWholeFile, the error mapping
// and the name-based operations. Positions past 4 GiB are the platform
// layer's and the text window's tests; UTF-8 names the tree walker's.
#include "files/file_handles.h"

#include <cstdio>

#include "support/memory_pool.h"
#include <tuple>

#include "tests/unit/test_support.h"

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;

namespace {

std::string textOf(const EntryTime& t) {
  return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
         " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + " " +
         std::to_string(t.milliseconds);
}

uint32_t attributesOf(const std::string& name) {
  DirEntry entry;
  int32_t handle = -1;
  EXPECT_EQ(findFirstEntry(name.c_str(), &handle, 0, &entry), 0) << name;
  closeEntrySearch(handle);
  return entry.attributes;
}

}  // namespace

TEST(FileHandleNumbering, StandardAndInvalidHandles) {
  for (FileHandle handle : {0, 1, 2}) EXPECT_EQ(fileClose(handle, -1), -35) << handle;
  EXPECT_EQ(fileWrite(1, "", 0), 0) << "still usable";
  EXPECT_EQ(fileWrite(2, "", 0), 0);

  TempDir dir;
  const std::string name = dir.write("a.txt", "abc");
  FileHandle closed = fileOpen(name.c_str(), OPEN_READ);
  ASSERT_GE(closed, 3);
  ASSERT_EQ(fileClose(closed, -1), 0);
  char buffer[4];
  for (FileHandle handle : {-1, closed, 100000}) {
    EXPECT_EQ(fileRead(handle, buffer, 4), -33) << handle;
    EXPECT_EQ(fileWrite(handle, "x", 1), -34) << handle;
    EXPECT_EQ(fileSeek(handle, 0, 0), -33) << handle;
    EXPECT_EQ(fileTruncate(handle), -34) << handle;
    EXPECT_EQ(fileFlush(handle), -34) << handle;
    EXPECT_EQ(fileClose(handle, -1), -35) << handle;
  }
}

TEST(FileHandleIo, ReadsSeeksAndReportsTheEnd) {
  TempDir dir;
  FileHandle file = fileOpen(dir.write("hello.txt", "hello").c_str(), OPEN_READ);
  ASSERT_GE(file, 3);
  char buffer[16] = {};
  EXPECT_EQ(fileRead(file, buffer, 16), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(fileRead(file, buffer, 16), 0);
  EXPECT_EQ(fileRead(file, buffer, 16), 0);
  EXPECT_EQ(fileSeek(file, 1, 0), 1);
  EXPECT_EQ(fileSeek(file, 2, 1), 3);
  EXPECT_EQ(fileRead(file, buffer, 16), 2);
  EXPECT_EQ(std::string(buffer, 2), "lo");
  EXPECT_EQ(fileSeek(file, -2, 2), 3);
  EXPECT_EQ(fileCanSeek(file), 1);
  EXPECT_EQ(fileClose(file, -1), 0);
}

TEST(FileHandleIo, WriteTruncateAndTheOpenModes) {
  TempDir dir;
  const std::string name = dir / "modes.txt";
  FileHandle file = fileOpen(name.c_str(), OPEN_WRITE);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileWrite(file, "0123456789", 10), 10);
  EXPECT_EQ(fileFlush(file), 0);
  EXPECT_EQ(fileSeek(file, 4, 0), 4);
  EXPECT_EQ(fileTruncate(file), 0);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(readFile(name), "0123");
  // "a" reads and writes in place; "wb" and "a+" start the file anew; a
  // handle that lets others write cannot write itself.
  struct Case {
    int32_t mode;
    bool readFirst;
    std::string expected;
  };
  for (const Case& c : {Case{OPEN_UPDATE, true, "01xy"}, Case{OPEN_WRITE, false, "xy"},
                        Case{OPEN_READ_WRITE, false, "xy"}, Case{OPEN_READ_SHARED, true, "0123"}}) {
    test::writeFile(name, "0123");
    file = fileOpen(name.c_str(), c.mode);
    ASSERT_GE(file, 3) << c.mode;
    char buffer[2];
    EXPECT_TRUE(!c.readFirst || fileRead(file, buffer, 2) == 2) << c.mode;
    EXPECT_EQ(fileWrite(file, "xy", 2) == 2, c.mode != OPEN_READ_SHARED) << c.mode;
    EXPECT_EQ(fileClose(file, -1), 0);
    EXPECT_EQ(readFile(name), c.expected) << c.mode;
  }
  file = fileOpen((dir / "fresh.txt").c_str(), OPEN_CREATE_NEW);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_TRUE(fs::exists(dir / "fresh.txt"));
  // A temporary file starts anew, reads back what was written, and is gone
  // once it is closed.
  test::writeFile(name, "0123");
  file = fileOpen(name.c_str(), OPEN_TEMPORARY);
  ASSERT_GE(file, 3);
  char back[4] = {};
  EXPECT_EQ(fileWrite(file, "xy", 2), 2);
  EXPECT_EQ(fileSeek(file, 0, 0), 0);
  EXPECT_EQ(fileRead(file, back, 4), 2);
  EXPECT_EQ(std::string(back, 2), "xy");
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_FALSE(fs::exists(name));
}

TEST(FileHandleIo, OpenErrorsMapToMessages) {
  TempDir dir;
  const std::string existing = dir.write("there.txt", "x");
  const std::string missing = dir / "missing.txt";
  const std::string inMissingDirectory = dir / "nodir/file.txt";
  using Case = std::tuple<std::string, int32_t, int32_t>;
  const Case cases[] = {
      {missing, OPEN_READ, -2},           {missing, OPEN_UPDATE, -2},
      {missing, OPEN_READ_SHARED, -2},    {inMissingDirectory, OPEN_READ, -3},
      {inMissingDirectory, OPEN_WRITE, -3}, {existing, OPEN_CREATE_NEW, -32},
  };
  for (const auto& [name, mode, expected] : cases) {
    EXPECT_EQ(fileOpen(name.c_str(), mode), expected) << name << " mode " << mode;
  }
}

TEST(FileHandleTable, TheHundredAndFirstOpenGrowsTheTableAndKeepsEarlierHandles) {
  TempDir dir;
  const std::string name = dir.write("many.txt", "0123456789");
  std::vector<FileHandle> handles;
  for (int i = 0; i < 130; ++i) {
    FileHandle handle = fileOpen(name.c_str(), OPEN_READ);
    ASSERT_GE(handle, 3) << i;
    handles.push_back(handle);
    ASSERT_EQ(fileSeek(handle, i % 10, 0), i % 10);  // each handle has a position of its own
  }
  for (int i = 0; i < 130; ++i) {
    char c = 0;
    ASSERT_EQ(fileRead(handles[i], &c, 1), 1) << i;
    EXPECT_EQ(c, static_cast<char>('0' + i % 10)) << i;
  }
  for (FileHandle handle : handles) EXPECT_EQ(fileClose(handle, -1), 0);
}

TEST(FileHandleIo, ReadWholeFileDropsOneEndOfFileMarkUnlessAskedToKeepIt) {
  TempDir dir;
  using Case = std::tuple<std::string, int32_t, int64_t>;
  const Case cases[] = {
      {"abc\x1A", 0, 3},   {"abc\x1A", 1, 4}, {"abc", 0, 3},
      {"a\x1A\x1A", 0, 2}, {"", 0, 0},        {std::string("x\0y", 3), 0, 3},
  };
  for (const auto& [contents, keep, expectedLength] : cases) {
    const std::string name = dir.write("whole.txt", contents);
    char* buffer = nullptr;
    int64_t length = -1;
    ASSERT_EQ(readWholeFile(name.c_str(), &buffer, &length, keep), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(length, expectedLength);
    EXPECT_EQ(std::string(buffer, contents.size()), contents);
    EXPECT_EQ(buffer[contents.size()], 0);
    memFree(buffer);
  }
  char* buffer = reinterpret_cast<char*>(1);
  int64_t length = -1;
  EXPECT_EQ(readWholeFile((dir / "missing").c_str(), &buffer, &length, 0), -2);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0);
}

TEST(FileHandleStandardInput, IsFetchedAgainAndReadingItRepeatedlyTakesNoMemory) {
  TempDir dir;
  const std::string name = dir.write("input.txt", "typed input");
  ASSERT_NE(std::freopen(name.c_str(), "rb", stdin), nullptr);
  char buffer[32] = {};
  ASSERT_EQ(fileRead(0, buffer, 32), 11);
  EXPECT_EQ(std::string(buffer, 11), "typed input");
  EXPECT_EQ(fileRead(0, buffer, 32), 0);

  const uint32_t chunks = memChunkCount();
  const int32_t handleTable = fileHandleCapacity();
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(fileRead(0, buffer, 32), 0);
  EXPECT_EQ(memChunkCount(), chunks);
  EXPECT_EQ(fileHandleCapacity(), handleTable);
  std::fclose(stdin);
}

TEST(FileNames, FactsOfFilesAndDirectories) {
  TempDir dir;
  const std::string file = dir.write("file.txt", "12345");
  const std::string missing = dir / "missing";
  const std::string nested = dir / "a/b/c";
  EXPECT_EQ(makeDirectories(nested.c_str(), 1), 0);
  EXPECT_TRUE(fs::is_directory(dir / "a/b"));
  EXPECT_FALSE(fs::exists(nested));
  EXPECT_EQ(makeDirectories(nested.c_str(), 0), 0);
  EXPECT_EQ(makeDirectories(nested.c_str(), 0), 0);
  EXPECT_EQ(makeDirectories((file + "/x/y").c_str(), 0), 1) << "a file where a directory should be";
  EXPECT_EQ(createDirectory(nested.c_str()), -5);

  const std::string withSeparator = nested + platformSeparator();
  EXPECT_EQ(fileExists(file.c_str(), 0), 1);
  EXPECT_EQ(fileExists(nested.c_str(), 0), 0);
  EXPECT_EQ(fileExists(withSeparator.c_str(), 1), 1);
  EXPECT_EQ(fileExists(missing.c_str(), 1), 0);
  EXPECT_EQ(fileSize(file.c_str()), 5);
  EXPECT_EQ(fileSize(nested.c_str()), -1);
  EXPECT_EQ(isDirectory(withSeparator.c_str(), 0), 1);
  EXPECT_EQ(isDirectory(file.c_str(), 0), 0);
  EXPECT_EQ(isDirectory(file.c_str(), 1), 1) << "files accepted";
  EXPECT_EQ(isDirectory(missing.c_str(), 1), 0);
  for (const char* root : {"", "C:", "C:\\"}) EXPECT_EQ(isDirectory(root, 0), 1) << root;

  EXPECT_LT(removeDirectory((dir / "a").c_str()), 0) << "not empty";
  EXPECT_EQ(removeDirectory(nested.c_str()), 0);
  EXPECT_FALSE(fs::exists(nested));
  EXPECT_EQ(removeDirectory(nested.c_str()), -2);
}

TEST(FileNames, DeleteRenameAttributesAndTimes) {
  TempDir dir;
  const std::string old = dir.write("old.txt", "data");
  const std::string renamed = dir / "new.txt";
  const std::string missing = dir / "missing";
  EXPECT_EQ(renameFile(renamed.c_str(), old.c_str()), 0);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(readFile(renamed), "data");
  EXPECT_LT(renameFile(renamed.c_str(), old.c_str()), 0);

  EntryTime wanted = {6000, 5, 4, 3, 2, 2001};  // 2001-02-03 04:05:06
  EXPECT_EQ(setFileTime(renamed.c_str(), &wanted), 0);
  EntryTime got = {};
  EXPECT_EQ(fileTime(renamed.c_str(), &got), 0);
  EXPECT_EQ(textOf(got), textOf(wanted));
  EXPECT_EQ(fileTime(missing.c_str(), &got), -2);
  EXPECT_EQ(setFileTime(missing.c_str(), &wanted), -2);

  EXPECT_EQ(setFileAttributes(renamed.c_str(), FILE_ATTRIBUTE_READONLY), 0);
  EXPECT_NE(attributesOf(renamed) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(setFileAttributes(renamed.c_str(), FILE_ATTRIBUTE_NORMAL), 0);
  EXPECT_EQ(attributesOf(renamed) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(setFileAttributes(missing.c_str(), FILE_ATTRIBUTE_NORMAL), -2);

  EXPECT_EQ(deleteFile(renamed.c_str()), 0);
  EXPECT_FALSE(fs::exists(renamed));
  EXPECT_EQ(deleteFile(renamed.c_str()), -2);
}

TEST(FileNames, CurrentDirectoryIsSetAndRead) {
  TempDir dir;
  char saved[FILE_NAME_MAX + 1];
  ASSERT_GT(getCurrentDirectory(saved, sizeof saved), 0);
  ASSERT_NE(setCurrentDirectory(dir.path().c_str()), 0);
  char now[FILE_NAME_MAX + 1];
  const int32_t length = getCurrentDirectory(now, sizeof now);
  EXPECT_EQ(std::string(now, length), fs::current_path().string());
  EXPECT_EQ(getCurrentDirectory(now, 4), 3);
  EXPECT_EQ(std::strlen(now), 3u);
  EXPECT_EQ(setCurrentDirectory((dir / "missing").c_str()), 0);
  ASSERT_NE(setCurrentDirectory(saved), 0);
}

TEST(FileNames, NamesWhoseConversionYieldsNoTextFailWithoutReachingTheSystem) {
  TempDir dir;
  test::EncodingScope encoding;
  // Not UTF-8: a lone 0xFF byte. The file exists under this byte name (the
  // code page's reading of it), so only a refusal before the call gives -2.
  const std::string bad = dir / "bad\xFF.txt";
  const std::string badDirectory = dir / "bad\xFF";
  utf8Mode = 0;
  FileHandle made = fileOpen(bad.c_str(), OPEN_WRITE);
  ASSERT_GE(made, 3);
  EXPECT_EQ(fileClose(made, -1), 0);
  for (int32_t unicode : {0, 1}) {
    encoding.utf8(unicode);
    EXPECT_EQ(fileOpen(bad.c_str(), OPEN_READ), -2) << unicode;
    EXPECT_EQ(deleteFile(bad.c_str()), -2) << unicode;
    EXPECT_EQ(createDirectory(badDirectory.c_str()), -2) << unicode;
    EXPECT_EQ(fileExists(bad.c_str(), 0), 0) << unicode;
    EXPECT_EQ(fileSize(bad.c_str()), -1) << unicode;
    EXPECT_EQ(setCurrentDirectory(badDirectory.c_str()), 0) << unicode;
    EXPECT_EQ(renameFile((dir / "other").c_str(), bad.c_str()), -2) << unicode;
  }
  utf8Mode = 0;
  EXPECT_EQ(fileExists(bad.c_str(), 0), 1);
  EXPECT_EQ(fileExists(badDirectory.c_str(), 1), 0);
}
