// Directory enumeration behind small search handles.
//
// findFirstEntry creates a LocalDirSearch, which runs FindFirstFile (wide or
// ANSI by the name rule; an ANSI name comes back converted to UTF-8 in the
// UTF-8 mode) and filters the entries by the effective attribute mask:
// directories, hidden and system entries are admitted only when the mask has
// their bit, or when Explorer is set to show all files. A search that
// names one entry (no wildcard) is finished at once; a wildcard search stays
// in a slot of the handle table until findNextEntry reaches its end or it is
// closed. With ENTRY_KINDS_ONLY in the mask the listing may leave out what
// it would have to ask the system for entry by entry (see entry_listing.h).
// Handle 1 is a reserved slot that name-level lookups reuse without
// closing; other slots are reused most recently freed first.
//
// Tested by dir_search_test.cpp.
#include "files/dir_search.h"

#include <cstring>
#include <new>

#include "files/paths.h"
#include "platform/entry_listing.h"
#include "platform/platform.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t FIND_END = -18;
constexpr uint32_t ENTRY_MASK_BITS = 0x7F;

struct SearchSlot {
  DirSearch* search;
  int32_t nextFree;  // the handle of the next free slot, 0 for none
  int32_t isFree;    // 1 while the slot is on the free list
};

SearchSlot* searchSlots = nullptr;
int32_t searchSlotCount = 0;
int32_t firstFreeSlot = 0;

HANDLE asHandle(void* handle) { return static_cast<HANDLE>(handle); }

bool isOpenFind(void* handle) {
  return handle != nullptr && asHandle(handle) != INVALID_HANDLE_VALUE;
}

void toEntryTime(const FILETIME& fileTime, EntryTime* time) {
  FILETIME local;
  SYSTEMTIME system;
  std::memset(time, 0, sizeof *time);
  if (!FileTimeToLocalFileTime(&fileTime, &local)) return;
  if (!FileTimeToSystemTime(&local, &system)) return;
  time->milliseconds = static_cast<uint16_t>(system.wSecond * 1000 + system.wMilliseconds);
  time->minute = static_cast<uint8_t>(system.wMinute);
  time->hour = static_cast<uint8_t>(system.wHour);
  time->day = static_cast<uint8_t>(system.wDay);
  time->month = static_cast<uint8_t>(system.wMonth);
  time->year = system.wYear;
}

// The fields both find-data forms share, filled into the entry; the times
// only when the caller reads them (each is a conversion to local time).
template <typename FindData>
void fillCommon(const FindData& data, bool withTimes, DirEntry* entry) {
  if (withTimes) {
    toEntryTime(data.ftCreationTime, &entry->creationTime);
    toEntryTime(data.ftLastAccessTime, &entry->lastAccessTime);
    toEntryTime(data.ftLastWriteTime, &entry->lastWriteTime);
  } else {
    entry->creationTime = entry->lastAccessTime = entry->lastWriteTime = EntryTime{};
  }
  entry->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  entry->attributes = data.dwFileAttributes;
}

bool isValidHandle(int32_t handle) { return handle >= 1 && handle <= searchSlotCount; }

void destroySearch(int32_t handle) {
  SearchSlot& slot = searchSlots[handle - 1];
  delete slot.search;
  slot.search = nullptr;
}

bool createSlotTable() {
  if (searchSlots != nullptr) return true;
  searchSlots = static_cast<SearchSlot*>(memAlloc(sizeof(SearchSlot)));
  if (searchSlots == nullptr) return false;
  searchSlots[0] = SearchSlot{nullptr, 0, 0};
  searchSlotCount = 1;
  return true;
}

// A free slot's handle, growing the table by one slot when none is free;
// 0 when the table cannot grow.
int32_t takeSlot() {
  if (firstFreeSlot != 0) {
    int32_t handle = firstFreeSlot;
    firstFreeSlot = searchSlots[handle - 1].nextFree;
    searchSlots[handle - 1].isFree = 0;
    return handle;
  }
  void* grown =
      memRealloc(searchSlots, static_cast<uint32_t>(searchSlotCount + 1) * sizeof(SearchSlot));
  if (grown == nullptr) return 0;
  searchSlots = static_cast<SearchSlot*>(grown);
  searchSlots[searchSlotCount] = SearchSlot{nullptr, 0, 0};
  return ++searchSlotCount;
}

// Replaces the name part of path (capacity PATH_CAPACITY) by the entry's
// name, with a separator after a directory's name.
void replaceNamePart(char* path, const DirEntry& entry) {
  int32_t position = nameOffset(path);
  for (int32_t i = 0; entry.name[i] != 0 && position < PATH_CAPACITY - 1; ++i) {
    path[position++] = entry.name[i];
  }
  if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && position < PATH_CAPACITY - 1) {
    path[position++] = platformSeparator();
  }
  path[position] = 0;
}

// Repairs a path for 8.3 file systems: a base name of nine characters ending
// in '*' and an extension of five ending in '*' each lose that asterisk.
bool repairShortName(const char* path, char* repaired) {
  int32_t copied = 0;
  while (copied < PATH_CAPACITY - 1 && path[copied] != 0) {
    repaired[copied] = path[copied];
    ++copied;
  }
  repaired[copied] = 0;
  int32_t nameStart = nameOffset(repaired);
  char extension[10];
  extensionOf(repaired, extension, sizeof extension);
  int32_t extensionLength = static_cast<int32_t>(std::strlen(extension));
  int32_t length = static_cast<int32_t>(std::strlen(repaired));
  int32_t baseEnd = extensionLength > 0
                        ? static_cast<int32_t>(std::strrchr(repaired + nameStart, '.') - repaired)
                        : length;
  bool changed = false;
  if (baseEnd - nameStart == 9 && repaired[baseEnd - 1] == '*') {
    std::memmove(repaired + baseEnd - 1, repaired + baseEnd,
                 static_cast<size_t>(length - baseEnd + 1));
    --length;
    changed = true;
  }
  if (extensionLength == 5 && extension[4] == '*') {
    repaired[--length] = 0;
    changed = true;
  }
  return changed;
}

}  // namespace

bool isWindows95Family() {
  DWORD version = GetVersion();
  return (version & 0x80000000u) != 0 && (version & 0xFF) >= 4;
}

int32_t mapFindError(uint32_t win32Error) {
  switch (win32Error) {
    case 2:
    case 5:
    case 18:
      return FIND_END;
    case 4:
      return -4;
    case 1785:
      return -31;
    default:
      if (win32Error >= 19 && win32Error <= 31) return -static_cast<int32_t>(win32Error);
      return -2;
  }
}

uint32_t showAllFilesMask() {
  static bool known = false;
  static uint32_t mask = 0;
  if (known) return mask;
  known = true;
  if ((GetVersion() & 0xFF) < 4) return mask;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", 0,
                    0xF003F, &key) != 0) {
    return mask;
  }
  DWORD size = 0;
  if (RegQueryValueExA(key, "ShellState", nullptr, nullptr, nullptr, &size) == 0 && size >= 5) {
    BYTE* value = static_cast<BYTE*>(memAlloc(size));
    DWORD got = size;
    if (value != nullptr &&
        RegQueryValueExA(key, "ShellState", nullptr, nullptr, value, &got) == 0 && got >= 5 &&
        (value[4] & 1) != 0) {
      mask = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    }
    memFree(value);
  }
  RegCloseKey(key);
  return mask;
}

LocalDirSearch::~LocalDirSearch() { closeFind(); }

void LocalDirSearch::closeFind() {
  if (isOpenFind(findHandle_)) FindClose(asHandle(findHandle_));
  findHandle_ = nullptr;
}

bool LocalDirSearch::findNext(void* data) {
  if (wide_ != 0)
    return FindNextFileW(asHandle(findHandle_), static_cast<WIN32_FIND_DATAW*>(data)) != 0;
  return FindNextFileA(asHandle(findHandle_), static_cast<WIN32_FIND_DATAA*>(data)) != 0;
}

int32_t LocalDirSearch::first(const char* path, uint32_t mask, int32_t wildcard, DirEntry* entry) {
  closeFind();
  mask_ = (showAllFilesMask() | mask) & ENTRY_MASK_BITS;
  kindsOnly_ = (mask & ENTRY_KINDS_ONLY) != 0;
  dotlessOnly_ = 0;
  if (isWindows95Family() && wildcard != 0 &&
      std::strncmp(path + nameOffset(path), "*.", 99) == 0) {
    dotlessOnly_ = 1;
  }
  WIN32_FIND_DATAW wideData;
  WIN32_FIND_DATAA ansiData;
  void* data = nullptr;
  const char* name = path;
  char repaired[PATH_CAPACITY];
  for (int32_t attempt = 0; attempt < 2; ++attempt) {
    SystemName systemName;
    if (!toSystemName(name, &systemName)) return -2;
    wide_ = systemName.wide != nullptr ? 1 : 0;
    HANDLE found;
    if (wide_ != 0) {
      found = kindsOnly_ ? platformFindFirstKindsWide(systemName.wide, &wideData)
                         : FindFirstFileW(systemName.wide, &wideData);
      data = &wideData;
    } else {
      found = kindsOnly_ ? platformFindFirstKinds(systemName.ansi, &ansiData)
                         : FindFirstFileA(systemName.ansi, &ansiData);
      data = &ansiData;
    }
    if (found != INVALID_HANDLE_VALUE) {
      findHandle_ = found;
      return fetch(true, data, entry);
    }
    DWORD error = GetLastError();
    if (attempt > 0 || error != 123 || !repairShortName(path, repaired)) {
      SetLastError(error);
      return fetch(false, data, entry);
    }
    name = repaired;
  }
  return -2;
}

int32_t LocalDirSearch::next(DirEntry* entry) {
  if (!isOpenFind(findHandle_)) return FIND_END;
  WIN32_FIND_DATAW wideData;
  WIN32_FIND_DATAA ansiData;
  void* data = wide_ != 0 ? static_cast<void*>(&wideData) : static_cast<void*>(&ansiData);
  return fetch(findNext(data), data, entry);
}

int32_t LocalDirSearch::fetch(bool found, void* data, DirEntry* entry) {
  for (;;) {
    if (!found) {
      int32_t result = mapFindError(GetLastError());
      closeFind();
      return result;
    }
    uint32_t attributes;
    bool hasDot;
    if (wide_ != 0) {
      const WIN32_FIND_DATAW& wideData = *static_cast<WIN32_FIND_DATAW*>(data);
      attributes = wideData.dwFileAttributes;
      hasDot = false;
      for (const WCHAR* c = wideData.cFileName; *c != 0; ++c) hasDot = hasDot || *c == '.';
    } else {
      const WIN32_FIND_DATAA& ansiData = *static_cast<WIN32_FIND_DATAA*>(data);
      attributes = ansiData.dwFileAttributes;
      hasDot = std::strchr(ansiData.cFileName, '.') != nullptr;
    }
    bool dropped =
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (mask_ & FILE_ATTRIBUTE_DIRECTORY) == 0) ||
        ((attributes & FILE_ATTRIBUTE_HIDDEN) != 0 && (mask_ & FILE_ATTRIBUTE_HIDDEN) == 0) ||
        ((attributes & FILE_ATTRIBUTE_SYSTEM) != 0 && (mask_ & FILE_ATTRIBUTE_SYSTEM) == 0) ||
        (dotlessOnly_ != 0 && isWindows95Family() && hasDot);
    if (!dropped) {
      if (wide_ != 0) {
        const WIN32_FIND_DATAW& wideData = *static_cast<WIN32_FIND_DATAW*>(data);
        fillCommon(wideData, !kindsOnly_, entry);
        fromSystemWide(wideData.cFileName, entry->name, ENTRY_NAME_MAX);
      } else {
        const WIN32_FIND_DATAA& ansiData = *static_cast<WIN32_FIND_DATAA*>(data);
        fillCommon(ansiData, !kindsOnly_, entry);
        // In the UTF-8 mode the name is converted like every other name the
        // program holds, so that it is shown in UTF-8 and converted back to
        // the code page when the file is opened.
        fromSystemAnsi(ansiData.cFileName, entry->name, ENTRY_NAME_MAX, utf8Mode);
      }
      return 0;
    }
    found = findNext(data);
  }
}

int32_t findFirstEntry(const char* path, int32_t* handle, uint32_t mask, DirEntry* entry) {
  bool reuse = *handle != -1;
  if (searchSlots != nullptr && reuse && isValidHandle(*handle)) destroySearch(*handle);
  bool wildcard = hasWildcardText(path, static_cast<int32_t>(std::strlen(path)));
  LocalDirSearch* search = new (std::nothrow) LocalDirSearch();
  if (search == nullptr) return -8;
  int32_t result = search->first(path, mask, wildcard ? 1 : 0, entry);
  if (result < 0) {
    delete search;
    return result;
  }
  if (!createSlotTable()) {
    delete search;
    return -8;
  }
  int32_t chosen = SEARCH_HANDLE_RESERVED;
  if (reuse) {
    destroySearch(SEARCH_HANDLE_RESERVED);
  } else {
    chosen = takeSlot();
    if (chosen == 0) {
      delete search;
      return -8;
    }
  }
  // A search without a wildcard names one entry: it is over already.
  if (!wildcard) {
    delete search;
    search = nullptr;
  }
  searchSlots[chosen - 1].search = search;
  *handle = chosen;
  return 0;
}

int32_t findNextEntry(int32_t handle, DirEntry* entry) {
  if (!isValidHandle(handle) || searchSlots[handle - 1].search == nullptr) return FIND_END;
  int32_t result = searchSlots[handle - 1].search->next(entry);
  if (result < 0) {
    destroySearch(handle);
    return result;
  }
  return 0;
}

void closeEntrySearch(int32_t handle) {
  if (handle == SEARCH_HANDLE_RESERVED || handle == -1 || !isValidHandle(handle)) return;
  SearchSlot& slot = searchSlots[handle - 1];
  if (slot.isFree != 0) return;
  destroySearch(handle);
  slot.isFree = 1;
  slot.nextFree = firstFreeSlot;
  firstFreeSlot = handle;
}

int32_t findFirstName(char* path, int32_t* handle, uint32_t mask) {
  DirEntry entry;
  int32_t result = findFirstEntry(path, handle, mask, &entry);
  if (result != 0) {
    *handle = -1;
    return result;
  }
  replaceNamePart(path, entry);
  return 0;
}

int32_t findNextName(char* path, int32_t handle) {
  DirEntry entry;
  int32_t result = findNextEntry(handle, &entry);
  if (result != 0) return result;
  replaceNamePart(path, entry);
  return 0;
}
