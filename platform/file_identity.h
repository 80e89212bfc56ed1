// Questions about files that the Win32 subset of win32.h does not answer in
// the same way on both systems.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// 1 when both names exist and denote the same file (the same path, a hard
// link, a symbolic link), else 0.
int platformSameFile(const char* a, const char* b);

// Gives `to` the permission bits of `from` where the system has them (so a
// copied program stays executable); does nothing elsewhere.
void platformCopyPermissions(const char* from, const char* to);

// What makes a file or directory the one it is, whatever name reaches it:
// device and inode number on POSIX, volume serial number and file index on
// Windows. Two names reach the same file exactly when their identities are
// equal, which is how a directory walk recognises a link back up the tree.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

// 1 with *identity filled when the name (a file or a directory; links are
// followed) can be examined, else 0. The name is in the code page's bytes, or
// UTF-16 for the wide form, as for the other name-based calls.
int platformFileIdentity(const char* name, FileIdentity* identity);
int platformFileIdentityWide(const WCHAR* name, FileIdentity* identity);
