// Questions about files that the Win32 subset of win32.h does not answer in
// the same way on both systems.
#pragma once

// 1 when both names exist and denote the same file (the same path, a hard
// link, a symbolic link), else 0.
int platformSameFile(const char* a, const char* b);

// Gives `to` the permission bits of `from` where the system has them (so a
// copied program stays executable); does nothing elsewhere.
void platformCopyPermissions(const char* from, const char* to);
