// Directory searches: FindFirstFile, FindNextFile and FindClose over
// opendir, readdir and stat.
//
// The pattern's last component may hold "*" and "?"; the components before it
// name the directory to list ("\\" and "/" both separate them). Matching
// follows Win32: letters compare without regard to case (by the code page's
// upper-case rule, double-byte characters as they are), "?" is one character,
// "*" any run of characters, a trailing ".*" may also match nothing (so "*.*"
// matches every name, with or without a dot, and "a.*" matches "a"), and a
// trailing "." matches the end of a name without a dot (so "*." finds the
// names without an extension). A listing starts with "." and "..", as on
// Windows, and then gives the directory's entries in the order readdir does.
// A pattern without wildcards names one entry, which is looked up with stat.
// A search by kind (platformFindFirstKinds) takes an entry's kind from the
// type that readdir gives with its name, and asks the system for its facts
// only for a link (whose target decides) or an entry of unknown type: on a
// tree of thousands of files the walk then costs a system call per
// directory, not one per entry.
// The search handle points to the search's own record; the record is the
// emulated system's memory, so it comes from the C heap.
#include "platform/posix_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/entry_listing.h"
#include "platform/win32.h"

namespace {

constexpr uint32_t SEARCH_MAGIC = 0x46494E44u;  // "FIND"

struct FindSearch {
  uint32_t magic;
  DIR* directory;    // null once the listing has ended, or for one named entry
  int dotsPending;   // 2: "." and ".." still to come, 1: "..", 0: none
  bool kindsOnly;    // entries of a known type are described by their type alone
  FindSearch* older;  // the searches with an open directory, newest first
  FindSearch* newer;
  char directoryPath[POSIX_NAME_CAPACITY];
  char pattern[POSIX_NAME_CAPACITY];
};

// The facts of the entry described last, which an open of that very entry
// right after it (a tree search opens each file as it is listed) takes
// instead of asking the system again.
struct DescribedEntry {
  int directory;  // -1: nothing remembered
  char name[MAX_PATH];
  struct stat facts;
};
DescribedEntry lastDescribed = {-1, {}, {}};

void rememberDescribed(int directory, const char* name, size_t nameLength, const struct stat& facts) {
  lastDescribed.directory = directory;
  if (directory >= 0) {
    std::memcpy(lastDescribed.name, name, nameLength + 1);
    lastDescribed.facts = facts;
  }
}

// The searches whose directory is open, so that a file of a directory being
// listed can be opened relative to it (see listedDirectory).
FindSearch* newestOpen = nullptr;

void openListing(FindSearch* search, DIR* directory) {
  search->directory = directory;
  search->older = newestOpen;
  search->newer = nullptr;
  if (newestOpen != nullptr) newestOpen->newer = search;
  newestOpen = search;
}

void closeListing(FindSearch* search) {
  if (search->directory == nullptr) return;
  if (lastDescribed.directory == dirfd(search->directory)) lastDescribed.directory = -1;
  closedir(search->directory);
  search->directory = nullptr;
  if (search->newer != nullptr) search->newer->older = search->older;
  if (search->older != nullptr) search->older->newer = search->newer;
  if (newestOpen == search) newestOpen = search->older;
}

bool hasWildcard(const char* text) {
  return std::strpbrk(text, "*?") != nullptr;
}

// Length of the character at text[i] of a text of the given length.
size_t characterLength(const char* text, size_t i, size_t length) {
  return (isLeadByteOfCodePage(static_cast<uint8_t>(text[i])) && i + 1 < length) ? 2 : 1;
}

bool sameCharacter(const char* a, size_t lengthA, const char* b, size_t lengthB) {
  if (lengthA != lengthB) {
    return false;
  }
  if (lengthA == 2) {
    return a[0] == b[0] && a[1] == b[1];
  }
  return upperByteOfCodePage(static_cast<uint8_t>(a[0])) ==
         upperByteOfCodePage(static_cast<uint8_t>(b[0]));
}

// "*" and "?" matching by characters, with one backtracking point for the
// last "*" (enough, because a later "*" can absorb whatever an earlier one
// would have).
bool matchGlob(const char* pattern, size_t patternLength, const char* name, size_t nameLength) {
  size_t p = 0;
  size_t n = 0;
  size_t starPattern = SIZE_MAX;
  size_t starName = 0;
  while (n < nameLength) {
    if (p < patternLength && pattern[p] == '*') {
      starPattern = ++p;
      starName = n;
      continue;
    }
    size_t nameStep = characterLength(name, n, nameLength);
    if (p < patternLength) {
      size_t patternStep = characterLength(pattern, p, patternLength);
      if ((patternStep == 1 && pattern[p] == '?') ||
          sameCharacter(pattern + p, patternStep, name + n, nameStep)) {
        p += patternStep;
        n += nameStep;
        continue;
      }
    }
    if (starPattern == SIZE_MAX) {
      return false;
    }
    starName += characterLength(name, starName, nameLength);
    n = starName;
    p = starPattern;
  }
  while (p < patternLength && pattern[p] == '*') {
    ++p;
  }
  return p == patternLength;
}

bool matchesPattern(const char* pattern, const char* name) {
  size_t patternLength = std::strlen(pattern);
  size_t nameLength = std::strlen(name);
  if (matchGlob(pattern, patternLength, name, nameLength)) {
    return true;
  }
  if (patternLength >= 2 && pattern[patternLength - 2] == '.' && pattern[patternLength - 1] == '*') {
    return matchGlob(pattern, patternLength - 2, name, nameLength);
  }
  if (patternLength >= 1 && pattern[patternLength - 1] == '.' && std::strchr(name, '.') == nullptr) {
    return matchGlob(pattern, patternLength - 1, name, nameLength);
  }
  return false;
}

// The attributes of a regular file or a directory named by the listing
// alone: no times, no size, no read-only bit.
void describeByType(bool directory, const char* name, size_t nameLength, WIN32_FIND_DATAA* data) {
  struct stat facts = {};
  facts.st_mode = (directory ? S_IFDIR : S_IFREG) | S_IWUSR | S_IWGRP | S_IWOTH;
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributesOfStat(facts, name);
  std::memcpy(data->cFileName, name, nameLength + 1);
}

// Fills data for the entry called name of the directory open as `directory`
// (or, without one, the file at path); false when the entry cannot be
// described (it vanished, or its name is too long). Asking relative to the
// open directory spares the kernel a walk along the whole path per entry.
// `type` is the entry's type as the listing gave it, or DT_UNKNOWN; with
// byType a regular file or a directory is described by that alone.
bool describeEntry(int directory, const char* path, const char* name, WIN32_FIND_DATAA* data,
                   unsigned char type = DT_UNKNOWN, bool byType = false) {
  size_t nameLength = std::strlen(name);
  if (nameLength >= MAX_PATH) {
    return false;
  }
  if (byType && (type == DT_REG || type == DT_DIR)) {
    describeByType(type == DT_DIR, name, nameLength, data);
    return true;
  }
  const int base = directory >= 0 ? directory : AT_FDCWD;
  const char* file = directory >= 0 ? name : path;
  struct stat facts;
  if (fstatat(base, file, &facts, 0) != 0 && fstatat(base, file, &facts, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  rememberDescribed(directory, name, nameLength, facts);
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributesOfStat(facts, name);
  data->ftCreationTime = fileTimeOfTimespec(facts.st_ctim);
  data->ftLastAccessTime = fileTimeOfTimespec(facts.st_atim);
  data->ftLastWriteTime = fileTimeOfTimespec(facts.st_mtim);
  if (!S_ISDIR(facts.st_mode)) {
    uint64_t size = static_cast<uint64_t>(facts.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
  }
  std::memcpy(data->cFileName, name, nameLength + 1);
  return true;
}

// Joins the directory and a name into path; false when it does not fit.
bool joinPath(const char* directory, const char* name, char* path) {
  size_t directoryLength = std::strlen(directory);
  size_t nameLength = std::strlen(name);
  bool separator = directoryLength > 0 && directory[directoryLength - 1] != '/';
  if (directoryLength + (separator ? 1 : 0) + nameLength + 1 > POSIX_NAME_CAPACITY) {
    return false;
  }
  std::memcpy(path, directory, directoryLength);
  if (separator) {
    path[directoryLength++] = '/';
  }
  std::memcpy(path + directoryLength, name, nameLength + 1);
  return true;
}

// Delivers the next entry of a listing that matches its pattern.
bool fetchNext(FindSearch* search, WIN32_FIND_DATAA* data) {
  char path[POSIX_NAME_CAPACITY];
  while (search->dotsPending > 0) {
    const char* name = search->dotsPending == 2 ? "." : "..";
    --search->dotsPending;
    if (matchesPattern(search->pattern, name) && joinPath(search->directoryPath, name, path) &&
        describeEntry(search->directory != nullptr ? dirfd(search->directory) : -1, path, name, data,
                      DT_DIR, search->kindsOnly)) {
      return true;
    }
  }
  if (search->directory == nullptr) {
    return false;
  }
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(search->directory);
    if (entry == nullptr) {
      closeListing(search);
      return false;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    if (matchesPattern(search->pattern, name) && joinPath(search->directoryPath, name, path) &&
        describeEntry(dirfd(search->directory), path, name, data, entry->d_type, search->kindsOnly)) {
      return true;
    }
  }
}

// A search handle is the address of its record; file handles are small
// numbers (a descriptor plus one), which no heap address is.
FindSearch* searchOf(HANDLE handle) {
  if (reinterpret_cast<uintptr_t>(handle) < 0x10000u || handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  FindSearch* search = static_cast<FindSearch*>(handle);
  return search->magic == SEARCH_MAGIC ? search : nullptr;
}

void destroySearch(FindSearch* search) {
  closeListing(search);
  search->magic = 0;
  std::free(search);
}

HANDLE findFirst(const char* path, WIN32_FIND_DATAA* data, bool kindsOnly) {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  size_t length = std::strlen(path);
  size_t cut = length;
  while (cut > 0 && path[cut - 1] != '/') {
    --cut;
  }
  const char* namePart = path + cut;
  if (namePart[0] == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  FindSearch* search = static_cast<FindSearch*>(std::calloc(1, sizeof(FindSearch)));
  if (search == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->magic = SEARCH_MAGIC;
  search->kindsOnly = kindsOnly;
  if (cut == 0) {
    std::strcpy(search->directoryPath, ".");
  } else {
    std::memcpy(search->directoryPath, path, cut == 1 ? 1 : cut - 1);
    search->directoryPath[cut == 1 ? 1 : cut - 1] = '\0';
  }
  std::strcpy(search->pattern, namePart);

  if (!hasWildcard(namePart)) {
    struct stat facts;
    if (stat(path, &facts) != 0 && lstat(path, &facts) != 0) {
      failWithErrno(path);
      destroySearch(search);
      return INVALID_HANDLE_VALUE;
    }
    if (!describeEntry(-1, path, namePart, data)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      destroySearch(search);
      return INVALID_HANDLE_VALUE;
    }
    return search;
  }

  DIR* directory = opendir(search->directoryPath);
  if (directory == nullptr) {
    int err = errno;
    // Every missing name here is a directory of the path.
    SetLastError(err == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                               : win32ErrorOfErrno(err, search->directoryPath));
    destroySearch(search);
    return INVALID_HANDLE_VALUE;
  }
  openListing(search, directory);
  search->dotsPending = 2;
  if (!fetchNext(search, data)) {
    destroySearch(search);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

BOOL findNext(HANDLE handle, WIN32_FIND_DATAA* data) {
  FindSearch* search = searchOf(handle);
  if (search == nullptr || data == nullptr) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  if (!fetchNext(search, data)) {
    return failWith(ERROR_NO_MORE_FILES);
  }
  return TRUE;
}

// The wide record of an entry found by name bytes; false when the name has
// no room in it.
bool toWideData(const WIN32_FIND_DATAA& narrow, WIN32_FIND_DATAW* wide) {
  std::memset(wide, 0, sizeof *wide);
  wide->dwFileAttributes = narrow.dwFileAttributes;
  wide->ftCreationTime = narrow.ftCreationTime;
  wide->ftLastAccessTime = narrow.ftLastAccessTime;
  wide->ftLastWriteTime = narrow.ftLastWriteTime;
  wide->nFileSizeHigh = narrow.nFileSizeHigh;
  wide->nFileSizeLow = narrow.nFileSizeLow;
  return utf8ToWideName(narrow.cFileName, wide->cFileName, MAX_PATH) >= 0;
}

}  // namespace

int listedDirectory(const char* directory, size_t length) {
  for (FindSearch* search = newestOpen; search != nullptr; search = search->older) {
    if (std::strncmp(search->directoryPath, directory, length) == 0 &&
        search->directoryPath[length] == '\0') {
      return dirfd(search->directory);
    }
  }
  return -1;
}

bool describedFacts(int directory, const char* name, struct stat* facts) {
  if (directory < 0 || lastDescribed.directory != directory || std::strcmp(lastDescribed.name, name) != 0) {
    return false;
  }
  *facts = lastDescribed.facts;
  lastDescribed.directory = -1;  // good for one open only
  return true;
}

namespace {

HANDLE findFirstAnsi(LPCSTR pattern, LPWIN32_FIND_DATAA data, bool kindsOnly) {
  char path[POSIX_NAME_CAPACITY];
  if (!toPosixName(pattern, path)) {
    return INVALID_HANDLE_VALUE;
  }
  return findFirst(path, data, kindsOnly);
}

HANDLE findFirstWide(LPCWSTR pattern, LPWIN32_FIND_DATAW data, bool kindsOnly) {
  char path[POSIX_NAME_CAPACITY];
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!toPosixNameWide(pattern, path)) {
    return INVALID_HANDLE_VALUE;
  }
  WIN32_FIND_DATAA narrow;
  HANDLE handle = findFirst(path, &narrow, kindsOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    return handle;
  }
  while (!toWideData(narrow, data)) {
    if (!findNext(handle, &narrow)) {
      destroySearch(searchOf(handle));
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  return handle;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  return findFirstAnsi(pattern, data, false);
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  return findFirstWide(pattern, data, false);
}

HANDLE platformFindFirstKinds(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  return findFirstAnsi(pattern, data, true);
}

HANDLE platformFindFirstKindsWide(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  return findFirstWide(pattern, data, true);
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  return findNext(search, data);
}

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
  if (data == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  WIN32_FIND_DATAA narrow;
  do {
    if (!findNext(search, &narrow)) {
      return FALSE;
    }
  } while (!toWideData(narrow, data));
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  FindSearch* search = searchOf(handle);
  if (search == nullptr) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  destroySearch(search);
  return TRUE;
}
