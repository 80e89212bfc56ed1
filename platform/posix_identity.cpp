// File identity and permission bits on POSIX: a file is the same when its
// device and inode numbers are; "\\" in names counts as "/".
#include "platform/posix_internal.h"

#include <sys/stat.h>

#include <string>

#include "platform/file_identity.h"

namespace {

std::string systemName(const char* name) {
  std::string result(name);
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  return result;
}

int identityOf(const char* posixName, FileIdentity* identity) {
  struct stat facts;
  if (stat(posixName, &facts) != 0) return 0;
  identity->volume = static_cast<uint64_t>(facts.st_dev);
  identity->index = static_cast<uint64_t>(facts.st_ino);
  return 1;
}

}  // namespace

int platformSameFile(const char* a, const char* b) {
  struct stat first;
  struct stat second;
  if (stat(systemName(a).c_str(), &first) != 0) return 0;
  if (stat(systemName(b).c_str(), &second) != 0) return 0;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino ? 1 : 0;
}

void platformCopyPermissions(const char* from, const char* to) {
  struct stat source;
  if (stat(systemName(from).c_str(), &source) != 0) return;
  chmod(systemName(to).c_str(), source.st_mode & 07777);
}

int platformFileIdentity(const char* name, FileIdentity* identity) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixName(name, path) ? identityOf(path, identity) : 0;
}

int platformFileIdentityWide(const WCHAR* name, FileIdentity* identity) {
  char path[POSIX_NAME_CAPACITY];
  return toPosixNameWide(name, path) ? identityOf(path, identity) : 0;
}
