// File identity on Windows: two names denote the same file when the volume
// serial number and the file index of both open handles agree. Windows keeps
// no permission bits to copy.
#include "platform/file_identity.h"
#include "platform/win32.h"

namespace {

bool identify(const char* name, BY_HANDLE_FILE_INFORMATION* information) {
  HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileInformationByHandle(file, information);
  CloseHandle(file);
  return ok != 0;
}

}  // namespace

int platformSameFile(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION first;
  BY_HANDLE_FILE_INFORMATION second;
  if (!identify(a, &first) || !identify(b, &second)) return 0;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
                 first.nFileIndexHigh == second.nFileIndexHigh &&
                 first.nFileIndexLow == second.nFileIndexLow
             ? 1
             : 0;
}

void platformCopyPermissions(const char*, const char*) {}
