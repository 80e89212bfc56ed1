// What the posix_*.cpp files share among themselves and nothing else may use:
// the Win32 error numbers made from errno, names turned into the form the
// POSIX calls take, UTF-16 names turned into UTF-8 bytes and back, the stat
// facts reported as Win32 attributes and file times, and the case rules of
// the emulated code page.
#pragma once

// Offsets and sizes are 64-bit on 32-bit hosts as well; for that this header
// comes first in every posix_*.cpp, before any system header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/win32.h"

// Longest name handed to the system, terminator included.
constexpr size_t POSIX_NAME_CAPACITY = 4096;

// The Win32 error for errno err raised by a call on name (may be null).
// ENOENT becomes ERROR_PATH_NOT_FOUND when a directory of the name is
// missing, ERROR_FILE_NOT_FOUND when only the last component is.
DWORD win32ErrorOfErrno(int err, const char* name);
// SetLastError(win32ErrorOfErrno(errno, name)); returns FALSE for the caller.
BOOL failWithErrno(const char* name);
// SetLastError(error); returns FALSE for the caller.
BOOL failWith(DWORD error);

// Copies an ANSI name into out (capacity POSIX_NAME_CAPACITY) with every
// "\\" turned into "/". The trail bytes of double-byte characters are left
// alone, as 0x5C is a valid trail byte. False, with the last error set (206
// too long, 3 empty or null), when the name cannot be used.
bool toPosixName(const char* name, char* out);
// The same for a UTF-16 name, which becomes UTF-8 bytes.
bool toPosixNameWide(const WCHAR* name, char* out);

// UTF-8 bytes to UTF-16 code units and back, as MultiByteToWideChar and
// WideCharToMultiByte do for CP_UTF8 with flags 0: invalid input becomes
// U+FFFD. Both write at most capacity units (bytes) including a terminating
// NUL and answer the length without it, or -1 when it did not fit.
int utf8ToWideName(const char* text, WCHAR* out, size_t capacity);
int wideToUtf8Name(const WCHAR* text, char* out, size_t capacity);

// The descriptor of a directory that a directory search is listing right now
// under the name directory[0..length), or -1: a file of that directory is
// opened relative to it, without the kernel walking the whole path again.
int listedDirectory(const char* directory, size_t length);
// The stat facts of entry `name` of the listed directory, when the listing
// has just described it (once per description); false otherwise.
bool describedFacts(int directory, const char* name, struct stat* facts);

// Attribute bits of an entry called name (the last component decides the
// hidden bit) with the given stat facts.
DWORD attributesOfStat(const struct stat& facts, const char* name);
// A POSIX time as a FILETIME (100 ns units since 1601-01-01 UTC) and back.
FILETIME fileTimeOfTimespec(const struct timespec& time);
struct timespec timespecOfFileTime(const FILETIME& time);

// The number of the emulated active code page (what GetACP answers).
uint32_t activeCodePage();
// Whether the emulated code page has double-byte characters and whether a
// byte is a lead byte of it.
bool codePageIsDoubleByte();
bool isLeadByteOfCodePage(uint8_t byte);
// The upper-case form of a single byte under the emulated code page (lead
// bytes and bytes of double-byte code pages above 0x7F are their own).
uint8_t upperByteOfCodePage(uint8_t byte);
