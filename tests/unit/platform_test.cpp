// The operating-system seam as the program relies on it: Win32 error numbers
// of file and directory calls, 64-bit file positions, directory listings with
// their attribute bits and wildcard rules, both separators, time conversions,
// the code page (locale table, lead bytes, case folding) and Unicode
// conversions. The same tests run on the native build and on
// the Windows build under Wine; where the systems legitimately differ the
// test asks the seam at run time (platformProgramExtensions, GetACP).

#include <algorithm>

#include "platform/win32.h"
#include <tuple>

#include "tests/unit/test_support.h"

namespace {

using test::CodePageScope;
using test::TempDir;
using Names = std::vector<std::string>;

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + platformSeparator() + name;
}

uint64_t ticksOf(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

struct Listing {
  Names names;  // in the order delivered
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

Names sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

// A file holding "abc", a file without an extension, a second file with one,
// and a subdirectory.
void makeSampleTree(const TempDir& dir) {
  dir.write("a.txt", "abc");
  dir.write("noext", "");
  dir.write("readme.md", "12345");
  ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
}

// ---------------------------------------------------------------------------
// Files


// Output is flushed line by line only to a console: the null device is a
// character device too, but no console.
TEST(PlatformFiles, OnlyAConsoleHasAConsoleMode) {
  TempDir dir;
  HANDLE file = CreateFileA(dir.write("plain.txt", "x").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE null = CreateFileA("/dev/null", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (null == INVALID_HANDLE_VALUE) {
    null = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_NE(null, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(null), FILE_TYPE_CHAR);
  DWORD mode = 0;
  EXPECT_FALSE(GetConsoleMode(null, &mode));
  EXPECT_FALSE(GetConsoleMode(file, &mode));
  CloseHandle(file);
  CloseHandle(null);
}
TEST(PlatformFiles, SeeksBeforeTheStartFailAndCreateAlwaysTellsOfAnOldFile) {
  TempDir dir;
  const std::string name = dir.write("io.bin", "0123456789");
  SetLastError(0);
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 0u) << "emptied";
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "0123456789", 10, &done, nullptr));
  SetLastError(0);
  EXPECT_EQ(SetFilePointer(file, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 10u) << "the position stays";
  EXPECT_EQ(SetFilePointer(file, -4, nullptr, FILE_END), 6u);
  char buffer[16];
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "6789");
  ASSERT_TRUE(CloseHandle(file));
  // A file cut short before anything is read or written ends where it now ends.
  file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 4u);
  ASSERT_TRUE(CloseHandle(file));
}

// Each handle keeps its own position, a seek to the end sees a file that grew
// since the handle last read, and a file of a directory being listed is
// opened as that directory's entry, not as a like-named file elsewhere.
TEST(PlatformFiles, PositionsStayPerHandleAndOpensDuringAListingFindTheirOwnFile) {
  TempDir dir;
  const std::string name = dir.write("grow.txt", "0123456789");
  ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
  dir.write("sub/grow.txt", "other");
  HANDLE reader = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  HANDLE writer = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  char buffer[16];
  DWORD done = 0;
  EXPECT_EQ(SetFilePointer(reader, 0, nullptr, FILE_END), 10u);
  EXPECT_EQ(SetFilePointer(reader, 2, nullptr, FILE_BEGIN), 2u);
  ASSERT_TRUE(ReadFile(reader, buffer, 3, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "234");
  EXPECT_EQ(SetFilePointer(writer, 0, nullptr, FILE_END), 10u);
  ASSERT_TRUE(WriteFile(writer, "ABCDE", 5, &done, nullptr));
  EXPECT_EQ(SetFilePointer(reader, 0, nullptr, FILE_CURRENT), 5u) << "untouched by the writer";
  EXPECT_EQ(SetFilePointer(reader, 0, nullptr, FILE_END), 15u) << "the file grew";
  EXPECT_EQ(SetFilePointer(reader, -7, nullptr, FILE_CURRENT), 8u);
  ASSERT_TRUE(ReadFile(reader, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "89ABCDE");
  CloseHandle(writer);
  CloseHandle(reader);

  for (const char* listed : {"", "sub"}) {
    const std::string directory = listed[0] == '\0' ? dir.path() : joinPath(dir.path(), listed);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(joinPath(directory, "*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    while (std::string(data.cFileName) != "grow.txt") ASSERT_TRUE(FindNextFileA(search, &data));
    for (const auto& [path, content] : {std::pair{name, std::string("0123456789ABCDE")},
                                        std::pair{joinPath(dir / "sub", "grow.txt"), std::string("other")}}) {
      HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
      EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), content.size()) << path;
      EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
      ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
      EXPECT_EQ(std::string(buffer, done), content) << "listing " << directory;
      CloseHandle(file);
    }
    FindClose(search);
  }
}

TEST(PlatformFiles, PositionsBeyondFourGigabytes) {
  TempDir dir;
  const std::string name = dir / "sparse.bin";
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LONG high = 1;
  ASSERT_EQ(SetFilePointer(file, 0x10, &high, FILE_BEGIN), 0x10u);
  EXPECT_EQ(high, 1);
  DWORD done = 0;
  if (!WriteFile(file, "x", 1, &done, nullptr)) {
    CloseHandle(file);
    GTEST_SKIP() << test::NO_SPARSE_FILE;
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

// ---------------------------------------------------------------------------
// Directory searches


TEST(PlatformFind, WildcardsAndMissingNamesFollowWin32Rules) {
  TempDir dir;
  makeSampleTree(dir);
  const Names all = {".", "..", "a.txt", "noext", "readme.md", "sub"};
  // expected: sorted; none: the first call fails with `error`
  using Case = std::tuple<std::string, Names, DWORD>;
  const Case cases[] = {
      {"*", all, 0},
      {"*.*", all, 0},
      {"*.TXT", {"a.txt"}, 0},
      {"A.*", {"a.txt"}, 0},
      {"noext.*", {"noext"}, 0},
      {"?.txt", {"a.txt"}, 0},
      {"n?ext", {"noext"}, 0},
      {"??", {".."}, 0},
      {"*e*", {"noext", "readme.md"}, 0},
      {"r*.m?", {"readme.md"}, 0},
      {"sub", {"sub"}, 0},
      {joinPath("sub", "*.*"), {".", ".."}, 0},  // an empty directory
      {"*.zzz", {}, ERROR_FILE_NOT_FOUND},
      {"nothere", {}, ERROR_FILE_NOT_FOUND},
      {joinPath("nodir", "*"), {}, ERROR_PATH_NOT_FOUND},
      {joinPath("nodir", "x.txt"), {}, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& [pattern, expected, error] : cases) {
    Listing listing = listEntries(dir / pattern);
    EXPECT_EQ(sorted(listing.names), expected) << pattern;
    if (expected.empty()) {
      EXPECT_EQ(listing.firstError, error) << pattern;
    } else {
      EXPECT_EQ(listing.endError, static_cast<DWORD>(ERROR_NO_MORE_FILES)) << pattern;
    }
  }
}

// ---------------------------------------------------------------------------
// Names

TEST(PlatformNames, BothSeparatorsAreAccepted) {
  TempDir dir;
  makeSampleTree(dir);
  test::writeFile(joinPath(dir / "sub", "f.txt"), "f");
  for (char separator : {'/', '\\'}) {
    const std::string sub = dir.path() + separator + "sub";
    HANDLE file = CreateFileA((sub + separator + "f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << separator;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_EQ(listEntries(sub + separator + "*.txt").names, (Names{"f.txt"})) << separator;
    EXPECT_NE(GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u) << separator;
  }
  EXPECT_TRUE(DeleteFileA((dir.path() + "\\sub\\f.txt").c_str()));
}


using WideName = std::vector<WCHAR>;  // NUL-terminated

// The NUL-terminated wide form of a directory (NUL-terminated), a separator
// and a name.
WideName joinWide(WideName directory, const WideName& name) {
  directory.back() = static_cast<WCHAR>(platformSeparator());
  directory.insert(directory.end(), name.begin(), name.end());
  return directory;
}

TEST(PlatformNames, WideCallsKeepUnicodeNames) {
  TempDir dir;
  // alpha beta; e acute, x, a character beyond the BMP, ".txt".
  WideName base(dir.path().begin(), dir.path().end());  // an ASCII name
  base.push_back(0);
  const WideName folder = joinWide(base, {0x3B1, 0x3B2, 0});
  const WideName file = joinWide(folder, {0xE9, 0x78, 0xD83D, 0xDE00, 0x2E, 0x74, 0x78, 0x74, 0});
  ASSERT_TRUE(CreateDirectoryW(folder.data(), nullptr));
  HANDLE handle = CreateFileW(file.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                              nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(handle));
  {
    // Where the ANSI code page is UTF-8 the same names come back as UTF-8.
    CodePageScope scope(65001);
    if (scope.applied()) {
      EXPECT_EQ(listEntries(joinPath(dir / "\xCE\xB1\xCE\xB2", "*.txt")).names,
                (Names{"\xC3\xA9x\xF0\x9F\x98\x80.txt"}));
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
  EXPECT_EQ(WideName(current + length - 3, current + length + 1),
            (WideName{static_cast<WCHAR>(platformSeparator()), 0x3B1, 0x3B2, 0}));
  EXPECT_TRUE(DeleteFileW(file.data()));
  EXPECT_TRUE(RemoveDirectoryW(folder.data()));
  EXPECT_EQ(listEntries(dir / "*").names, (Names{".", ".."}));
}

// ---------------------------------------------------------------------------
// Time

std::string textOf(const SYSTEMTIME& t) {
  return std::to_string(t.wYear) + "-" + std::to_string(t.wMonth) + "-" + std::to_string(t.wDay) +
         " day " + std::to_string(t.wDayOfWeek) + " " + std::to_string(t.wHour) + ":" +
         std::to_string(t.wMinute) + ":" + std::to_string(t.wSecond) + "." +
         std::to_string(t.wMilliseconds);
}

TEST(PlatformTime, KnownDatesConvertExactlyBothWays) {
  // time: wDayOfWeek is the expected weekday
  using Case = std::tuple<SYSTEMTIME, uint64_t>;
  // 1900 had no 29 February; 2000 had.
  const Case cases[] = {
      {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},    {{1900, 2, 3, 28, 0, 0, 0, 1}, 94404960000010000},
      {{1900, 3, 4, 1, 0, 0, 0, 0}, 94405824000000000},
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000},
      {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000},
      {{2001, 3, 4, 1, 0, 0, 0, 0}, 126278784000000000},
      {{2038, 1, 2, 19, 3, 14, 8, 0}, 137919572480000000},
      {{2100, 3, 1, 1, 23, 59, 59, 999}, 157521023999990000},
  };
  SYSTEMTIME impossible = {2000, 4, 0, 31, 0, 0, 0, 0};
  FILETIME refused;
  EXPECT_FALSE(SystemTimeToFileTime(&impossible, &refused)) << "31 April";
  for (const auto& [time, ticks] : cases) {
    SYSTEMTIME input = time;
    input.wDayOfWeek = 0;  // ignored on the way in
    FILETIME fileTime;
    ASSERT_TRUE(SystemTimeToFileTime(&input, &fileTime)) << ticks;
    EXPECT_EQ(ticksOf(fileTime), ticks);
    SYSTEMTIME back;
    FILETIME source = fileTimeOf(ticks);
    ASSERT_TRUE(FileTimeToSystemTime(&source, &back)) << ticks;
    EXPECT_EQ(textOf(back), textOf(time));
  }
}



// ---------------------------------------------------------------------------
// Code page

TEST(PlatformCodePage, LocaleNamesMapToCodePages) {
  using Case = std::tuple<const char*, uint32_t>;
  const uint32_t ASCII = PLATFORM_CODE_PAGE_ASCII;
  const Case cases[] = {
      {"ja_JP.SJIS", 932},   {"ja_JP.Shift_JIS", 932},  {"ja_JP.shift-jis", 932},
      {"ja_JP.CP932", 932},  {"zh_CN.GBK", 936},        {"zh_CN.GB2312", 936},
      {"zh_CN.euc-cn", 936}, {"ko_KR.EUC-KR", 949},     {"ko_KR.UHC", 949},
      {"zh_TW.Big5", 950},   {"C.UTF-8", 65001},        {"en_US.utf8", 65001},
      {"fr_FR.iso88591", 28591}, {"de_DE.ISO-8859-15@euro", 28605}, {"en_US.CP1252", 1252},
      {"ja_JP.eucJP", ASCII}, {"C", ASCII}, {"en_US", ASCII}, {"", ASCII}, {"de_DE@euro", ASCII},
  };
  for (const auto& [locale, codePage] : cases) {
    EXPECT_EQ(platformCodePageOfLocaleName(locale), codePage) << locale;
  }
  EXPECT_EQ(platformCodePageOfLocaleName(nullptr), ASCII);
}

TEST(PlatformCodePage, LatinCodePagesFoldTheirOwnLetters) {
  using Case = std::tuple<uint32_t, std::string, std::string>;
  const Case cases[] = {
      {1252, "az\xE0\xE9\xFE\x9A\x9C\x9E\xFF\xF7", "AZ\xC0\xC9\xDE\x8A\x8C\x8E\x9F\xF7"},
      {28605, "a\xE9\xA8\xB8\xBD\xFF\xF7", "A\xC9\xA6\xB4\xBC\xBE\xF7"},
      {28591, "a\xE9\xFE\xF7", "A\xC9\xDE\xF7"},
      {65001, "az\xE9\xC3\xA9", "AZ\xE9\xC3\xA9"},
      {PLATFORM_CODE_PAGE_ASCII, "az\xE9\x9A", "AZ\xE9\x9A"},
  };
  int applied = 0;
  for (const auto& [codePage, lower, upper] : cases) {
    CodePageScope scope(codePage);
    if (!scope.applied()) continue;
    ++applied;
    EXPECT_EQ(GetSystemMetrics(SM_DBCSENABLED), 0) << codePage;
    EXPECT_FALSE(IsDBCSLeadByte(0x81)) << codePage;
    std::string text = lower;
    EXPECT_EQ(CharUpperBuffA(text.data(), static_cast<DWORD>(text.size())), text.size());
    EXPECT_EQ(text, upper) << codePage;
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    EXPECT_EQ(text, lower) << codePage;
  }
  if (applied == 0) GTEST_SKIP() << "the system's code page " << GetACP() << " has no row here";
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
    if (!scope.applied()) continue;
    ++applied;
    EXPECT_EQ(GetSystemMetrics(SM_DBCSENABLED), 1) << c.codePage;
    for (BYTE lead : c.leads) EXPECT_TRUE(IsDBCSLeadByte(lead)) << c.codePage << " " << int(lead);
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
      TempDir dir;
      const std::string name = "x\x95\x5C.txt";
      dir.write(name, "sjis");
      EXPECT_EQ(listEntries(dir / "x*").names, (Names{name}));
    }
  }
  if (applied == 0) {
    GTEST_SKIP() << "the system's code page " << GetACP() << " is fixed and single-byte";
  }
}


// ---------------------------------------------------------------------------
// Unicode conversions

using Units = std::vector<WCHAR>;

Units toUtf16(const std::string& bytes) {
  const int length = static_cast<int>(bytes.size());
  int needed = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
  Units units(static_cast<size_t>(needed > 0 ? needed : 0));
  if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, units.data(), needed);
  return units;
}

std::string fromUtf16(const Units& units, UINT codePage = CP_UTF8) {
  const int length = static_cast<int>(units.size());
  int needed = WideCharToMultiByte(codePage, 0, units.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(codePage, 0, units.data(), length, bytes.data(), needed, nullptr, nullptr);
  }
  return bytes;
}


TEST(PlatformUnicode, Utf8AndUtf16ConvertWithReplacementCharacters) {
  using Case = std::tuple<std::string, Units>;
  const Case cases[] = {
      // a, e acute, euro sign, and a character beyond the BMP (4 bytes, 2 units)
      {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", {0x61, 0xE9, 0x20AC, 0xD83D, 0xDE00}},
      {"\xFF" "a", {0xFFFD, 0x61}},      // a byte that begins nothing
      {"\xE2\x82" "a", {0xFFFD, 0x61}},  // a sequence cut short
      {"\xC0\xAF", {0xFFFD, 0xFFFD}},    // an over-long form
      {"\xF0\x9F\x98", {0xFFFD}},        // cut short at the end
      {"\x80" "b", {0xFFFD, 0x62}},      // a lone continuation byte
  };
  for (const auto& [bytes, units] : cases) EXPECT_EQ(toUtf16(bytes), units) << bytes.size();
  const auto& [sample, sampleUnits] = cases[0];
  EXPECT_EQ(fromUtf16(sampleUnits), sample);
  // -1 takes the NUL along; an output length of 0 asks for the size.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, sample.c_str(), -1, nullptr, 0), 6);
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
  struct Case {
    uint32_t codePage;
    const char* sample;
    WCHAR unit;
  };
  for (const Case& c : {Case{1252, "\x80", 0x20AC}, Case{932, "\x82\xA0", 0x3042},
                        Case{65001, "\xE2\x82\xAC", 0x20AC}}) {
    CodePageScope scope(c.codePage);
    if (!scope.applied()) continue;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.sample, -1, units, 4), 2) << c.codePage;
    EXPECT_EQ(units[0], c.unit) << c.codePage;
  }
}

}  // namespace
