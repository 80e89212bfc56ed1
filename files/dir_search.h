// Directory enumeration behind small search handles: findFirstEntry,
// findNextEntry and closeEntrySearch over DirSearch objects, and the
// name-level lookups built on them. See dir_search.cpp.
#pragma once

#include <cstdint>

struct EntryTime {
  uint16_t milliseconds;  // within the minute: seconds * 1000 + milliseconds
  uint8_t minute;
  uint8_t hour;
  uint8_t day;
  uint8_t month;
  uint16_t year;
};

constexpr int32_t ENTRY_NAME_MAX = 511;

struct DirEntry {
  EntryTime creationTime;
  EntryTime lastAccessTime;
  EntryTime lastWriteTime;
  uint64_t size;  // the whole size: files over 4 GiB are reported as they are
  uint32_t attributes;
  char name[ENTRY_NAME_MAX + 1];
};

class DirSearch {
 public:
  virtual int32_t first(const char* path, uint32_t mask, int32_t wildcard, DirEntry* entry) = 0;
  virtual int32_t next(DirEntry* entry) = 0;
  virtual ~DirSearch() = default;
};

class LocalDirSearch : public DirSearch {
 public:
  int32_t first(const char* path, uint32_t mask, int32_t wildcard, DirEntry* entry) override;
  int32_t next(DirEntry* entry) override;
  ~LocalDirSearch() override;

 private:
  // Evaluates the result of a find call and fetches further entries while
  // the found one is filtered out; data is the find data of the call form.
  int32_t fetch(bool found, void* data, DirEntry* entry);
  bool findNext(void* data);
  void closeFind();
  void* findHandle_ = nullptr;  // the Win32 find handle, or none
  uint32_t mask_ = 0;
  int32_t dotlessOnly_ = 0;
  int32_t wide_ = 0;  // 1 when the search runs through the …W calls
  bool kindsOnly_ = false;
};

constexpr int32_t SEARCH_HANDLE_RESERVED = 1;

// In the mask of findFirstEntry: the caller reads of each entry only its name
// and the attribute bits of its kind (directory, device, hidden, system), so
// the listing need not examine entries whose kind it tells by itself; their
// times, size and read-only bit may then be zero.
constexpr uint32_t ENTRY_KINDS_ONLY = 0x10000;

int32_t findFirstEntry(const char* path, int32_t* handle, uint32_t mask, DirEntry* entry);
int32_t findNextEntry(int32_t handle, DirEntry* entry);
void closeEntrySearch(int32_t handle);

// Name-level lookups: search for path (capacity 512) and on success replace
// its name part with the found entry's name, plus "\\" for a directory. The
// first call sets *handle to -1 when it fails.
int32_t findFirstName(char* path, int32_t* handle, uint32_t mask);
int32_t findNextName(char* path, int32_t handle);

// The hidden and system bits admitted whatever the caller's mask says.
uint32_t showAllFilesMask();

// The mapping of a find call's error to a result code.
int32_t mapFindError(uint32_t win32Error);

// True on the Windows 95 family (never on NT or elsewhere).
bool isWindows95Family();
