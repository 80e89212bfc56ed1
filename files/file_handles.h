// The file access layer: small integer file handles, each owned by a driver
// object, over a second table of OS file handles; and the name-based file
// operations. Every file the program reads or writes goes through it.
// See file_handles.cpp.
#pragma once

#include <cstdint>

#include "files/dir_search.h"

typedef int32_t FileHandle;

constexpr int32_t FILE_NAME_MAX = 511;

// Open modes (the stream modes that select them in brackets).
constexpr int32_t OPEN_READ = 0;         // "rb"
constexpr int32_t OPEN_WRITE = 1;        // "wb"
constexpr int32_t OPEN_READ_WRITE = 2;   // "a+", created anew
constexpr int32_t OPEN_UPDATE = 3;       // "a", must exist
constexpr int32_t OPEN_READ_SHARED = 4;  // read, others may write
constexpr int32_t OPEN_CREATE_NEW = 5;   // "wbx"
constexpr int32_t OPEN_TEMPORARY = 6;    // as "a+", and removed when closed or at the process's end

class FileDriver {
 public:
  virtual int32_t open(const char* name, int32_t mode) = 0;
  virtual int32_t write(const void* buffer, int32_t count) = 0;
  virtual int32_t read(void* buffer, int32_t count) = 0;
  // Offsets and positions are 64-bit so that files over 2 GiB are whole.
  virtual int64_t seek(int64_t offset, int32_t origin) = 0;
  virtual int32_t close(int32_t flag) = 0;
  virtual int32_t truncate() = 0;
  virtual int32_t flush() = 0;
  virtual ~FileDriver() = default;

  char name[FILE_NAME_MAX + 1] = {};
};

class LocalFileDriver : public FileDriver {
 public:
  explicit LocalFileDriver(int32_t osIndex = -1) : osIndex_(osIndex) {}
  int32_t open(const char* name, int32_t mode) override;
  int32_t write(const void* buffer, int32_t count) override;
  int32_t read(void* buffer, int32_t count) override;
  int64_t seek(int64_t offset, int32_t origin) override;
  int32_t close(int32_t flag) override;
  int32_t truncate() override;
  int32_t flush() override;
  int32_t osIndex() const { return osIndex_; }

 private:
  int32_t osIndex_;
};

FileHandle fileOpen(const char* name, int32_t mode);
int32_t fileWrite(FileHandle handle, const void* buffer, int32_t count);
int32_t fileRead(FileHandle handle, void* buffer, int32_t count);
int64_t fileSeek(FileHandle handle, int64_t offset, int32_t origin);
int32_t fileClose(FileHandle handle, int32_t flag);
int32_t fileTruncate(FileHandle handle);
int32_t fileFlush(FileHandle handle);

// The OS file layer under LocalFileDriver.
int32_t osOpen(const char* name, int32_t mode);
int32_t osWrite(int32_t index, const void* buffer, int32_t count);
int32_t osRead(int32_t index, void* buffer, int32_t count);
int64_t osSeek(int32_t index, int64_t offset, int32_t origin);
int32_t osClose(int32_t index);
int32_t osTruncate(int32_t index);
int32_t osFlush(int32_t index);
// 1 when the OS index names a file that can seek (a disk file), else 0.
int32_t osCanSeek(int32_t index);
// The same question for a file handle.
int32_t fileCanSeek(FileHandle handle);

int32_t mapSystemError(uint32_t win32Error, int32_t defaultCode);

// The sizes of the two tables: the handle table's capacity (grown by 100
// entries at a time), the system table's capacity and its entries handed out.
int32_t fileHandleCapacity();
int32_t osTableCapacity();
int32_t osTableCounter();

// Name-based operations. Sizes are 64-bit; -1 when nothing is found.
int64_t fileSize(const char* name);
int32_t fileExists(const char* name, int32_t directoriesToo);
int32_t fileTime(const char* name, EntryTime* time);
int32_t setFileTime(const char* name, const EntryTime* time);
int32_t deleteFile(const char* name);
int32_t renameFile(const char* newName, const char* oldName);
int32_t setFileAttributes(const char* name, uint32_t attributes);
int32_t createDirectory(const char* name);
int32_t removeDirectory(const char* name);
int32_t makeDirectories(const char* path, int32_t allButLast);
int32_t isDirectory(const char* path, int32_t acceptFiles);
int32_t getCurrentDirectory(char* buffer, int32_t size);
int32_t setCurrentDirectory(const char* path);
// buffer: memAlloc'd, the whole file and a NUL after it.
int32_t readWholeFile(const char* name, char** buffer, int64_t* length, int32_t keepEndOfFile);
