// The file access layer.
//
// Two tables of small integers. The FileHandle table maps a handle to the
// driver object that owns the open file (every name is served by the local
// file driver); the OS file table below it maps an OS index to a Win32 file
// handle. Both start with room for 100 entries and grow by 100; new entries
// are handed out from 3 upwards and closed ones are reused most recently
// closed first. Entries 0, 1 and 2 are standard input, output and error: the
// OS table fetches their Win32 handles again at every lookup, so a standard
// handle replaced by the process is followed, and they cannot be closed.
//
// Offsets, positions and sizes are 64-bit: SetFilePointer gets the high part
// of every offset. Names reach CreateFile and the other name-based calls in
// the ANSI or wide form chosen by the name rule of text_encoding.h; a name
// whose conversion yields no text fails with -2 before any call is made.
//
// Tested by file_handles_test.cpp.
#include "files/file_handles.h"

#include <cstring>
#include <new>

#include "files/paths.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t TABLE_GROWTH = 100;
constexpr int32_t FIRST_FREE_INDEX = 3;
constexpr int32_t NO_FREE_ENTRY = -1;
constexpr int32_t DRIVER_LOCAL = 1;
constexpr uint8_t END_OF_FILE_MARK = 0x1A;

// Directories, hidden and system entries: what a lookup of a name admits.
constexpr uint32_t MASK_FILES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr uint32_t MASK_ALL = MASK_FILES | FILE_ATTRIBUTE_DIRECTORY;

struct HandleEntry {
  int32_t kind;
  FileDriver* driver;
  int32_t nextFree;
  int32_t inUse;
};

HandleEntry* handleEntries = nullptr;
int32_t handleCapacity = 0;
int32_t handleCounter = 0;
int32_t firstFreeHandle = NO_FREE_ENTRY;

struct OsEntry {
  HANDLE handle;
  int32_t nextFree;
  int32_t inUse;
};

OsEntry* osEntries = nullptr;
int32_t osCapacity = 0;
int32_t osCounter = 0;
int32_t firstFreeOsIndex = NO_FREE_ENTRY;

const DWORD STANDARD_HANDLES[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

struct OpenMode {
  DWORD access;
  DWORD share;
  DWORD creation;
  DWORD flags;
};

// A temporary file is removed by the system when its handle is closed, also
// when the process ends without closing it (an exit on a closed pipe, a
// kill); others may open it only to read it or to delete it.
const OpenMode OPEN_MODES[OPEN_TEMPORARY + 1] = {
    {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0},
    {GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0},
    {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0},
    {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, 0},
    {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0},
    {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, 0},
    {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_ALWAYS,
     FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY},
};

bool createOsTable() {
  if (osEntries != nullptr) return true;
  osEntries = static_cast<OsEntry*>(memAlloc(TABLE_GROWTH * sizeof(OsEntry)));
  if (osEntries == nullptr) return false;
  osCapacity = TABLE_GROWTH;
  osCounter = FIRST_FREE_INDEX;
  for (int32_t i = 0; i < FIRST_FREE_INDEX; ++i) {
    osEntries[i] = OsEntry{GetStdHandle(STANDARD_HANDLES[i]), NO_FREE_ENTRY, 1};
  }
  return true;
}

OsEntry* lookUpOsIndex(int32_t index) {
  if (!createOsTable() || index < 0 || index >= osCounter) return nullptr;
  if (index < FIRST_FREE_INDEX) {
    osEntries[index].handle = GetStdHandle(STANDARD_HANDLES[index]);
    return &osEntries[index];
  }
  return osEntries[index].inUse != 0 ? &osEntries[index] : nullptr;
}

// An OS index for the Win32 handle, or -8 when the table cannot grow.
int32_t takeOsIndex(HANDLE handle) {
  int32_t index;
  if (firstFreeOsIndex != NO_FREE_ENTRY) {
    index = firstFreeOsIndex;
    firstFreeOsIndex = osEntries[index].nextFree;
  } else {
    if (osCounter == osCapacity) {
      int32_t grown = osCapacity + TABLE_GROWTH;
      void* table = memRealloc(osEntries, static_cast<uint32_t>(grown) * sizeof(OsEntry));
      if (table == nullptr) return -8;
      osEntries = static_cast<OsEntry*>(table);
      osCapacity = grown;
    }
    index = osCounter++;
  }
  osEntries[index] = OsEntry{handle, NO_FREE_ENTRY, 1};
  return index;
}

// The drivers of standard input, output and error live as long as the
// process: their handles can never be closed.
LocalFileDriver standardDrivers[FIRST_FREE_INDEX] = {LocalFileDriver(0), LocalFileDriver(1),
                                                     LocalFileDriver(2)};

bool createHandleTable() {
  if (handleEntries != nullptr) return true;
  HandleEntry* table = static_cast<HandleEntry*>(memAlloc(TABLE_GROWTH * sizeof(HandleEntry)));
  if (table == nullptr) return false;
  for (int32_t i = 0; i < FIRST_FREE_INDEX; ++i) {
    table[i] = HandleEntry{DRIVER_LOCAL, &standardDrivers[i], NO_FREE_ENTRY, 1};
  }
  handleEntries = table;
  handleCapacity = TABLE_GROWTH;
  handleCounter = FIRST_FREE_INDEX;
  return true;
}

FileDriver* lookUpHandle(FileHandle handle) {
  if (!createHandleTable() || handle < 0 || handle >= handleCounter) return nullptr;
  HandleEntry& entry = handleEntries[handle];
  return entry.inUse != 0 ? entry.driver : nullptr;
}

// A free handle, or -8 when the table cannot grow.
int32_t takeHandle() {
  if (firstFreeHandle != NO_FREE_ENTRY) {
    int32_t handle = firstFreeHandle;
    firstFreeHandle = handleEntries[handle].nextFree;
    return handle;
  }
  if (handleCounter == handleCapacity) {
    int32_t grown = handleCapacity + TABLE_GROWTH;
    void* table = memRealloc(handleEntries, static_cast<uint32_t>(grown) * sizeof(HandleEntry));
    if (table == nullptr) return -8;
    handleEntries = static_cast<HandleEntry*>(table);
    handleCapacity = grown;
  }
  return handleCounter++;
}

int32_t lastErrorOr(int32_t defaultCode) { return mapSystemError(GetLastError(), defaultCode); }

// A copy of name with one trailing "\" or "/" removed, cut to the path size.
void copyWithoutTrailingSeparator(char* out, const char* name) {
  copyTerminated(out, name, PATH_CAPACITY);
  size_t length = std::strlen(out);
  if (length > 1 && (out[length - 1] == '\\' || out[length - 1] == '/')) out[length - 1] = 0;
}

// Looks the name up as one directory entry with the given mask.
int32_t lookUpEntry(const char* name, uint32_t mask, DirEntry* entry) {
  int32_t handle = -1;
  int32_t result = findFirstEntry(name, &handle, mask, entry);
  if (result == 0) closeEntrySearch(handle);
  return result;
}

}  // namespace

// --- FileHandle operations --------------------------------------------------

FileHandle fileOpen(const char* name, int32_t mode) {
  LocalFileDriver* driver = new (std::nothrow) LocalFileDriver();
  if (driver == nullptr) return -8;
  copyTerminated(driver->name, name, FILE_NAME_MAX + 1);
  int32_t result = driver->open(name, mode);
  if (result < 0) {
    delete driver;
    return result;
  }
  int32_t handle = createHandleTable() ? takeHandle() : -8;
  if (handle < 0) {
    driver->close(-1);
    delete driver;
    return -8;
  }
  handleEntries[handle] = HandleEntry{DRIVER_LOCAL, driver, NO_FREE_ENTRY, 1};
  return handle;
}

int32_t fileWrite(FileHandle handle, const void* buffer, int32_t count) {
  FileDriver* driver = lookUpHandle(handle);
  return driver == nullptr ? -34 : driver->write(buffer, count);
}

int32_t fileRead(FileHandle handle, void* buffer, int32_t count) {
  FileDriver* driver = lookUpHandle(handle);
  return driver == nullptr ? -33 : driver->read(buffer, count);
}

int64_t fileSeek(FileHandle handle, int64_t offset, int32_t origin) {
  FileDriver* driver = lookUpHandle(handle);
  return driver == nullptr ? -33 : driver->seek(offset, origin);
}

int32_t fileClose(FileHandle handle, int32_t flag) {
  if (handle < FIRST_FREE_INDEX) return -35;
  FileDriver* driver = lookUpHandle(handle);
  if (driver == nullptr) return -35;
  int32_t result = driver->close(flag);
  delete driver;
  HandleEntry& entry = handleEntries[handle];
  entry.driver = nullptr;
  entry.inUse = 0;
  entry.nextFree = firstFreeHandle;
  firstFreeHandle = handle;
  return result;
}

int32_t fileTruncate(FileHandle handle) {
  FileDriver* driver = lookUpHandle(handle);
  return driver == nullptr ? -34 : driver->truncate();
}

int32_t fileFlush(FileHandle handle) {
  FileDriver* driver = lookUpHandle(handle);
  return driver == nullptr ? -34 : driver->flush();
}

int32_t fileCanSeek(FileHandle handle) {
  FileDriver* driver = lookUpHandle(handle);
  if (driver == nullptr || handleEntries[handle].kind != DRIVER_LOCAL) return 0;
  return osCanSeek(static_cast<LocalFileDriver*>(driver)->osIndex());
}

int32_t fileHandleCapacity() { return handleCapacity; }
int32_t osTableCapacity() { return osCapacity; }
int32_t osTableCounter() { return osCounter; }

// --- The local file driver ----------------------------------------------------

int32_t LocalFileDriver::open(const char* fileName, int32_t mode) {
  int32_t result = osOpen(fileName, mode);
  if (result >= 0) osIndex_ = result;
  return result;
}

int32_t LocalFileDriver::write(const void* buffer, int32_t count) {
  return osWrite(osIndex_, buffer, count);
}

int32_t LocalFileDriver::read(void* buffer, int32_t count) {
  return osRead(osIndex_, buffer, count);
}

int64_t LocalFileDriver::seek(int64_t offset, int32_t origin) {
  return osSeek(osIndex_, offset, origin);
}

int32_t LocalFileDriver::close(int32_t) {
  int32_t result = osClose(osIndex_);
  osIndex_ = -1;
  return result;
}

int32_t LocalFileDriver::truncate() { return osTruncate(osIndex_); }

int32_t LocalFileDriver::flush() { return osFlush(osIndex_); }

// --- The OS file layer --------------------------------------------------------

int32_t osOpen(const char* name, int32_t mode) {
  if (lookUpOsIndex(0) == nullptr) return -8;
  if (mode < 0 || mode > OPEN_TEMPORARY) mode = OPEN_READ;
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return -2;
  const OpenMode& open = OPEN_MODES[mode];
  HANDLE file;
  if (systemName.wide != nullptr) {
    file = CreateFileW(systemName.wide, open.access, open.share, nullptr, open.creation,
                       open.flags, nullptr);
  } else {
    file = CreateFileA(systemName.ansi, open.access, open.share, nullptr, open.creation,
                       open.flags, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == 0) return -4;
    if (error == ERROR_FILE_NOT_FOUND) return -2;
    if (error == ERROR_ACCESS_DENIED) {
      // Access denied for a name that does not exist means it cannot be made.
      HANDLE search;
      if (systemName.wide != nullptr) {
        WIN32_FIND_DATAW data;
        search = FindFirstFileW(systemName.wide, &data);
      } else {
        WIN32_FIND_DATAA data;
        search = FindFirstFileA(systemName.ansi, &data);
      }
      if (search == INVALID_HANDLE_VALUE) return -38;
      FindClose(search);
    }
    return mapSystemError(error, -32);
  }
  int32_t index = takeOsIndex(file);
  if (index < 0) CloseHandle(file);
  return index;
}

int32_t osWrite(int32_t index, const void* buffer, int32_t count) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr || count < 0) return -34;
  DWORD done = 0;
  if (!WriteFile(entry->handle, buffer, static_cast<DWORD>(count), &done, nullptr)) {
    return lastErrorOr(-34);
  }
  return static_cast<int32_t>(done);
}

int32_t osRead(int32_t index, void* buffer, int32_t count) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr || count < 0) return -33;
  DWORD done = 0;
  if (!ReadFile(entry->handle, buffer, static_cast<DWORD>(count), &done, nullptr)) {
    DWORD error = GetLastError();
    // A pipe whose writer has gone, and a read at the end, both mean the end.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    return mapSystemError(error, -33);
  }
  return static_cast<int32_t>(done);
}

int64_t osSeek(int32_t index, int64_t offset, int32_t origin) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr) return -33;
  uint64_t bits = static_cast<uint64_t>(offset);
  LONG high = static_cast<LONG>(static_cast<uint32_t>(bits >> 32));
  SetLastError(0);
  DWORD low = SetFilePointer(entry->handle, static_cast<LONG>(static_cast<uint32_t>(bits)), &high,
                             static_cast<DWORD>(origin));
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) return -33;
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

int32_t osClose(int32_t index) {
  // The standard handles belong to the process and are never closed here.
  if (index < FIRST_FREE_INDEX) return -35;
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr) return -35;
  BOOL closed = CloseHandle(entry->handle);
  DWORD error = closed ? 0 : GetLastError();
  entry->handle = INVALID_HANDLE_VALUE;
  entry->inUse = 0;
  entry->nextFree = firstFreeOsIndex;
  firstFreeOsIndex = index;
  return closed ? 0 : mapSystemError(error, -35);
}

int32_t osTruncate(int32_t index) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr) return -33;
  return SetEndOfFile(entry->handle) ? 0 : lastErrorOr(-34);
}

int32_t osFlush(int32_t index) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr) return -34;
  return FlushFileBuffers(entry->handle) ? 0 : lastErrorOr(-34);
}

int32_t osCanSeek(int32_t index) {
  OsEntry* entry = lookUpOsIndex(index);
  if (entry == nullptr) return 0;
  return GetFileType(entry->handle) == FILE_TYPE_DISK ? 1 : 0;
}

int32_t mapSystemError(uint32_t win32Error, int32_t defaultCode) {
  switch (win32Error) {
    case 0:
      return 0;
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 8:
    case 15:
    case 18:
      return -static_cast<int32_t>(win32Error);
    case 32:
    case 183:
      return -5;
    case 82:
      return -38;
    case 112:
      return -36;
    case 191:
    case 193:
      return -37;
    case 1005:
    case 1785:
      return -31;
    default:
      if (win32Error >= 19 && win32Error <= 31) return -static_cast<int32_t>(win32Error);
      return defaultCode;
  }
}

// --- Name-based operations ----------------------------------------------------

int64_t fileSize(const char* name) {
  DirEntry entry;
  if (lookUpEntry(name, MASK_FILES, &entry) != 0) return -1;
  return static_cast<int64_t>(entry.size);
}

int32_t fileExists(const char* name, int32_t directoriesToo) {
  char path[PATH_CAPACITY];
  copyWithoutTrailingSeparator(path, name);
  DirEntry entry;
  return lookUpEntry(path, directoriesToo != 0 ? MASK_ALL : MASK_FILES, &entry) == 0 ? 1 : 0;
}

int32_t fileTime(const char* name, EntryTime* time) {
  DirEntry entry;
  if (lookUpEntry(name, MASK_ALL, &entry) != 0) return -2;
  *time = entry.lastWriteTime;
  return 0;
}

int32_t setFileTime(const char* name, const EntryTime* time) {
  int32_t index = osOpen(name, OPEN_UPDATE);
  if (index < 0) return index;
  SYSTEMTIME system = {};
  system.wYear = time->year;
  system.wMonth = time->month;
  system.wDay = time->day;
  system.wHour = time->hour;
  system.wMinute = time->minute;
  system.wSecond = static_cast<WORD>(time->milliseconds / 1000);
  system.wMilliseconds = static_cast<WORD>(time->milliseconds % 1000);
  FILETIME local;
  FILETIME universal;
  int32_t result = 0;
  if (!SystemTimeToFileTime(&system, &local) || !LocalFileTimeToFileTime(&local, &universal) ||
      !SetFileTime(lookUpOsIndex(index)->handle, nullptr, nullptr, &universal)) {
    result = lastErrorOr(-34);
    if (result == 0) result = -34;
  }
  osClose(index);
  return result;
}

int32_t deleteFile(const char* name) {
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return -2;
  BOOL done =
      systemName.wide != nullptr ? DeleteFileW(systemName.wide) : DeleteFileA(systemName.ansi);
  return done ? 0 : lastErrorOr(-2);
}

int32_t renameFile(const char* newName, const char* oldName) {
  SystemName from;
  if (!toSystemName(oldName, &from)) return -2;
  // The conversion buffer is reused for the second name: keep a copy.
  size_t bytes = from.wide != nullptr
                     ? (static_cast<size_t>(wideLength(from.wide)) + 1) * sizeof(WCHAR)
                     : std::strlen(from.ansi) + 1;
  void* fromCopy = memAlloc(static_cast<uint32_t>(bytes));
  if (fromCopy == nullptr) return -8;
  std::memcpy(fromCopy,
              from.wide != nullptr ? static_cast<const void*>(from.wide)
                                   : static_cast<const void*>(from.ansi),
              bytes);
  SystemName to;
  int32_t result = -2;
  if (toSystemName(newName, &to)) {
    BOOL done = to.wide != nullptr ? MoveFileW(static_cast<const WCHAR*>(fromCopy), to.wide)
                                   : MoveFileA(static_cast<const char*>(fromCopy), to.ansi);
    result = done ? 0 : lastErrorOr(-34);
  }
  memFree(fromCopy);
  return result;
}

int32_t setFileAttributes(const char* name, uint32_t attributes) {
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return -2;
  BOOL done = systemName.wide != nullptr ? SetFileAttributesW(systemName.wide, attributes)
                                         : SetFileAttributesA(systemName.ansi, attributes);
  return done ? 0 : lastErrorOr(-34);
}

int32_t createDirectory(const char* name) {
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return -2;
  BOOL done = systemName.wide != nullptr ? CreateDirectoryW(systemName.wide, nullptr)
                                         : CreateDirectoryA(systemName.ansi, nullptr);
  if (done) return 0;
  DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    char lookup[PATH_CAPACITY];
    copyTerminated(lookup, name, PATH_CAPACITY);
    int32_t handle = SEARCH_HANDLE_RESERVED;
    if (findFirstName(lookup, &handle, MASK_ALL | FILE_ATTRIBUTE_READONLY) != 0) return -38;
  }
  return mapSystemError(error, -38);
}

int32_t removeDirectory(const char* name) {
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return -2;
  BOOL done = systemName.wide != nullptr ? RemoveDirectoryW(systemName.wide)
                                         : RemoveDirectoryA(systemName.ansi);
  return done ? 0 : lastErrorOr(-3);
}

int32_t isDirectory(const char* path, int32_t acceptFiles) {
  if (path[0] == 0 || isDriveRoot(path)) return 1;
  char lookup[PATH_CAPACITY];
  copyWithoutTrailingSeparator(lookup, path);
  // A lone separator is the root of the current drive or of the system.
  if ((lookup[0] == '\\' || lookup[0] == '/') && lookup[1] == 0) return 1;
  DirEntry entry;
  int32_t handle = SEARCH_HANDLE_RESERVED;
  // Hidden and system directories are directories all the same.
  if (findFirstEntry(lookup, &handle, MASK_ALL, &entry) != 0) return 0;
  if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 1;
  return acceptFiles != 0 ? 1 : 0;
}

int32_t makeDirectories(const char* path, int32_t allButLast) {
  char directory[PATH_CAPACITY];
  copyWithoutTrailingSeparator(directory, path);
  if (isDirectory(directory, 0) == 1) return 0;
  int32_t nameStart = nameOffset(directory);
  if (!isDriveRoot(directory) && nameStart > 0) {
    char parent[PATH_CAPACITY];
    std::memcpy(parent, directory, static_cast<size_t>(nameStart));
    parent[nameStart] = 0;
    if (makeDirectories(parent, 0) != 0) return 1;
  }
  if (allButLast != 0) return 0;
  return createDirectory(directory);
}

int32_t getCurrentDirectory(char* buffer, int32_t size) {
  if (size <= 0) return 0;
  int32_t limit = size - 1 < FILE_NAME_MAX ? size - 1 : FILE_NAME_MAX;
  int32_t form = nameCallForm();
  if (form == 2) {
    WCHAR wide[FILE_NAME_MAX + 1];
    DWORD got = GetCurrentDirectoryW(FILE_NAME_MAX + 1, wide);
    if (got == 0) return 0;
    if (got > FILE_NAME_MAX) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    return fromSystemWide(wide, buffer, limit);
  }
  char ansi[FILE_NAME_MAX + 1];
  DWORD got = GetCurrentDirectoryA(FILE_NAME_MAX + 1, ansi);
  if (got == 0) return 0;
  if (got > FILE_NAME_MAX) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return fromSystemAnsi(ansi, buffer, limit, form == 1 ? 1 : 0);
}

int32_t setCurrentDirectory(const char* path) {
  SystemName systemName;
  if (!toSystemName(path, &systemName)) return 0;
  return systemName.wide != nullptr ? SetCurrentDirectoryW(systemName.wide)
                                    : SetCurrentDirectoryA(systemName.ansi);
}

int32_t readWholeFile(const char* name, char** buffer, int64_t* length, int32_t keepEndOfFile) {
  *buffer = nullptr;
  *length = 0;
  FileHandle file = fileOpen(name, OPEN_READ);
  if (file < 0) return file;
  int64_t size = fileSeek(file, 0, 2);
  if (size < 0) {
    fileClose(file, -1);
    return static_cast<int32_t>(size);
  }
  // The whole file and a NUL must fit one block of the allocator.
  char* data =
      size < 0x7FFFFFFF ? static_cast<char*>(memAlloc(static_cast<uint32_t>(size) + 1)) : nullptr;
  if (data == nullptr) {
    fileClose(file, -1);
    return -8;
  }
  int64_t start = fileSeek(file, 0, 0);
  int32_t done = 0;
  int32_t result = start < 0 ? static_cast<int32_t>(start) : 0;
  while (result == 0 && done < size) {
    int32_t got = fileRead(file, data + done, static_cast<int32_t>(size) - done);
    if (got < 0) result = got;
    if (got <= 0) break;
    done += got;
  }
  if (result < 0) {
    memFree(data);
    fileClose(file, -1);
    return result;
  }
  data[done] = 0;
  *buffer = data;
  *length = done;
  if (keepEndOfFile == 0 && done > 0 && static_cast<uint8_t>(data[done - 1]) == END_OF_FILE_MARK) {
    *length = done - 1;
  }
  fileClose(file, -1);
  return 0;
}
