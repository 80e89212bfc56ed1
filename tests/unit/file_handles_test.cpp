// The file access layer: handle numbering and reuse, the standard handles,
// reads, seeks and open errors, table growth, 64-bit positions, readWholeFile,
// the error mapping and the name-based operations.
#include "files/file_handles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "platform/platform.h"
#include "support/memory_pool.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
struct TempDir {
  fs::path path;

  TempDir() {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      path = fs::temp_directory_path() /
             ("grepfh-" + std::to_string(random()) + "-" + std::to_string(attempt));
      if (fs::create_directory(path)) break;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  // Joined as bytes: a path object would reinterpret names that are not text.
  std::string name(const std::string& relative) const { return path.string() + "/" + relative; }
};

void writeFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Restores the name-call settings a test changes.
struct NameModeGuard {
  int32_t savedUtf8 = utf8Mode;
  int32_t savedUnicode = unicodeCallsAvailable;
  ~NameModeGuard() {
    utf8Mode = savedUtf8;
    unicodeCallsAvailable = savedUnicode;
  }
};

}  // namespace

// Runs first: no handle has been handed out yet in this process.
TEST(FileHandleNumbering, FirstHandleIsThreeAndClosedHandlesAreReusedLatestFirst) {
  TempDir dir;
  std::string name = dir.name("a.txt");
  writeFile(name, "abc");
  ASSERT_LE(fileHandleCounter(), 3) << "a handle was opened before this test";

  FileHandle first = fileOpen(name.c_str(), OPEN_READ);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(fileClose(first, -1), 0);
  EXPECT_EQ(fileOpen(name.c_str(), OPEN_READ), 3);

  FileHandle second = fileOpen(name.c_str(), OPEN_READ);
  FileHandle third = fileOpen(name.c_str(), OPEN_READ);
  EXPECT_EQ(second, 4);
  EXPECT_EQ(third, 5);
  EXPECT_EQ(fileClose(3, -1), 0);
  EXPECT_EQ(fileClose(second, -1), 0);
  EXPECT_EQ(fileOpen(name.c_str(), OPEN_READ), second);
  EXPECT_EQ(fileOpen(name.c_str(), OPEN_READ), 3);
  EXPECT_EQ(fileOpen(name.c_str(), OPEN_READ), 6);
  for (FileHandle handle : {3, second, third, 6}) EXPECT_EQ(fileClose(handle, -1), 0);
}

TEST(FileHandleNumbering, StandardHandlesRefuseToCloseAndStayUsable) {
  for (FileHandle handle : {0, 1, 2}) EXPECT_EQ(fileClose(handle, -1), -35) << handle;
  EXPECT_EQ(fileWrite(1, "", 0), 0);
  EXPECT_EQ(fileWrite(2, "", 0), 0);
}

TEST(FileHandleNumbering, InvalidHandlesGiveTheCodeOfTheOperation) {
  TempDir dir;
  std::string name = dir.name("a.txt");
  writeFile(name, "abc");
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
  std::string name = dir.name("hello.txt");
  writeFile(name, "hello");
  FileHandle file = fileOpen(name.c_str(), OPEN_READ);
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
  EXPECT_EQ(fileSeek(file, 0, 2), 5);
  EXPECT_EQ(fileCanSeek(file), 1);
  EXPECT_EQ(fileClose(file, -1), 0);
}

TEST(FileHandleIo, WriteTruncateAndTheOpenModes) {
  TempDir dir;
  std::string name = dir.name("modes.txt");

  FileHandle file = fileOpen(name.c_str(), OPEN_WRITE);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileWrite(file, "0123456789", 10), 10);
  EXPECT_EQ(fileFlush(file), 0);
  EXPECT_EQ(fileSeek(file, 4, 0), 4);
  EXPECT_EQ(fileTruncate(file), 0);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(readFile(name), "0123");

  // "a": must exist, reads and writes in place.
  file = fileOpen(name.c_str(), OPEN_UPDATE);
  ASSERT_GE(file, 3);
  char buffer[8] = {};
  EXPECT_EQ(fileRead(file, buffer, 2), 2);
  EXPECT_EQ(fileWrite(file, "xy", 2), 2);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(readFile(name), "01xy");

  // "wb" and "a+" start the file anew.
  for (int32_t mode : {OPEN_WRITE, OPEN_READ_WRITE}) {
    writeFile(name, "old contents");
    file = fileOpen(name.c_str(), mode);
    ASSERT_GE(file, 3) << mode;
    EXPECT_EQ(fileSeek(file, 0, 2), 0) << mode;
    EXPECT_EQ(fileWrite(file, "new", 3), 3) << mode;
    EXPECT_EQ(fileClose(file, -1), 0);
    EXPECT_EQ(readFile(name), "new") << mode;
  }

  // Reading with others allowed to write; a read-only handle cannot write.
  file = fileOpen(name.c_str(), OPEN_READ_SHARED);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileRead(file, buffer, 8), 3);
  EXPECT_LT(fileWrite(file, "z", 1), 0);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(readFile(name), "new");

  std::string fresh = dir.name("fresh.txt");
  file = fileOpen(fresh.c_str(), OPEN_CREATE_NEW);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_TRUE(fs::exists(fresh));
}

TEST(FileHandleIo, OpenErrorsMapToMessages) {
  TempDir dir;
  std::string existing = dir.name("there.txt");
  writeFile(existing, "x");
  struct Case {
    std::string name;
    int32_t mode;
    int32_t expected;
  };
  const Case cases[] = {
      {dir.name("missing.txt"), OPEN_READ, -2},        {dir.name("missing.txt"), OPEN_UPDATE, -2},
      {dir.name("missing.txt"), OPEN_READ_SHARED, -2}, {dir.name("nodir/file.txt"), OPEN_READ, -3},
      {dir.name("nodir/file.txt"), OPEN_WRITE, -3},    {existing, OPEN_CREATE_NEW, -32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fileOpen(c.name.c_str(), c.mode), c.expected) << c.name << " mode " << c.mode;
  }
}

TEST(FileHandleTable, TheHundredAndFirstOpenGrowsTheTableAndKeepsEarlierHandles) {
  TempDir dir;
  std::string name = dir.name("many.txt");
  writeFile(name, "0123456789");
  std::vector<FileHandle> handles;
  for (int i = 0; i < 130; ++i) {
    FileHandle handle = fileOpen(name.c_str(), OPEN_READ);
    ASSERT_GE(handle, 3) << i;
    handles.push_back(handle);
    // Each handle keeps a position of its own.
    ASSERT_EQ(fileSeek(handle, i % 10, 0), i % 10);
  }
  EXPECT_GE(fileHandleCapacity(), 200);
  EXPECT_EQ(fileHandleCapacity() % 100, 0);
  EXPECT_GE(osTableCapacity(), 200);
  for (int i = 0; i < 130; ++i) {
    char c = 0;
    ASSERT_EQ(fileRead(handles[i], &c, 1), 1) << i;
    EXPECT_EQ(c, static_cast<char>('0' + i % 10)) << i;
  }
  for (FileHandle handle : handles) EXPECT_EQ(fileClose(handle, -1), 0);
}

TEST(FileHandleIo, SeeksAndSizesBeyondFourGibibytes) {
  TempDir dir;
  std::string name = dir.name("sparse.bin");
  const int64_t beyond = (int64_t{5} << 30) + 7;
  FileHandle file = fileOpen(name.c_str(), OPEN_READ_WRITE);
  ASSERT_GE(file, 3);
  ASSERT_EQ(fileSeek(file, beyond, 0), beyond);
  if (fileWrite(file, "Z", 1) != 1) {
    fileClose(file, -1);
    GTEST_SKIP() << "the file system cannot hold a sparse file of 5 GiB";
  }
  EXPECT_EQ(fileSeek(file, 0, 2), beyond + 1);
  EXPECT_EQ(fileSeek(file, -1, 2), beyond);
  char c = 0;
  EXPECT_EQ(fileRead(file, &c, 1), 1);
  EXPECT_EQ(c, 'Z');
  EXPECT_EQ(fileSeek(file, -beyond - 1, 1), 0);
  EXPECT_EQ(fileSeek(file, int64_t{1} << 32, 1), int64_t{1} << 32);
  EXPECT_EQ(fileRead(file, &c, 1), 1);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(fileSize(name.c_str()), beyond + 1);
  char* buffer = nullptr;
  int64_t length = -1;
  EXPECT_EQ(readWholeFile(name.c_str(), &buffer, &length, 0), -8);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0);
}

TEST(FileHandleIo, ReadWholeFileDropsOneEndOfFileMarkUnlessAskedToKeepIt) {
  TempDir dir;
  struct Case {
    std::string contents;
    int32_t keep;
    int64_t length;
  };
  const Case cases[] = {
      {"abc\x1A", 0, 3},   {"abc\x1A", 1, 4}, {"abc", 0, 3},
      {"a\x1A\x1A", 0, 2}, {"", 0, 0},        {std::string("x\0y", 3), 0, 3},
  };
  std::string name = dir.name("whole.txt");
  for (const Case& c : cases) {
    writeFile(name, c.contents);
    char* buffer = nullptr;
    int64_t length = -1;
    ASSERT_EQ(readWholeFile(name.c_str(), &buffer, &length, c.keep), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(std::string(buffer, c.contents.size()), c.contents);
    EXPECT_EQ(buffer[c.contents.size()], 0);
    memFree(buffer);
  }
  char* buffer = reinterpret_cast<char*>(1);
  int64_t length = -1;
  EXPECT_EQ(readWholeFile(dir.name("missing").c_str(), &buffer, &length, 0), -2);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0);
}

TEST(FileHandleErrors, SystemErrorsMapToMessageNumbers) {
  struct Case {
    uint32_t error;
    int32_t expected;
  };
  const Case cases[] = {
      {0, 0},    {2, -2},    {3, -3},    {4, -4},    {5, -5},     {7, -7},     {8, -8},
      {15, -15}, {18, -18},  {19, -19},  {25, -25},  {31, -31},   {32, -5},    {183, -5},
      {82, -38}, {112, -36}, {191, -37}, {193, -37}, {1005, -31}, {1785, -31}, {6, -99},
      {80, -99}, {87, -99},  {1, -99},   {16, -99},  {17, -99},   {1784, -99}, {0xFFFFFFFFu, -99},
  };
  for (const Case& c : cases) EXPECT_EQ(mapSystemError(c.error, -99), c.expected) << c.error;
}

TEST(FileHandleStandardInput, IsFetchedAgainAndReadingItRepeatedlyTakesNoMemory) {
  TempDir dir;
  std::string name = dir.name("input.txt");
  writeFile(name, "typed input");
  ASSERT_NE(std::freopen(name.c_str(), "rb", stdin), nullptr);
  char buffer[32] = {};
  ASSERT_EQ(fileRead(0, buffer, 32), 11);
  EXPECT_EQ(std::string(buffer, 11), "typed input");
  EXPECT_EQ(fileRead(0, buffer, 32), 0);

  uint32_t chunks = memChunkCount();
  int32_t handleTable = fileHandleCapacity();
  int32_t osTable = osTableCapacity();
  int32_t osHandedOut = osTableCounter();
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(fileRead(0, buffer, 32), 0);
  }
  EXPECT_EQ(memChunkCount(), chunks);
  EXPECT_EQ(fileHandleCapacity(), handleTable);
  EXPECT_EQ(osTableCapacity(), osTable);
  EXPECT_EQ(osTableCounter(), osHandedOut);
  std::fclose(stdin);
}

TEST(FileNames, ExistenceDirectoriesAndSizes) {
  TempDir dir;
  std::string file = dir.name("file.txt");
  std::string sub = dir.name("sub");
  writeFile(file, "12345");
  fs::create_directory(sub);
  char separator = platformSeparator();

  EXPECT_EQ(fileExists(file.c_str(), 0), 1);
  EXPECT_EQ(fileExists(sub.c_str(), 0), 0);
  EXPECT_EQ(fileExists(sub.c_str(), 1), 1);
  EXPECT_EQ(fileExists((sub + separator).c_str(), 1), 1);
  EXPECT_EQ(fileExists(dir.name("missing").c_str(), 1), 0);
  EXPECT_EQ(fileSize(file.c_str()), 5);
  EXPECT_EQ(fileSize(sub.c_str()), -1);
  EXPECT_EQ(fileSize(dir.name("missing").c_str()), -1);

  EXPECT_EQ(isDirectory(sub.c_str(), 0), 1);
  EXPECT_EQ(isDirectory((sub + separator).c_str(), 0), 1);
  EXPECT_EQ(isDirectory(file.c_str(), 0), 0);
  EXPECT_EQ(isDirectory(file.c_str(), 1), 1);
  EXPECT_EQ(isDirectory(dir.name("missing").c_str(), 1), 0);
  EXPECT_EQ(isDirectory("", 0), 1);
  EXPECT_EQ(isDirectory("C:", 0), 1);
  EXPECT_EQ(isDirectory("C:\\", 0), 1);
}

TEST(FileNames, DirectoriesAreMadeRemovedAndRefused) {
  TempDir dir;
  std::string nested = dir.name("a/b/c");
  EXPECT_EQ(makeDirectories(nested.c_str(), 1), 0);
  EXPECT_TRUE(fs::is_directory(dir.path / "a" / "b"));
  EXPECT_FALSE(fs::exists(dir.path / "a" / "b" / "c"));
  EXPECT_EQ(makeDirectories(nested.c_str(), 0), 0);
  EXPECT_TRUE(fs::is_directory(dir.path / "a" / "b" / "c"));
  EXPECT_EQ(makeDirectories(nested.c_str(), 0), 0);

  EXPECT_EQ(createDirectory(nested.c_str()), -5);
  EXPECT_EQ(removeDirectory(dir.name("a").c_str()) < 0, true);
  EXPECT_EQ(removeDirectory(nested.c_str()), 0);
  EXPECT_FALSE(fs::exists(dir.path / "a" / "b" / "c"));
  EXPECT_EQ(removeDirectory(nested.c_str()), -2);

  // A file where a parent directory should be.
  std::string blocker = dir.name("blocker");
  writeFile(blocker, "x");
  EXPECT_EQ(makeDirectories(dir.name("blocker/x/y").c_str(), 0), 1);
}

TEST(FileNames, DeleteRenameAttributesAndTimes) {
  TempDir dir;
  std::string old = dir.name("old.txt");
  std::string renamed = dir.name("new.txt");
  writeFile(old, "data");
  EXPECT_EQ(renameFile(renamed.c_str(), old.c_str()), 0);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(readFile(renamed), "data");
  EXPECT_LT(renameFile(renamed.c_str(), old.c_str()), 0);

  EntryTime wanted = {};
  wanted.year = 2001;
  wanted.month = 2;
  wanted.day = 3;
  wanted.hour = 4;
  wanted.minute = 5;
  wanted.milliseconds = 6000;
  EXPECT_EQ(setFileTime(renamed.c_str(), &wanted), 0);
  EntryTime got = {};
  EXPECT_EQ(fileTime(renamed.c_str(), &got), 0);
  EXPECT_EQ(got.year, 2001);
  EXPECT_EQ(got.month, 2);
  EXPECT_EQ(got.day, 3);
  EXPECT_EQ(got.hour, 4);
  EXPECT_EQ(got.minute, 5);
  EXPECT_EQ(got.milliseconds, 6000);
  EXPECT_EQ(fileTime(dir.name("missing").c_str(), &got), -2);
  EXPECT_EQ(setFileTime(dir.name("missing").c_str(), &wanted), -2);

  DirEntry entry;
  int32_t handle = -1;
  EXPECT_EQ(setFileAttributes(renamed.c_str(), FILE_ATTRIBUTE_READONLY), 0);
  ASSERT_EQ(findFirstEntry(renamed.c_str(), &handle, 0, &entry), 0);
  closeEntrySearch(handle);
  EXPECT_NE(entry.attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(setFileAttributes(renamed.c_str(), FILE_ATTRIBUTE_NORMAL), 0);
  handle = -1;
  ASSERT_EQ(findFirstEntry(renamed.c_str(), &handle, 0, &entry), 0);
  closeEntrySearch(handle);
  EXPECT_EQ(entry.attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(setFileAttributes(dir.name("missing").c_str(), FILE_ATTRIBUTE_NORMAL), -2);

  EXPECT_EQ(deleteFile(renamed.c_str()), 0);
  EXPECT_FALSE(fs::exists(renamed));
  EXPECT_EQ(deleteFile(renamed.c_str()), -2);
}

TEST(FileNames, CurrentDirectoryIsSetAndRead) {
  TempDir dir;
  char saved[FILE_NAME_MAX + 1];
  int32_t savedLength = getCurrentDirectory(saved, sizeof saved);
  ASSERT_GT(savedLength, 0);
  EXPECT_EQ(static_cast<size_t>(savedLength), std::strlen(saved));

  ASSERT_NE(setCurrentDirectory(dir.path.string().c_str()), 0);
  char now[FILE_NAME_MAX + 1];
  int32_t length = getCurrentDirectory(now, sizeof now);
  EXPECT_EQ(std::string(now, length), fs::current_path().string());
  EXPECT_EQ(getCurrentDirectory(now, 4), 3);
  EXPECT_EQ(std::strlen(now), 3u);
  EXPECT_EQ(setCurrentDirectory(dir.name("missing").c_str()), 0);
  ASSERT_NE(setCurrentDirectory(saved), 0);
}

TEST(FileNames, NamesWhoseConversionYieldsNoTextFailWithoutReachingTheSystem) {
  TempDir dir;
  NameModeGuard guard;
  // Not UTF-8: a lone 0xFF byte. The file exists under this byte name (the
  // code page's reading of it), so only a refusal before the call gives -2.
  std::string bad = dir.name("bad\xFF.txt");
  utf8Mode = 0;
  FileHandle made = fileOpen(bad.c_str(), OPEN_WRITE);
  ASSERT_GE(made, 3);
  EXPECT_EQ(fileClose(made, -1), 0);
  std::string badDirectory = dir.name("bad\xFF");
  for (int32_t unicode : {0, 1}) {
    utf8Mode = 1;
    unicodeCallsAvailable = unicode;
    EXPECT_EQ(fileOpen(bad.c_str(), OPEN_READ), -2) << unicode;
    EXPECT_EQ(deleteFile(bad.c_str()), -2) << unicode;
    EXPECT_EQ(createDirectory(badDirectory.c_str()), -2) << unicode;
    EXPECT_EQ(fileExists(bad.c_str(), 0), 0) << unicode;
    EXPECT_EQ(fileSize(bad.c_str()), -1) << unicode;
    EXPECT_EQ(setCurrentDirectory(badDirectory.c_str()), 0) << unicode;
    EXPECT_EQ(renameFile(dir.name("other").c_str(), bad.c_str()), -2) << unicode;
  }
  utf8Mode = 0;
  EXPECT_EQ(fileExists(bad.c_str(), 0), 1);
  EXPECT_EQ(fileExists(badDirectory.c_str(), 1), 0);
}

TEST(FileNames, Utf8NamesTravelThroughTheWideCalls) {
  TempDir dir;
  NameModeGuard guard;
  utf8Mode = 1;
  unicodeCallsAvailable = 1;
  std::string name = dir.name("") + "caf\xC3\xA9 \xE2\x82\xAC.txt";
  FileHandle file = fileOpen(name.c_str(), OPEN_WRITE);
  ASSERT_GE(file, 3);
  EXPECT_EQ(fileWrite(file, "euro", 4), 4);
  EXPECT_EQ(fileClose(file, -1), 0);
  EXPECT_EQ(fileSize(name.c_str()), 4);
  EXPECT_TRUE(fs::exists(dir.path / fs::path(u8"caf\u00e9 \u20ac.txt")));
  std::string renamed = dir.name("") + "\xCE\xB1\xCE\xB2.txt";
  EXPECT_EQ(renameFile(renamed.c_str(), name.c_str()), 0);
  EXPECT_TRUE(fs::exists(dir.path / fs::path(u8"\u03b1\u03b2.txt")));
  EXPECT_EQ(deleteFile(renamed.c_str()), 0);
  EXPECT_FALSE(fs::exists(dir.path / fs::path(u8"\u03b1\u03b2.txt")));
}
