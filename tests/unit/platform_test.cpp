// The operating-system seam as the program relies on it: Win32 error numbers
// of file and directory calls, 64-bit file positions, directory listings with
// their attribute bits and wildcard rules, both separators, time conversions,
// the code page (locale table, lead bytes, case folding), Unicode conversions
// and the platform.h extras. The same tests run on the native build and on
// the Windows build under Wine; where the systems legitimately differ the
// test asks the seam at run time (platformProgramExtensions, GetACP).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32.h"

namespace {

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + platformSeparator() + name;
}

uint64_t ticksOf(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

void writeFile(const std::string& name, const std::string& content) {
  HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
  ASSERT_EQ(written, content.size());
  ASSERT_TRUE(CloseHandle(file));
}

void removeTree(const std::string& directory) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(joinPath(directory, "*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") {
        continue;
      }
      std::string path = joinPath(directory, name);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        removeTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &data));
    FindClose(search);
  }
  RemoveDirectoryA(directory.c_str());
}

// A new directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class TempDirectory {
 public:
  TempDirectory() {
    char base[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH) {
      return;
    }
    char name[MAX_PATH];
    if (GetTempFileNameA(base, "plt", 0, name) == 0) {
      return;
    }
    DeleteFileA(name);
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
    }
  }
  ~TempDirectory() {
    if (!path_.empty()) {
      removeTree(path_);
    }
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  bool ready() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return joinPath(path_, name); }

 private:
  std::string path_;
};

struct Listing {
  std::vector<std::string> names;  // in the order delivered
  std::vector<WIN32_FIND_DATAA> entries;
  DWORD firstError = 0;  // when nothing was found
  DWORD endError = 0;    // of the FindNextFileA that ended
};

Listing listEntries(const std::string& pattern) {
  Listing listing;
  WIN32_FIND_DATAA data;
  SetLastError(0);
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    listing.firstError = GetLastError();
    return listing;
  }
  do {
    listing.names.push_back(data.cFileName);
    listing.entries.push_back(data);
  } while (FindNextFileA(search, &data));
  listing.endError = GetLastError();
  FindClose(search);
  return listing;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

const WIN32_FIND_DATAA* entryNamed(const Listing& listing, const std::string& name) {
  for (size_t i = 0; i < listing.names.size(); ++i) {
    if (listing.names[i] == name) {
      return &listing.entries[i];
    }
  }
  return nullptr;
}

// A file holding "abc", a file without an extension, a second file with one,
// and a subdirectory.
void makeSampleTree(const TempDirectory& dir) {
  writeFile(dir / "a.txt", "abc");
  writeFile(dir / "noext", "");
  writeFile(dir / "readme.md", "12345");
  ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
}

// Switches to a code page where the seam emulates it and restores the
// original at the end; applied() is false where the system owns the code page.
class CodePageScope {
 public:
  explicit CodePageScope(uint32_t codePage) : original_(GetACP()) {
    platformSetCodePage(codePage);
    applied_ = GetACP() == codePage;
  }
  ~CodePageScope() { platformSetCodePage(original_); }
  CodePageScope(const CodePageScope&) = delete;
  CodePageScope& operator=(const CodePageScope&) = delete;
  bool applied() const { return applied_; }

 private:
  uint32_t original_;
  bool applied_ = false;
};

// ---------------------------------------------------------------------------
// Files

TEST(PlatformFiles, CreateFileFailuresCarryWin32ErrorNumbers) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  writeFile(dir / "exists.txt", "x");
  ASSERT_TRUE(CreateDirectoryA((dir / "folder").c_str(), nullptr));
  struct Case {
    std::string name;
    DWORD access;
    DWORD creation;
    DWORD error;
  };
  const Case cases[] = {
      {dir / "missing.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {joinPath(dir / "nodir", "x.txt"), GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {joinPath(dir / "nodir", "x.txt"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {dir / "exists.txt", GENERIC_READ | GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
      {dir / "folder", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {dir / "folder", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    HANDLE file = CreateFileA(c.name.c_str(), c.access, FILE_SHARE_READ, nullptr, c.creation, 0,
                              nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE) << c.name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error)) << c.name;
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }
}

TEST(PlatformFiles, CreationModesTruncateKeepAndDelete) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  std::string name = dir / "modes.txt";

  SetLastError(1234);
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "hello", 5, &done, nullptr));
  ASSERT_TRUE(CloseHandle(file));

  // OPEN_EXISTING keeps the contents.
  file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "hello");
  ASSERT_TRUE(CloseHandle(file));

  // CREATE_ALWAYS empties an existing file and says that it existed.
  SetLastError(0);
  file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  LONG high = 0;
  EXPECT_EQ(SetFilePointer(file, 0, &high, FILE_END), 0u);
  ASSERT_TRUE(CloseHandle(file));

  // A file opened for deletion on close is gone once closed.
  std::string scratch = dir / "scratch.tmp";
  file = CreateFileA(scratch.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteFile(file, "temp", 4, &done, nullptr));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "temp");
  ASSERT_TRUE(CloseHandle(file));
  SetLastError(0);
  EXPECT_EQ(GetFileAttributesA(scratch.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PlatformFiles, ReadWriteSeekAndTruncate) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  HANDLE file = CreateFileA((dir / "io.bin").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(file), static_cast<DWORD>(FILE_TYPE_DISK));

  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "0123456789", 10, &done, nullptr));
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u);
  EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
  char buffer[16];
  ASSERT_TRUE(ReadFile(file, buffer, 3, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "234");
  EXPECT_EQ(SetFilePointer(file, -4, nullptr, FILE_END), 6u);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "6789");

  // At the end a read succeeds with nothing.
  done = 99;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);

  // A seek before the start is refused and leaves the position alone.
  SetLastError(0);
  EXPECT_EQ(SetFilePointer(file, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u);

  // Overwrite in the middle, then cut the file at the position.
  EXPECT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
  ASSERT_TRUE(WriteFile(file, "ab", 2, &done, nullptr));
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_TRUE(FlushFileBuffers(file));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 6u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "0123ab");
  ASSERT_TRUE(CloseHandle(file));
}

TEST(PlatformFiles, PositionsBeyondFourGigabytes) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  std::string name = dir / "sparse.bin";
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);

  LONG high = 1;
  ASSERT_EQ(SetFilePointer(file, 0x10, &high, FILE_BEGIN), 0x10u);
  EXPECT_EQ(high, 1);
  DWORD done = 0;
  if (!WriteFile(file, "x", 1, &done, nullptr)) {
    DWORD error = GetLastError();
    CloseHandle(file);
    GTEST_SKIP() << "the file system refuses a file over 4 GiB (error " << error << ")";
  }

  high = 0;
  EXPECT_EQ(SetFilePointer(file, 0, &high, FILE_END), 0x11u);
  EXPECT_EQ(high, 1);

  // A position whose low part is all ones is told from a failure by error 0.
  SetLastError(77);
  high = 1;
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), 0u);

  // A 64-bit backward move: 4 GiB back from 0x1FFFFFFFF.
  high = -1;
  EXPECT_EQ(SetFilePointer(file, 0, &high, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(high, 0);

  high = 1;
  ASSERT_EQ(SetFilePointer(file, 0x10, &high, FILE_BEGIN), 0x10u);
  char byte = 0;
  ASSERT_TRUE(ReadFile(file, &byte, 1, &done, nullptr));
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(byte, 'x');
  ASSERT_TRUE(CloseHandle(file));

  Listing listing = listEntries(name);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].nFileSizeHigh, 1u);
  EXPECT_EQ(listing.entries[0].nFileSizeLow, 0x11u);
}

TEST(PlatformFiles, WriteTimeSetThroughHandleIsListed) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  std::string name = dir / "stamped.txt";
  writeFile(name, "stamp");
  SYSTEMTIME when = {2001, 2, 0, 3, 4, 5, 6, 0};
  FILETIME stamp;
  ASSERT_TRUE(SystemTimeToFileTime(&when, &stamp));
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
  ASSERT_TRUE(CloseHandle(file));
  Listing listing = listEntries(name);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(ticksOf(listing.entries[0].ftLastWriteTime), ticksOf(stamp));
}

TEST(PlatformFiles, StandardHandlesAreUsable) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_NE(output, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetFileType(output), static_cast<DWORD>(FILE_TYPE_UNKNOWN));
  EXPECT_NE(GetStdHandle(STD_INPUT_HANDLE), output);
  EXPECT_NE(GetStdHandle(STD_ERROR_HANDLE), output);
}

// ---------------------------------------------------------------------------
// Directory searches

TEST(PlatformFind, ListingStartsWithDotsAndDescribesEntries) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  makeSampleTree(dir);
  writeFile(dir / ".hidden", "h");

  Listing listing = listEntries(dir / "*");
  ASSERT_GE(listing.names.size(), 2u);
  EXPECT_EQ(listing.names[0], ".");
  EXPECT_EQ(listing.names[1], "..");
  EXPECT_EQ(sorted(listing.names),
            (std::vector<std::string>{".", "..", ".hidden", "a.txt", "noext", "readme.md", "sub"}));
  EXPECT_EQ(listing.endError, static_cast<DWORD>(ERROR_NO_MORE_FILES));

  for (const char* name : {".", "..", "sub"}) {
    const WIN32_FIND_DATAA* entry = entryNamed(listing, name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_NE(entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << name;
  }
  struct FileCase {
    const char* name;
    DWORD size;
  };
  for (const FileCase& file : {FileCase{"a.txt", 3}, FileCase{"noext", 0}, FileCase{"readme.md", 5}}) {
    const WIN32_FIND_DATAA* entry = entryNamed(listing, file.name);
    ASSERT_NE(entry, nullptr) << file.name;
    EXPECT_EQ(entry->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE))
        << file.name;
    EXPECT_EQ(entry->nFileSizeLow, file.size) << file.name;
    EXPECT_EQ(entry->nFileSizeHigh, 0u) << file.name;
    EXPECT_NE(ticksOf(entry->ftLastWriteTime), 0u) << file.name;
  }
  // Names that begin with a dot are hidden where that is the convention
  // (Windows decides by the attribute alone).
  const WIN32_FIND_DATAA* hidden = entryNamed(listing, ".hidden");
  ASSERT_NE(hidden, nullptr);
  if (platformProgramExtensions() == 0) {
    EXPECT_NE(hidden->dwFileAttributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  }
  EXPECT_EQ(entryNamed(listing, ".")->dwFileAttributes & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST(PlatformFind, WildcardsFollowWin32Rules) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  makeSampleTree(dir);
  using Names = std::vector<std::string>;
  struct Case {
    const char* pattern;
    Names expected;  // sorted
  };
  const Case cases[] = {
      {"*", {".", "..", "a.txt", "noext", "readme.md", "sub"}},
      {"*.*", {".", "..", "a.txt", "noext", "readme.md", "sub"}},
      {"*.TXT", {"a.txt"}},
      {"A.*", {"a.txt"}},
      {"noext.*", {"noext"}},
      {"?.txt", {"a.txt"}},
      {"n?ext", {"noext"}},
      {"??", {".."}},
      {"*e*", {"noext", "readme.md"}},
      {"r*.m?", {"readme.md"}},
      {"*.zzz", {}},
      {"a.txt", {"a.txt"}},
      {"sub", {"sub"}},
  };
  for (const Case& c : cases) {
    Listing listing = listEntries(dir / c.pattern);
    EXPECT_EQ(sorted(listing.names), c.expected) << c.pattern;
    if (c.expected.empty()) {
      EXPECT_EQ(listing.firstError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.pattern;
    } else {
      EXPECT_EQ(listing.endError, static_cast<DWORD>(ERROR_NO_MORE_FILES)) << c.pattern;
    }
  }
}

TEST(PlatformFind, MissingNamesAndDirectoriesAreTold) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  makeSampleTree(dir);
  EXPECT_EQ(listEntries(dir / "nothere").firstError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(listEntries(joinPath(dir / "nodir", "*")).firstError,
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(listEntries(joinPath(dir / "nodir", "x.txt")).firstError,
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  // An empty directory still lists "." and "..".
  Listing empty = listEntries(joinPath(dir / "sub", "*.*"));
  EXPECT_EQ(empty.names, (std::vector<std::string>{".", ".."}));
}

// ---------------------------------------------------------------------------
// Names

TEST(PlatformNames, BothSeparatorsAreAccepted) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  makeSampleTree(dir);
  for (char separator : {'/', '\\'}) {
    std::string sub = dir.path() + separator + "sub";
    std::string file = sub + separator + "f.txt";
    writeFile(file, "f");
    Listing listing = listEntries(sub + separator + "*.txt");
    EXPECT_EQ(listing.names, (std::vector<std::string>{"f.txt"})) << separator;
    EXPECT_NE(GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u) << separator;
    EXPECT_TRUE(DeleteFileA(file.c_str())) << separator;
  }

  // The current directory comes back in the system's own separators.
  char saved[MAX_PATH];
  DWORD savedLength = GetCurrentDirectoryA(MAX_PATH, saved);
  ASSERT_GT(savedLength, 0u);
  ASSERT_LT(savedLength, static_cast<DWORD>(MAX_PATH));
  ASSERT_TRUE(SetCurrentDirectoryA((dir.path() + "/sub").c_str()));
  char current[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(MAX_PATH, current);
  ASSERT_GT(length, 0u);
  char tooSmall[2];
  EXPECT_EQ(GetCurrentDirectoryA(sizeof tooSmall, tooSmall), length + 1);  // the size with the NUL
  std::string name = dir.path().substr(dir.path().find_last_of("/\\") + 1);
  std::string tail = std::string(1, platformSeparator()) + name + platformSeparator() + "sub";
  std::string currentText(current, length);
  ASSERT_GE(currentText.size(), tail.size());
  EXPECT_EQ(currentText.substr(currentText.size() - tail.size()), tail);
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
  SetLastError(0);
  EXPECT_FALSE(SetCurrentDirectoryA((dir / "nothere").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PlatformNames, MoveDeleteAndDirectoriesFailAsWin32Does) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  makeSampleTree(dir);
  writeFile(joinPath(dir / "sub", "inside.txt"), "i");
  struct Case {
    const char* what;
    std::function<BOOL()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"move onto an existing file",
       [&] { return MoveFileA((dir / "a.txt").c_str(), (dir / "noext").c_str()); },
       ERROR_ALREADY_EXISTS},
      {"delete a missing file", [&] { return DeleteFileA((dir / "gone.txt").c_str()); },
       ERROR_FILE_NOT_FOUND},
      {"create an existing directory",
       [&] { return CreateDirectoryA((dir / "sub").c_str(), nullptr); }, ERROR_ALREADY_EXISTS},
      {"remove a directory that holds a file",
       [&] { return RemoveDirectoryA((dir / "sub").c_str()); }, ERROR_DIR_NOT_EMPTY},
      {"remove a file as a directory", [&] { return RemoveDirectoryA((dir / "a.txt").c_str()); },
       ERROR_DIRECTORY},
      {"attributes of a name in a missing directory",
       [&] {
         return GetFileAttributesA(joinPath(dir / "nodir", "x").c_str()) != INVALID_FILE_ATTRIBUTES;
       },
       ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }

  // What succeeds.
  EXPECT_TRUE(MoveFileA((dir / "a.txt").c_str(), (dir / "moved.txt").c_str()));
  EXPECT_EQ(GetFileAttributesA((dir / "a.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesA((dir / "moved.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(DeleteFileA(joinPath(dir / "sub", "inside.txt").c_str()));
  EXPECT_TRUE(RemoveDirectoryA((dir / "sub").c_str()));
  EXPECT_EQ(GetFileAttributesA((dir / "sub").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(CreateDirectoryA((dir / "again").c_str(), nullptr));
  EXPECT_NE(GetFileAttributesA((dir / "again").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(PlatformNames, ReadOnlyAttributeRoundTrips) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  std::string name = dir / "locked.txt";
  writeFile(name, "x");
  EXPECT_EQ(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  Listing listing = listEntries(name);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_NE(listing.entries[0].dwFileAttributes & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(PlatformNames, TemporaryNamesAndShortNames) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  char base[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, base);
  ASSERT_GT(length, 0u);
  EXPECT_TRUE(base[length - 1] == '/' || base[length - 1] == '\\');
  EXPECT_EQ(GetTempPathA(1, base), length + 1);

  // With 0 a new name is chosen and its file made.
  char first[MAX_PATH];
  char second[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(dir.path().c_str(), "plt", 0, first), 0u);
  ASSERT_NE(GetTempFileNameA(dir.path().c_str(), "plt", 0, second), 0u);
  EXPECT_STRNE(first, second);
  EXPECT_NE(GetFileAttributesA(first), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesA(second), INVALID_FILE_ATTRIBUTES);

  // With a number given the name is only made.
  char given[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA(dir.path().c_str(), "plt", 0x1234, given), 0x1234u);
  std::string givenName = given;
  std::string upper = givenName.substr(givenName.find_last_of("/\\") + 1);
  CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(upper, "PLT1234.TMP");
  EXPECT_EQ(GetFileAttributesA(given), INVALID_FILE_ATTRIBUTES);

  // A short name exists only for an existing entry.
  char shortName[MAX_PATH];
  EXPECT_GT(GetShortPathNameA(first, shortName, MAX_PATH), 0u);
  EXPECT_NE(GetFileAttributesA(shortName), INVALID_FILE_ATTRIBUTES);
  SetLastError(0);
  EXPECT_EQ(GetShortPathNameA((dir / "nothere").c_str(), shortName, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

using WideName = std::vector<WCHAR>;  // NUL-terminated

WideName wideOf(const std::string& text) {
  int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  WideName wide(static_cast<size_t>(needed > 0 ? needed : 1), 0);
  if (needed > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), needed);
  }
  return wide;
}

WideName joinWide(WideName directory, const WideName& name) {
  directory.pop_back();
  directory.push_back(static_cast<WCHAR>(platformSeparator()));
  directory.insert(directory.end(), name.begin(), name.end());
  return directory;
}

TEST(PlatformNames, WideCallsKeepUnicodeNames) {
  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  const WideName base = wideOf(dir.path());
  // e acute, x, a character beyond the BMP, ".txt"
  const WideName fileName = {0xE9, 0x78, 0xD83D, 0xDE00, 0x2E, 0x74, 0x78, 0x74, 0};
  const WideName folderName = {0x3B1, 0x3B2, 0};
  const WideName movedName = {0x20AC, 0x2E, 0x74, 0x78, 0x74, 0};
  const WideName folder = joinWide(base, folderName);
  const WideName file = joinWide(folder, fileName);

  ASSERT_TRUE(CreateDirectoryW(folder.data(), nullptr));
  SetLastError(0);
  EXPECT_FALSE(CreateDirectoryW(folder.data(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE handle = CreateFileW(file.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                              nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(handle, "wide", 4, &done, nullptr));
  ASSERT_TRUE(CloseHandle(handle));

  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(joinWide(folder, {0x2A, 0x2E, 0x74, 0x78, 0x74, 0}).data(), &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WideName(data.cFileName, data.cFileName + fileName.size()), fileName);
  EXPECT_EQ(data.nFileSizeLow, 4u);
  SetLastError(0);
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));

  {
    // Where the ANSI code page is UTF-8 the same names come back as UTF-8.
    CodePageScope scope(65001);
    if (scope.applied()) {
      Listing listing = listEntries(joinPath(dir / "\xCE\xB1\xCE\xB2", "*.txt"));
      EXPECT_EQ(listing.names, (std::vector<std::string>{"\xC3\xA9x\xF0\x9F\x98\x80.txt"}));
    }
  }

  // The current directory comes back in UTF-16 as well.
  char saved[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.data()));
  WCHAR current[MAX_PATH];
  DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
  ASSERT_GE(length, 3u);
  EXPECT_EQ(current[length - 3], static_cast<WCHAR>(platformSeparator()));
  EXPECT_EQ(WideName(current + length - 2, current + length + 1), folderName);

  const WideName moved = joinWide(folder, movedName);
  EXPECT_TRUE(SetFileAttributesW(file.data(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(SetFileAttributesW(file.data(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(MoveFileW(file.data(), moved.data()));
  EXPECT_FALSE(DeleteFileW(file.data()));
  EXPECT_TRUE(DeleteFileW(moved.data()));
  EXPECT_TRUE(RemoveDirectoryW(folder.data()));
  EXPECT_EQ(listEntries(dir / "*").names, (std::vector<std::string>{".", ".."}));
}

// ---------------------------------------------------------------------------
// Time

struct DateCase {
  SYSTEMTIME time;  // wDayOfWeek is the expected weekday
  uint64_t ticks;
};

const DateCase DATES[] = {
    {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
    {{1900, 2, 3, 28, 0, 0, 0, 1}, 94404960000010000},
    {{1900, 3, 4, 1, 0, 0, 0, 0}, 94405824000000000},  // 1900 had no 29 February
    {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000},
    {{2000, 1, 6, 1, 0, 0, 0, 0}, 125911584000000000},
    {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000},
    {{2001, 3, 4, 1, 0, 0, 0, 0}, 126278784000000000},
    {{2038, 1, 2, 19, 3, 14, 8, 0}, 137919572480000000},
    {{2100, 3, 1, 1, 23, 59, 59, 999}, 157521023999990000},
};

TEST(PlatformTime, KnownDatesConvertExactlyBothWays) {
  for (const DateCase& date : DATES) {
    SYSTEMTIME input = date.time;
    input.wDayOfWeek = 0;  // ignored on the way in
    FILETIME fileTime;
    ASSERT_TRUE(SystemTimeToFileTime(&input, &fileTime)) << date.ticks;
    EXPECT_EQ(ticksOf(fileTime), date.ticks);

    SYSTEMTIME back;
    FILETIME source = fileTimeOf(date.ticks);
    ASSERT_TRUE(FileTimeToSystemTime(&source, &back)) << date.ticks;
    EXPECT_EQ(back.wYear, date.time.wYear) << date.ticks;
    EXPECT_EQ(back.wMonth, date.time.wMonth) << date.ticks;
    EXPECT_EQ(back.wDay, date.time.wDay) << date.ticks;
    EXPECT_EQ(back.wDayOfWeek, date.time.wDayOfWeek) << date.ticks;
    EXPECT_EQ(back.wHour, date.time.wHour) << date.ticks;
    EXPECT_EQ(back.wMinute, date.time.wMinute) << date.ticks;
    EXPECT_EQ(back.wSecond, date.time.wSecond) << date.ticks;
    EXPECT_EQ(back.wMilliseconds, date.time.wMilliseconds) << date.ticks;
  }
}

TEST(PlatformTime, ImpossibleDatesAreRefused) {
  const SYSTEMTIME bad[] = {
      {2000, 13, 0, 1, 0, 0, 0, 0},
      {2000, 4, 0, 31, 0, 0, 0, 0},
      {2000, 1, 0, 1, 24, 0, 0, 0},
      {2000, 1, 0, 1, 0, 60, 0, 0},
      {2000, 1, 0, 1, 0, 0, 0, 1000},
      {2000, 1, 0, 0, 0, 0, 0, 0},
  };
  for (const SYSTEMTIME& time : bad) {
    FILETIME fileTime;
    EXPECT_FALSE(SystemTimeToFileTime(&time, &fileTime))
        << time.wYear << "-" << time.wMonth << "-" << time.wDay << " " << time.wHour << ":"
        << time.wMinute << " ." << time.wMilliseconds;
  }
  SYSTEMTIME leap = {2000, 2, 0, 29, 0, 0, 0, 0};
  FILETIME fileTime;
  EXPECT_TRUE(SystemTimeToFileTime(&leap, &fileTime));
  FILETIME negative = {0, 0x80000000u};
  SYSTEMTIME out;
  EXPECT_FALSE(FileTimeToSystemTime(&negative, &out));
}

TEST(PlatformTime, LocalTimeRoundTrips) {
  // Midwinter and midsummer, away from any change of the clocks.
  for (uint64_t ticks : {125911584000000000ull, 125963012967890000ull, 126052128000000000ull,
                         132384600000000000ull}) {
    FILETIME utc = fileTimeOf(ticks);
    FILETIME local;
    FILETIME back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(ticksOf(back), ticks);
    int64_t offset = static_cast<int64_t>(ticksOf(local)) - static_cast<int64_t>(ticks);
    const int64_t quarterHour = 15ll * 60 * 10000000;
    EXPECT_EQ(offset % quarterHour, 0);
    EXPECT_LE(offset < 0 ? -offset : offset, 14 * 4 * quarterHour);
  }
}

// ---------------------------------------------------------------------------
// Code page

TEST(PlatformCodePage, LocaleNamesMapToCodePages) {
  struct Case {
    const char* locale;
    uint32_t codePage;
  };
  const Case cases[] = {
      {"ja_JP.SJIS", 932},          {"ja_JP.Shift_JIS", 932},     {"ja_JP.shift-jis", 932},
      {"ja_JP.CP932", 932},         {"zh_CN.GBK", 936},           {"zh_CN.GB2312", 936},
      {"zh_CN.euc-cn", 936},        {"zh_CN.cp936", 936},         {"ko_KR.EUC-KR", 949},
      {"ko_KR.UHC", 949},           {"ko_KR.CP949", 949},         {"zh_TW.Big5", 950},
      {"zh_TW.CP950", 950},         {"C.UTF-8", 65001},           {"en_US.utf8", 65001},
      {"de_DE.ISO-8859-1", 28591},  {"fr_FR.iso88591", 28591},    {"de_DE.ISO-8859-15@euro", 28605},
      {"en_US.CP1252", 1252},       {"ja_JP.eucJP", PLATFORM_CODE_PAGE_ASCII},
      {"C", PLATFORM_CODE_PAGE_ASCII}, {"POSIX", PLATFORM_CODE_PAGE_ASCII},
      {"en_US", PLATFORM_CODE_PAGE_ASCII}, {"", PLATFORM_CODE_PAGE_ASCII},
      {"de_DE@euro", PLATFORM_CODE_PAGE_ASCII},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platformCodePageOfLocaleName(c.locale), c.codePage) << c.locale;
  }
  EXPECT_EQ(platformCodePageOfLocaleName(nullptr), PLATFORM_CODE_PAGE_ASCII);
}

TEST(PlatformCodePage, LatinCodePagesFoldTheirOwnLetters) {
  struct Case {
    uint32_t codePage;
    std::string lower;
    std::string upper;
  };
  const Case cases[] = {
      {1252, "az\xE0\xE9\xFE\x9A\x9C\x9E\xFF\xF7", "AZ\xC0\xC9\xDE\x8A\x8C\x8E\x9F\xF7"},
      {28605, "a\xE9\xA8\xB8\xBD\xFF\xF7", "A\xC9\xA6\xB4\xBC\xBE\xF7"},
      {28591, "a\xE9\xFE\xF7", "A\xC9\xDE\xF7"},
      {65001, "az\xE9\xC3\xA9", "AZ\xE9\xC3\xA9"},
      {PLATFORM_CODE_PAGE_ASCII, "az\xE9\x9A", "AZ\xE9\x9A"},
  };
  int applied = 0;
  for (const Case& c : cases) {
    CodePageScope scope(c.codePage);
    if (!scope.applied()) {
      continue;
    }
    ++applied;
    EXPECT_EQ(GetSystemMetrics(SM_DBCSENABLED), 0) << c.codePage;
    EXPECT_FALSE(IsDBCSLeadByte(0x81)) << c.codePage;
    std::string text = c.lower;
    EXPECT_EQ(CharUpperBuffA(text.data(), static_cast<DWORD>(text.size())), text.size());
    EXPECT_EQ(text, c.upper) << c.codePage;
    text = c.upper;
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    EXPECT_EQ(text, c.lower) << c.codePage;
  }
  if (applied == 0) {
    GTEST_SKIP() << "the system's code page " << GetACP() << " has no row here";
  }
}

TEST(PlatformCodePage, DoubleByteCodePagesKeepCharactersWhole) {
  struct Case {
    uint32_t codePage;
    BYTE leads[3];
    BYTE others[3];
  };
  const Case cases[] = {
      {932, {0x81, 0x9F, 0xE0}, {0x80, 0xA0, 0xFD}},
      {936, {0x81, 0xA0, 0xFE}, {0x80, 0x41, 0xFF}},
      {949, {0x81, 0xB0, 0xFE}, {0x80, 0x61, 0xFF}},
      {950, {0x81, 0xA4, 0xFE}, {0x80, 0x7A, 0xFF}},
  };
  int applied = 0;
  for (const Case& c : cases) {
    CodePageScope scope(c.codePage);
    if (!scope.applied()) {
      continue;
    }
    ++applied;
    EXPECT_EQ(GetSystemMetrics(SM_DBCSENABLED), 1) << c.codePage;
    for (BYTE lead : c.leads) {
      EXPECT_TRUE(IsDBCSLeadByte(lead)) << c.codePage << " " << int(lead);
    }
    for (BYTE other : c.others) {
      EXPECT_FALSE(IsDBCSLeadByte(other)) << c.codePage << " " << int(other);
    }
    // Only single-byte letters change; a lead byte and the byte after it stay.
    std::string text = "a\x81" "ab\x81" "Az";
    CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    EXPECT_EQ(text, "A\x81" "aB\x81" "AZ") << c.codePage;
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    EXPECT_EQ(text, "a\x81" "ab\x81" "Az") << c.codePage;
  }
  {
    // 0x5C as the trail byte of a character is not a separator.
    CodePageScope scope(932);
    if (scope.applied()) {
      TempDirectory dir;
      ASSERT_TRUE(dir.ready());
      std::string name = "x\x95\x5C.txt";
      writeFile(dir / name, "sjis");
      Listing listing = listEntries(dir / "x*");
      EXPECT_EQ(listing.names, (std::vector<std::string>{name}));
    }
  }
  if (applied == 0) {
    GTEST_SKIP() << "the system's code page " << GetACP() << " is fixed and single-byte";
  }
}

TEST(PlatformCodePage, LocaleCompareFoundThroughKernel32) {
  char directory[MAX_PATH];
  UINT length = GetSystemDirectoryA(directory, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
  std::string library = std::string(directory) + "\\kernel32.dll";
  HMODULE kernel = LoadLibraryA(library.c_str());
  ASSERT_NE(kernel, nullptr);
  using CompareFunction = int(WINAPI*)(LCID, DWORD, LPCSTR, int, LPCSTR, int);
  // Through a plain function pointer type, as the address is untyped.
  CompareFunction compare = reinterpret_cast<CompareFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "CompareStringA")));
  ASSERT_NE(compare, nullptr);
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchFunction"), nullptr);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("no_such_library.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);

  struct Case {
    const char* a;
    int lengthA;
    const char* b;
    int lengthB;
    DWORD flags;
    int result;
  };
  const Case cases[] = {
      {"abc", -1, "ABD", -1, NORM_IGNORECASE, CSTR_LESS_THAN},
      {"abc", -1, "ABC", -1, NORM_IGNORECASE, CSTR_EQUAL},
      {"abd", -1, "abc", -1, 0, CSTR_GREATER_THAN},
      {"ab", -1, "abc", -1, 0, CSTR_LESS_THAN},
      {"abcx", 3, "abc", -1, 0, CSTR_EQUAL},
      {"abc", -1, "abc", -1, 0, CSTR_EQUAL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare(LOCALE_USER_DEFAULT, c.flags, c.a, c.lengthA, c.b, c.lengthB), c.result)
        << c.a << " " << c.b;
  }
}

// ---------------------------------------------------------------------------
// Unicode conversions

using Units = std::vector<WCHAR>;

Units toUtf16(const std::string& bytes, DWORD flags = 0) {
  int needed = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0);
  Units units(static_cast<size_t>(needed > 0 ? needed : 0));
  if (needed > 0) {
    MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()), units.data(),
                        needed);
  }
  return units;
}

std::string fromUtf16(const Units& units, UINT codePage = CP_UTF8) {
  int needed = WideCharToMultiByte(codePage, 0, units.data(), static_cast<int>(units.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(codePage, 0, units.data(), static_cast<int>(units.size()), bytes.data(),
                        needed, nullptr, nullptr);
  }
  return bytes;
}

TEST(PlatformUnicode, Utf8AndUtf16RoundTripWithWin32Lengths) {
  // a, e acute, euro sign, and a character beyond the BMP (4 bytes, 2 units).
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const Units expected = {0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00};
  EXPECT_EQ(toUtf16(text), expected);
  EXPECT_EQ(fromUtf16(expected), text);

  // -1 takes the NUL along; an output length of 0 asks for the size.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0), 6);
  WCHAR units[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, units, 8), 6);
  EXPECT_EQ(units[5], 0);
  WCHAR wide[] = {0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 11);

  // Too small an output fails.
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, units, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char bytes[4];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, bytes, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // A length of 0 is no text at all.
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, units, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PlatformUnicode, InvalidInputBecomesReplacementCharacters) {
  struct Case {
    std::string bytes;
    Units units;
  };
  const Case cases[] = {
      {"\xFF" "a", {0xFFFD, 0x61}},          // a byte that begins nothing
      {"\xE2\x82" "a", {0xFFFD, 0x61}},      // a sequence cut short
      {"\xC0\xAF", {0xFFFD, 0xFFFD}},        // an over-long form
      {"\xF0\x9F\x98", {0xFFFD}},            // cut short at the end
      {"\x80" "b", {0xFFFD, 0x62}},          // a lone continuation byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toUtf16(c.bytes), c.units) << c.bytes.size();
  }
  // With the strict flag the conversion fails instead.
  constexpr DWORD STRICT_DECODING = 0x8;
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, STRICT_DECODING, "a\xFF", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

  // An unpaired surrogate comes out as U+FFFD.
  EXPECT_EQ(fromUtf16({0xD800, 0x61}), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(fromUtf16({0x62, 0xDC00}), "b\xEF\xBF\xBD");
}

TEST(PlatformUnicode, NamedCodePagesConvertByTheirTables) {
  // Explicit code page numbers, the same on every system.
  WCHAR units[4];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "\x80\xE9\x9F", 3, units, 4), 3);
  EXPECT_EQ(Units(units, units + 3), (Units{0x20AC, 0xE9, 0x178}));
  EXPECT_EQ(MultiByteToWideChar(932, 0, "\x82\xA0" "a", 3, units, 4), 2);
  EXPECT_EQ(Units(units, units + 2), (Units{0x3042, 0x61}));
  EXPECT_EQ(fromUtf16({0x3042, 0x61}, 932), "\x82\xA0" "a");
  EXPECT_EQ(fromUtf16({0x20AC, 0x178}, 1252), "\x80\x9F");

  // A character the code page lacks becomes the default character.
  WCHAR hiragana[] = {0x3042, 0};
  char out[8];
  BOOL usedDefault = FALSE;
  EXPECT_EQ(WideCharToMultiByte(1252, 0, hiragana, -1, out, 8, nullptr, &usedDefault), 2);
  EXPECT_EQ(out[0], '?');
  EXPECT_TRUE(usedDefault);

  // CP_ACP follows the active code page.
  for (uint32_t codePage : {1252u, 932u, 65001u}) {
    CodePageScope scope(codePage);
    if (!scope.applied()) {
      continue;
    }
    const char* sample = codePage == 1252 ? "\x80" : codePage == 932 ? "\x82\xA0" : "\xE2\x82\xAC";
    WCHAR expected = codePage == 932 ? 0x3042 : 0x20AC;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, sample, -1, units, 4), 2) << codePage;
    EXPECT_EQ(units[0], expected) << codePage;
  }
}

TEST(PlatformUnicode, WideCaseConversionCoversTheBmp) {
  Units lower = {0x61, 0xE9, 0xFF, 0x3B1, 0x430, 0x31};
  const Units upper = {0x41, 0xC9, 0x178, 0x391, 0x410, 0x31};
  Units text = lower;
  EXPECT_EQ(CharUpperBuffW(text.data(), static_cast<DWORD>(text.size())), text.size());
  EXPECT_EQ(text, upper);
  CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  EXPECT_EQ(text, lower);
  // Surrogates are left as they are.
  Units pair = {0xD83D, 0xDE00};
  CharUpperBuffW(pair.data(), 2);
  EXPECT_EQ(pair, (Units{0xD83D, 0xDE00}));
}

// ---------------------------------------------------------------------------
// Process facts and the platform.h extras

TEST(PlatformProcess, EnvironmentFollowsWin32ReturnRules) {
  char small[2];
  DWORD needed = GetEnvironmentVariableA("PATH", small, sizeof small);
  ASSERT_GT(needed, static_cast<DWORD>(sizeof small));
  std::vector<char> value(needed);
  EXPECT_EQ(GetEnvironmentVariableA("PATH", value.data(), needed), needed - 1);
  EXPECT_EQ(std::strlen(value.data()), needed - 1);
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableA("PLATFORM_TEST_NO_SUCH_VARIABLE", small, sizeof small), 0u);
  EXPECT_EQ(GetLastError(), 203u);
}

TEST(PlatformProcess, ProgramFilesAndVersion) {
  char program[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(platformIsExecutableFile(program), 1);

  TempDirectory dir;
  ASSERT_TRUE(dir.ready());
  writeFile(dir / "plain.txt", "not a program");
  // A file without execute permission runs only where extensions decide.
  EXPECT_EQ(platformIsExecutableFile((dir / "plain.txt").c_str()), platformProgramExtensions());
  EXPECT_EQ(platformIsExecutableFile(dir.path().c_str()), 0);
  EXPECT_EQ(platformIsExecutableFile((dir / "nothere").c_str()), 0);

  // An NT-family system: the Windows 95 rules never apply.
  DWORD version = GetVersion();
  EXPECT_EQ(version & 0x80000000u, 0u);
  EXPECT_GE(version & 0xFFu, 5u);

  EXPECT_TRUE(platformSeparator() == '/' || platformSeparator() == '\\');
  EXPECT_EQ(platformPathListSeparator(), platformSeparator() == '/' ? ':' : ';');
}

TEST(PlatformProcess, PoolChunksAreAlignedAndWithinThirtyTwoBitOffsets) {
  const uint32_t sizes[] = {100, 4000, 65536};
  std::vector<uint8_t*> chunks;
  uintptr_t base = platformPoolBase();
  for (uint32_t size : sizes) {
    uint8_t* chunk = static_cast<uint8_t*>(platformPoolChunk(size));
    ASSERT_NE(chunk, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(chunk) % 16, 0u) << size;
    uintptr_t offset = reinterpret_cast<uintptr_t>(chunk) - base;
    EXPECT_LE(static_cast<uint64_t>(offset) + size, 0xFFFFFFFFull) << size;
    std::memset(chunk, 0xA5, size);  // the whole chunk is writable
    chunks.push_back(chunk);
  }
  EXPECT_EQ(platformPoolBase(), base);
  // Chunks never overlap.
  for (size_t i = 0; i < chunks.size(); ++i) {
    for (size_t j = i + 1; j < chunks.size(); ++j) {
      bool apart = chunks[i] + sizes[i] <= chunks[j] || chunks[j] + sizes[j] <= chunks[i];
      EXPECT_TRUE(apart) << i << " " << j;
    }
  }
}

}  // namespace
