// Name-based calls: names handed to the system, attributes, delete, move,
// directories, the current directory, and the names of temporary files and
// of the running program.
//
// Every name goes through toPosixName, which accepts "\\" as well as "/" as
// the separator; names written back use "/". Attributes are made from stat:
// 0x10 for a directory, 0x20 (archive) for a regular file, 0x04 (system) for
// the special files Windows has no counterpart for (devices, fifos, sockets),
// 0x02 (hidden) for a name that begins with a dot, and 0x01 (read-only) when
// the permission bits deny the user writing; the privileges of root do not
// count, so the bit reads back as SetFileAttributes left it. Where Win32
// refuses what POSIX would allow (moving onto an existing name, removing a
// file with RemoveDirectory) the refusal is made here first.
#include "platform/posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/win32.h"

namespace {

// Stat that also finds a symbolic link whose target is missing.
int statOrLink(const char* name, struct stat* facts) {
  if (stat(name, facts) == 0) {
    return 0;
  }
  int err = errno;
  if (err == ENOENT && lstat(name, facts) == 0) {
    return 0;
  }
  errno = err;
  return -1;
}

// The write permission bit that applies to the effective user.
mode_t userWriteBit(const struct stat& facts) {
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  if (facts.st_uid == user) {
    return S_IWUSR;
  }
  if (facts.st_gid == group) {
    return S_IWGRP;
  }
  return S_IWOTH;
}

// Copies a length-counted text out with Win32's return-value rules: the
// length when it fits with its NUL, else the size needed including the NUL.
DWORD copyOut(const char* text, size_t length, char* out, DWORD size) {
  if (out == nullptr || size <= length) {
    return static_cast<DWORD>(length + 1);
  }
  std::memmove(out, text, length);
  out[length] = '\0';
  return static_cast<DWORD>(length);
}

BOOL deleteFile(const char* name) {
  if (unlink(name) != 0) {
    return failWithErrno(name);
  }
  return TRUE;
}

BOOL moveFile(const char* from, const char* to) {
  struct stat facts;
  if (lstat(from, &facts) != 0) {
    return failWithErrno(from);
  }
  if (lstat(to, &facts) == 0) {
    return failWith(ERROR_ALREADY_EXISTS);
  }
  if (rename(from, to) != 0) {
    return failWithErrno(to);
  }
  return TRUE;
}

// Only the read-only bit has a POSIX counterpart: it takes away every write
// permission, and clearing it gives back the ones the umask allows. The bit
// is left alone on directories, where Windows gives it no effect either.
BOOL setFileAttributes(const char* name, DWORD attributes) {
  struct stat facts;
  if (stat(name, &facts) != 0) {
    return failWithErrno(name);
  }
  if (S_ISDIR(facts.st_mode)) {
    return TRUE;
  }
  mode_t mode = facts.st_mode & 07777;
  mode_t wanted;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    wanted = mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if ((mode & userWriteBit(facts)) == 0) {
    mode_t mask = umask(0);
    umask(mask);
    wanted = mode | ((S_IWUSR | S_IWGRP | S_IWOTH) & ~mask) | userWriteBit(facts);
  } else {
    wanted = mode;
  }
  if (wanted != mode && chmod(name, wanted) != 0) {
    return failWithErrno(name);
  }
  return TRUE;
}

BOOL createDirectory(const char* name) {
  if (mkdir(name, 0777) != 0) {
    return failWith(errno == EEXIST ? static_cast<DWORD>(ERROR_ALREADY_EXISTS)
                                    : win32ErrorOfErrno(errno, name));
  }
  return TRUE;
}

BOOL removeDirectory(const char* name) {
  struct stat facts;
  if (lstat(name, &facts) == 0 && !S_ISDIR(facts.st_mode)) {
    return failWith(ERROR_DIRECTORY);
  }
  if (rmdir(name) != 0) {
    int err = errno;
    return failWith(err == ENOTEMPTY || err == EEXIST ? static_cast<DWORD>(ERROR_DIR_NOT_EMPTY)
                                                      : win32ErrorOfErrno(err, name));
  }
  return TRUE;
}

BOOL setCurrentDirectory(const char* name) {
  if (chdir(name) != 0) {
    int err = errno;
    struct stat facts;
    if (err == ENOTDIR && stat(name, &facts) == 0) {
      return failWith(ERROR_DIRECTORY);
    }
    return failWith(win32ErrorOfErrno(err, name));
  }
  return TRUE;
}

// getcwd into a buffer of POSIX_NAME_CAPACITY; false with the last error set.
bool currentDirectory(char* buffer) {
  if (getcwd(buffer, POSIX_NAME_CAPACITY) == nullptr) {
    failWithErrno(nullptr);
    return false;
  }
  return true;
}

}  // namespace

bool toPosixName(const char* name, char* out) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  bool doubleByte = codePageIsDoubleByte();
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i + 1 >= POSIX_NAME_CAPACITY) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    uint8_t byte = static_cast<uint8_t>(name[i]);
    if (doubleByte && isLeadByteOfCodePage(byte) && name[i + 1] != '\0') {
      out[i] = name[i];
      ++i;
      if (i + 1 >= POSIX_NAME_CAPACITY) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
      out[i] = name[i];  // a trail byte, even when it is 0x5C
      continue;
    }
    out[i] = byte == '\\' ? '/' : name[i];
  }
  out[i] = '\0';
  return true;
}

bool toPosixNameWide(const WCHAR* name, char* out) {
  if (name == nullptr || name[0] == 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (wideToUtf8Name(name, out, POSIX_NAME_CAPACITY) < 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  for (char* c = out; *c != '\0'; ++c) {
    if (*c == '\\') {
      *c = '/';  // 0x5C is never part of a longer UTF-8 character
    }
  }
  return true;
}

DWORD attributesOfStat(const struct stat& facts, const char* name) {
  DWORD attributes;
  if (S_ISDIR(facts.st_mode)) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISREG(facts.st_mode)) {
    attributes = FILE_ATTRIBUTE_ARCHIVE;
  } else if (S_ISLNK(facts.st_mode)) {
    attributes = FILE_ATTRIBUTE_ARCHIVE;  // a link whose target is missing
  } else {
    // A FIFO, a socket or a device: opening one may wait for a writer, or
    // reads never end, so a directory walk must be able to tell it apart.
    attributes = FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
  }
  if (!S_ISDIR(facts.st_mode) && !S_ISLNK(facts.st_mode) && (facts.st_mode & userWriteBit(facts)) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  if (name != nullptr) {
    size_t end = std::strlen(name);
    while (end > 1 && name[end - 1] == '/') {
      --end;
    }
    size_t start = end;
    while (start > 0 && name[start - 1] != '/') {
      --start;
    }
    size_t length = end - start;
    bool dotName = length == 1 || (length == 2 && name[start + 1] == '.');
    if (length > 0 && name[start] == '.' && !dotName) {
      attributes |= FILE_ATTRIBUTE_HIDDEN;
    }
  }
  return attributes;
}

BOOL DeleteFileA(LPCSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? deleteFile(path) : FALSE;
}

BOOL DeleteFileW(LPCWSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? deleteFile(path) : FALSE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  char source[POSIX_NAME_CAPACITY];
  char target[POSIX_NAME_CAPACITY];
  if (!toPosixName(from, source) || !toPosixName(to, target)) {
    return FALSE;
  }
  return moveFile(source, target);
}

BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
  char source[POSIX_NAME_CAPACITY];
  char target[POSIX_NAME_CAPACITY];
  if (!toPosixNameWide(from, source) || !toPosixNameWide(to, target)) {
    return FALSE;
  }
  return moveFile(source, target);
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? setFileAttributes(path, attributes) : FALSE;
}

BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? setFileAttributes(path, attributes) : FALSE;
}

DWORD GetFileAttributesA(LPCSTR name) {
  char path[POSIX_NAME_CAPACITY];
  if (!toPosixName(name, path)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat facts;
  if (statOrLink(path, &facts) != 0) {
    failWithErrno(path);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributesOfStat(facts, path);
}

BOOL CreateDirectoryA(LPCSTR name, void*) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? createDirectory(path) : FALSE;
}

BOOL CreateDirectoryW(LPCWSTR name, void*) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? createDirectory(path) : FALSE;
}

BOOL RemoveDirectoryA(LPCSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? removeDirectory(path) : FALSE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? removeDirectory(path) : FALSE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  char path[POSIX_NAME_CAPACITY];
  if (!currentDirectory(path)) {
    return 0;
  }
  return copyOut(path, std::strlen(path), buffer, size);
}

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  char path[POSIX_NAME_CAPACITY];
  if (!currentDirectory(path)) {
    return 0;
  }
  WCHAR wide[POSIX_NAME_CAPACITY];
  int length = utf8ToWideName(path, wide, POSIX_NAME_CAPACITY);
  if (length < 0) {
    failWith(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (buffer == nullptr || size <= static_cast<DWORD>(length)) {
    return static_cast<DWORD>(length) + 1;
  }
  std::memcpy(buffer, wide, (static_cast<size_t>(length) + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(length);
}

BOOL SetCurrentDirectoryA(LPCSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? setCurrentDirectory(path) : FALSE;
}

BOOL SetCurrentDirectoryW(LPCWSTR name) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? setCurrentDirectory(path) : FALSE;
}

// There are no short names: the name comes back as it is, once the entry it
// names is known to exist (as Win32 requires).
DWORD GetShortPathNameA(LPCSTR longName, LPSTR shortName, DWORD size) {
  char path[POSIX_NAME_CAPACITY];
  if (!toPosixName(longName, path)) {
    return 0;
  }
  struct stat facts;
  if (statOrLink(path, &facts) != 0) {
    failWithErrno(path);
    return 0;
  }
  return copyOut(longName, std::strlen(longName), shortName, size);
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  char path[POSIX_NAME_CAPACITY];
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || directory[0] == '\0' || !toPosixName(directory, path)) {
    std::strcpy(path, "/tmp/");
  }
  size_t length = std::strlen(path);
  if (path[length - 1] != '/') {
    if (length + 2 > sizeof path) {
      std::strcpy(path, "/tmp/");
      length = 5;
    } else {
      path[length++] = '/';
      path[length] = '\0';
    }
  }
  return copyOut(path, length, buffer, size);
}

// As Win32 does: "<directory>/<up to 3 prefix characters><hex number>.TMP".
// With unique 0 the number is chosen and the file created, so the name is
// taken; otherwise the name is only made.
UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR out) {
  char path[POSIX_NAME_CAPACITY];
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!toPosixName(directory, path)) {
    return 0;
  }
  size_t length = std::strlen(path);
  bool separator = path[length - 1] != '/';
  size_t prefixLength = 0;
  while (prefixLength < 3 && prefix != nullptr && prefix[prefixLength] != '\0') {
    ++prefixLength;
  }
  // directory, separator, prefix, up to 4 digits, ".TMP", NUL
  size_t stemLength = length + (separator ? 1 : 0) + prefixLength;
  if (stemLength + 4 + 4 + 1 > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  std::memcpy(out, path, length);
  if (separator) {
    out[length] = '/';
  }
  if (prefixLength > 0) {
    std::memcpy(out + stemLength - prefixLength, prefix, prefixLength);
  }
  if (unique != 0) {
    std::snprintf(out + stemLength, MAX_PATH - stemLength, "%X.TMP", unique & 0xFFFFu);
    return unique;
  }
  UINT number = static_cast<UINT>(std::time(nullptr) ^ (getpid() << 4)) & 0xFFFFu;
  for (unsigned attempt = 0; attempt < 0x10000u; ++attempt) {
    number = (number + 1) & 0xFFFFu;
    if (number == 0) {
      continue;
    }
    std::snprintf(out + stemLength, MAX_PATH - stemLength, "%X.TMP", number);
    int fd = open(out, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return number;
    }
    if (errno != EEXIST) {
      failWithErrno(out);
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

// The running program's file; a name that does not fit is cut and ends the
// buffer with its NUL, and the answer is then the buffer size with
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char path[POSIX_NAME_CAPACITY];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) {
    failWithErrno(nullptr);
    return 0;
  }
  if (static_cast<size_t>(length) >= size) {
    std::memcpy(buffer, path, size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path, static_cast<size_t>(length));
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}
