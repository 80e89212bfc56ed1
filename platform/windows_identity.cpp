// File identity on Windows: two names denote the same file when the volume
// serial number and the file index of both open handles agree. A directory
// is opened with backup semantics, which needs no access right to it. Windows
// keeps no permission bits to copy.
#include "platform/file_identity.h"
#include "platform/win32.h"

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool informationOf(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileInformationByHandle(file, information);
  CloseHandle(file);
  return ok != 0;
}

bool identify(const char* name, BY_HANDLE_FILE_INFORMATION* information) {
  return informationOf(CreateFileA(name, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                       information);
}

int identityOf(bool known, const BY_HANDLE_FILE_INFORMATION& information,
               FileIdentity* identity) {
  if (!known) return 0;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                    information.nFileIndexLow;
  return 1;
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

int platformFileIdentity(const char* name, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION information;
  return identityOf(identify(name, &information), information, identity);
}

int platformFileIdentityWide(const WCHAR* name, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION information;
  bool known = informationOf(CreateFileW(name, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                             &information);
  return identityOf(known, information, identity);
}
