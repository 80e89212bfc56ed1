// The last-error slot and the Win32 error numbers made from errno.
//
// Every emulated call that fails stores a Win32 error number, so the code
// above the seam maps errors one way on both systems. Most errno values have
// one Win32 counterpart; ENOENT needs a look at the name, because Windows
// tells a missing file (2) from a missing directory on the way to it (3): the
// parent of the name is looked up, and the error is 3 when it is not an
// existing directory.
#include "platform/posix_internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/win32.h"

namespace {

thread_local DWORD lastError = 0;

constexpr DWORD ERROR_NOT_SAME_DEVICE_CODE = 17;
constexpr DWORD ERROR_FILE_TOO_LARGE_CODE = 223;
constexpr DWORD ERROR_BUSY_CODE = 170;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME_CODE = 1921;

// Whether the directory that holds name exists. Trailing separators belong to
// the last component, so "a/b/" is looked for in "a".
bool parentDirectoryExists(const char* name) {
  size_t length = std::strlen(name);
  while (length > 1 && name[length - 1] == '/') {
    --length;
  }
  size_t cut = length;
  while (cut > 0 && name[cut - 1] != '/') {
    --cut;
  }
  if (cut == 0) {
    return true;  // a name in the current directory
  }
  if (cut == 1) {
    return true;  // a name in the root directory
  }
  char parent[POSIX_NAME_CAPACITY];
  if (cut - 1 >= sizeof parent) {
    return false;
  }
  std::memcpy(parent, name, cut - 1);
  parent[cut - 1] = '\0';
  struct stat facts;
  return stat(parent, &facts) == 0 && S_ISDIR(facts.st_mode);
}

}  // namespace

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD error) {
  lastError = error;
}

DWORD win32ErrorOfErrno(int err, const char* name) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      if (name == nullptr) {
        return ERROR_FILE_NOT_FOUND;
      }
      if (name[0] == '\0') {
        return ERROR_PATH_NOT_FOUND;
      }
      return parentDirectoryExists(name) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return ERROR_DISK_FULL;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE_CODE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EROFS:
      return 19;  // ERROR_WRITE_PROTECT
    case EIO:
      return ERROR_READ_FAULT;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ESPIPE:
      return ERROR_SEEK_ON_DEVICE;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE_CODE;
    case EBUSY:
      return ERROR_BUSY_CODE;
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME_CODE;
    case ENXIO:
    case ENODEV:
      return ERROR_NOT_READY;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EILSEQ:
      return ERROR_INVALID_NAME;
    default:
      return ERROR_GEN_FAILURE;
  }
}

BOOL failWithErrno(const char* name) {
  SetLastError(win32ErrorOfErrno(errno, name));
  return FALSE;
}

BOOL failWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}
