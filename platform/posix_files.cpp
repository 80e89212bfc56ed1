// File handles over POSIX file descriptors.
//
// A HANDLE is the descriptor plus one, so no descriptor becomes null or
// INVALID_HANDLE_VALUE (-1); the standard handles are descriptors 0, 1 and 2.
// CreateFile maps access and creation to open flags and then does what Win32
// does differently: a directory cannot be opened as a file (error 5),
// CREATE_ALWAYS and OPEN_ALWAYS report ERROR_ALREADY_EXISTS when the file was
// there, and FILE_FLAG_DELETE_ON_CLOSE unlinks the name at once, which leaves
// the open file usable until its last handle is closed. SetFilePointer is
// 64-bit through its high-part argument; the target position is computed
// before moving, so a refused seek leaves the position where it was.
// WriteFile writes the whole count, as Win32 does for files. A read at the end
// of a file or pipe succeeds with 0 bytes.
//
// A search of a small file asks for its size (a seek to the end), seeks back
// to the start and reads it; on a tree of thousands of files every system
// call counts. So for a regular file opened here the position is kept in this
// layer: a seek only records where the next transfer starts, the descriptor
// is moved by lseek just before a read or write that needs it, and the size
// that CreateFile's fstat saw serves every seek to the end until something is
// read or written (a search asks for the size twice before it reads: whether
// the file has bytes, then where its text ends).
#include "platform/posix_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdint>

#include "platform/win32.h"

namespace {

// The largest count handed to one read or write call.
constexpr size_t LARGEST_TRANSFER = 0x40000000;

int descriptorOf(HANDLE handle) {
  intptr_t value = reinterpret_cast<intptr_t>(handle);
  if (value <= 0 || value > INT_MAX) {
    return -1;
  }
  return static_cast<int>(value - 1);
}

HANDLE handleOf(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

// Descriptors that CreateFile opened on a regular file, with the position
// the caller has set (`position`) and the one the descriptor has (`actual`).
struct RegularFile {
  bool tracked;
  bool sizeFresh;  // `size` is what fstat said at the open, with nothing transferred since
  int64_t size;
  int64_t position;
  int64_t actual;
};
constexpr int TRACKED_DESCRIPTORS = 1024;
RegularFile regularFiles[TRACKED_DESCRIPTORS];

void trackRegular(int fd, bool regular, int64_t size) {
  if (fd >= 0 && fd < TRACKED_DESCRIPTORS) regularFiles[fd] = {regular, regular, size, 0, 0};
}

RegularFile* regularFile(int fd) {
  return fd >= 0 && fd < TRACKED_DESCRIPTORS && regularFiles[fd].tracked ? &regularFiles[fd] : nullptr;
}

// Moves a tracked descriptor to the position its caller set, before a transfer.
bool placeDescriptor(int fd, RegularFile* file) {
  if (file == nullptr || file->position == file->actual) return true;
  if (lseek(fd, static_cast<off_t>(file->position), SEEK_SET) < 0) return false;
  file->actual = file->position;
  return true;
}

// Accounts for a transfer of `count` bytes on a tracked descriptor.
void advanceDescriptor(RegularFile* file, int64_t count) {
  if (file == nullptr) return;
  file->sizeFresh = false;
  file->position += count;
  file->actual = file->position;
}

// The Win32 error of a failed call on an open descriptor. EBADF on a
// descriptor that is open means the handle lacks the access the call needs.
DWORD errorOnDescriptor(int fd, int err, DWORD ioError) {
  if (err == EBADF && fd >= 0 && fcntl(fd, F_GETFD) != -1) {
    return ERROR_ACCESS_DENIED;
  }
  if (err == EIO) {
    return ioError;
  }
  return win32ErrorOfErrno(err, nullptr);
}

// Opens path; *listing receives the descriptor of the listed directory it
// was opened relative to, or -1, and *name the name it was opened by there.
int openRetrying(const char* path, int flags, int* listing = nullptr, const char** opened = nullptr) {
  // A file of a directory that is being listed (the usual case in a tree
  // search) is opened relative to that directory.
  int base = AT_FDCWD;
  const char* name = path;
  if (const char* slash = std::strrchr(path, '/'); slash != nullptr && slash != path && slash[1] != '\0') {
    int directory = listedDirectory(path, static_cast<size_t>(slash - path));
    if (directory >= 0) {
      base = directory;
      name = slash + 1;
    }
  }
  if (listing != nullptr) {
    *listing = base == AT_FDCWD ? -1 : base;
    *opened = name;
  }
  int fd;
  do {
    fd = openat(base, name, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

HANDLE openFile(const char* path, DWORD access, DWORD creation, DWORD flags) {
  int accessFlags;
  if ((access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0) {
    accessFlags = O_RDWR;
  } else if ((access & GENERIC_WRITE) != 0) {
    accessFlags = O_WRONLY;
  } else {
    accessFlags = O_RDONLY;
  }
  int fd = -1;
  int listing = -1;
  const char* name = path;
  DWORD successError = ERROR_SUCCESS;
  switch (creation) {
    case CREATE_NEW:
      fd = openRetrying(path, accessFlags | O_CREAT | O_EXCL);
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
      // Try to create first, so that an existing file can be reported.
      int extra = creation == CREATE_ALWAYS ? O_TRUNC : 0;
      for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
        fd = openRetrying(path, accessFlags | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST) {
          break;
        }
        fd = openRetrying(path, accessFlags | extra);
        if (fd >= 0) {
          successError = ERROR_ALREADY_EXISTS;
        } else if (errno != ENOENT) {
          break;  // ENOENT: removed in between, create it after all
        }
      }
      break;
    }
    case OPEN_EXISTING:
      fd = openRetrying(path, accessFlags, &listing, &name);
      break;
    case TRUNCATE_EXISTING:
      if ((access & GENERIC_WRITE) == 0) {
        failWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      fd = openRetrying(path, accessFlags | O_TRUNC);
      break;
    default:
      failWith(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    failWithErrno(path);
    return INVALID_HANDLE_VALUE;
  }
  // A file opened for reading just after its directory listing described
  // it is taken to be what the listing saw.
  struct stat facts;
  const bool known = (accessFlags == O_RDONLY && describedFacts(listing, name, &facts)) ||
                     fstat(fd, &facts) == 0;
  if (known && S_ISDIR(facts.st_mode)) {
    close(fd);
    failWith(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  trackRegular(fd, known && S_ISREG(facts.st_mode), known ? static_cast<int64_t>(facts.st_size) : 0);
  if ((flags & FILE_FLAG_DELETE_ON_CLOSE) != 0) {
    unlink(path);
  }
  SetLastError(successError);
  return handleOf(fd);
}

bool isOmittedTime(const FILETIME* time) {
  return time == nullptr || (time->dwLowDateTime == 0 && time->dwHighDateTime == 0) ||
         (time->dwLowDateTime == 0xFFFFFFFFu && time->dwHighDateTime == 0xFFFFFFFFu);
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, void*, DWORD creation, DWORD flags, HANDLE) {
  char path[POSIX_NAME_CAPACITY];
  if (!toPosixName(name, path)) {
    return INVALID_HANDLE_VALUE;
  }
  return openFile(path, access, creation, flags);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, void*, DWORD creation, DWORD flags, HANDLE) {
  char path[POSIX_NAME_CAPACITY];
  if (!toPosixNameWide(name, path)) {
    return INVALID_HANDLE_VALUE;
  }
  return openFile(path, access, creation, flags);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, void*) {
  if (done != nullptr) {
    *done = 0;
  }
  int fd = descriptorOf(file);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  RegularFile* tracked = regularFile(fd);
  if (!placeDescriptor(fd, tracked)) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_READ_FAULT));
  }
  size_t wanted = count < LARGEST_TRANSFER ? count : LARGEST_TRANSFER;
  ssize_t got;
  do {
    got = read(fd, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_READ_FAULT));
  }
  advanceDescriptor(tracked, got);
  if (done != nullptr) {
    *done = static_cast<DWORD>(got);
  }
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, void*) {
  if (done != nullptr) {
    *done = 0;
  }
  int fd = descriptorOf(file);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  RegularFile* tracked = regularFile(fd);
  if (!placeDescriptor(fd, tracked)) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
  }
  const char* bytes = static_cast<const char*>(buffer);
  DWORD written = 0;
  while (written < count) {
    size_t wanted = count - written < LARGEST_TRANSFER ? count - written : LARGEST_TRANSFER;
    ssize_t put = write(fd, bytes + written, wanted);
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
    }
    advanceDescriptor(tracked, put);
    written += static_cast<DWORD>(put);
    if (done != nullptr) {
      *done = written;
    }
  }
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distanceLow, LONG* distanceHigh, DWORD method) {
  int fd = descriptorOf(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t distance;
  if (distanceHigh != nullptr) {
    distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                    static_cast<uint32_t>(distanceLow));
  } else {
    distance = distanceLow;
  }
  RegularFile* tracked = regularFile(fd);
  int64_t base;
  if (method == FILE_BEGIN) {
    base = 0;
  } else if (method == FILE_CURRENT) {
    if (tracked != nullptr) {
      base = tracked->position;
    } else {
      off_t current = lseek(fd, 0, SEEK_CUR);
      if (current < 0) {
        SetLastError(errorOnDescriptor(fd, errno, ERROR_SEEK_ON_DEVICE));
        return INVALID_SET_FILE_POINTER;
      }
      base = current;
    }
  } else if (method == FILE_END) {
    struct stat facts;
    if (tracked != nullptr && tracked->sizeFresh) {
      base = tracked->size;
    } else if (fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode)) {
      base = facts.st_size;
    } else {
      // A device or pipe: its end is where lseek says it is.
      off_t current = lseek(fd, 0, SEEK_CUR);
      off_t end = current < 0 ? current : lseek(fd, 0, SEEK_END);
      if (end < 0) {
        SetLastError(errorOnDescriptor(fd, errno, ERROR_SEEK_ON_DEVICE));
        return INVALID_SET_FILE_POINTER;
      }
      lseek(fd, current, SEEK_SET);
      base = end;
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, distance, &target) || target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without the high part the caller could not learn a position past 4 GiB.
  if (distanceHigh == nullptr && target > static_cast<int64_t>(0xFFFFFFFFu)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (tracked != nullptr) {
    tracked->position = target;  // the descriptor moves at the next transfer
  } else if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) {
    SetLastError(errorOnDescriptor(fd, errno, ERROR_SEEK_ON_DEVICE));
    return INVALID_SET_FILE_POINTER;
  }
  uint64_t position = static_cast<uint64_t>(target);
  if (distanceHigh != nullptr) {
    *distanceHigh = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
  }
  DWORD low = static_cast<DWORD>(position);
  if (low == INVALID_SET_FILE_POINTER) {
    SetLastError(ERROR_SUCCESS);  // tells this position from a failure
  }
  return low;
}

BOOL SetEndOfFile(HANDLE file) {
  int fd = descriptorOf(file);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  RegularFile* tracked = regularFile(fd);
  off_t position = tracked != nullptr ? static_cast<off_t>(tracked->position) : lseek(fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(fd, position) != 0) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
  }
  if (tracked != nullptr) tracked->sizeFresh = false;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  int fd = descriptorOf(file);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  if (fsync(fd) != 0) {
    // Terminals and pipes have nothing to write back.
    if (errno == EINVAL || errno == EROFS) {
      return TRUE;
    }
    return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  int fd = descriptorOf(object);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  trackRegular(fd, false, 0);
  // After EINTR the descriptor is closed all the same.
  if (close(fd) != 0 && errno != EINTR) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
  }
  return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
  switch (which) {
    case STD_INPUT_HANDLE:
      return handleOf(0);
    case STD_OUTPUT_HANDLE:
      return handleOf(1);
    case STD_ERROR_HANDLE:
      return handleOf(2);
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

DWORD GetFileType(HANDLE file) {
  int fd = descriptorOf(file);
  // A descriptor that CreateFile found on a regular file stays one: a tree
  // search asks each file it opens, and needs no second fstat for that.
  if (regularFile(fd) != nullptr) return FILE_TYPE_DISK;
  struct stat facts;
  if (fd < 0 || fstat(fd, &facts) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISREG(facts.st_mode) || S_ISDIR(facts.st_mode) || S_ISBLK(facts.st_mode)) {
    return FILE_TYPE_DISK;
  }
  if (S_ISCHR(facts.st_mode)) {
    return FILE_TYPE_CHAR;
  }
  if (S_ISFIFO(facts.st_mode) || S_ISSOCK(facts.st_mode)) {
    return FILE_TYPE_PIPE;
  }
  return FILE_TYPE_UNKNOWN;
}

BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
  int fd = descriptorOf(console);
  if (fd < 0 || isatty(fd) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (mode != nullptr) *mode = 0;
  return TRUE;
}

// Only the access and write times exist here; a null or zero time (and the
// all-ones value) leaves that time as it is, as in Win32.
BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* access, const FILETIME* write) {
  int fd = descriptorOf(file);
  if (fd < 0) {
    return failWith(ERROR_INVALID_HANDLE);
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = times[0];
  if (!isOmittedTime(access)) {
    times[0] = timespecOfFileTime(*access);
  }
  if (!isOmittedTime(write)) {
    times[1] = timespecOfFileTime(*write);
  }
  if (futimens(fd, times) != 0) {
    return failWith(errorOnDescriptor(fd, errno, ERROR_WRITE_FAULT));
  }
  return TRUE;
}
