// What the program needs from the operating system beyond the Win32 calls of
// win32.h: where pool memory comes from, how a program name is resolved to
// its final file, and the few facts that differ between the two systems.
// Implemented once per system in this folder.
#pragma once

#include <cstdint>

// Pool chunks are carved from one reserved address range so that a 32-bit
// offset from its base can link any two pool blocks, on 32- and 64-bit hosts
// alike. Returns null once the range is used up. Chunks are never returned.
void* platformPoolChunk(uint32_t size);
// The address that pool-block offsets count from.
uintptr_t platformPoolBase();

// Tells a memory checker, where the program runs under one, which pool bytes
// belong to nobody (usable 0) and which a caller may use (usable 1), so that
// an access past a request is reported. Does nothing in a plain build.
void platformMarkPoolBytes(void* at, uint32_t length, int usable);

// Replaces the NUL-terminated path in place by the file it finally names
// (symbolic links followed) when that fits in capacity bytes; leaves it
// unchanged otherwise or where the system has no links.
void platformResolveLinks(char* path, int capacity);

// 1 where program names follow the Windows extension rules (.COM, .EXE, .BAT
// ...) and the shell built-ins; 0 where a program is an executable file of
// exactly its name.
int platformProgramExtensions();

// What the system's program files end in, as the usage screen shows the
// program's name: ".exe" or "" (a POSIX program is called by its bare name).
const char* platformExecutableSuffix();

// 1 when the file is a regular file that the user may execute (Windows: any
// existing file).
int platformIsExecutableFile(const char* path);

// The separator the system itself writes in path names: '\\' or '/'.
char platformSeparator();

// The PATH list separator: ';' or ':'.
char platformPathListSeparator();

// Puts the standard handles into binary mode so that no byte is translated.
void platformBinaryStandardHandles();

// The program's arguments as UTF-8, for the UTF-8 mode, in a vector of argc
// texts that lives until the process ends; argv holds the same arguments as
// the system handed them to main. Where the system keeps the command line in
// Unicode (Windows), argv is its conversion to the ANSI code page, lossy for
// characters outside it, and the UTF-8 texts are made from the Unicode form,
// split by the same rules and never wildcard-expanded. Where arguments are
// bytes (POSIX) they are already what was typed, and argv itself is returned.
// Null when the Unicode form cannot be had or does not line up with argv.
char** platformUtf8Arguments(int argc, char** argv);

// The code page of a locale name such as "ja_JP.SJIS" (932), "C.UTF-8"
// (65001) or "de_DE.ISO-8859-15@euro" (28605): the codeset after "." and
// before "@", compared without case and without "-" or "_". A name without a
// codeset, or with one outside the known set (Shift-JIS 932, GBK 936, UHC
// 949, Big5 950, UTF-8 65001, ISO-8859-1 28591, ISO-8859-15 28605,
// Windows-1252 1252), gives PLATFORM_CODE_PAGE_ASCII. Pure parsing on both
// systems. On POSIX the active code page is the one of the first non-empty of
// LC_ALL, LC_CTYPE and LANG, fixed at first use.
constexpr uint32_t PLATFORM_CODE_PAGE_ASCII = 20127;
uint32_t platformCodePageOfLocaleName(const char* localeName);

// For tests: where the code page is emulated (POSIX) makes codePage, one of
// the code pages above (any other counts as PLATFORM_CODE_PAGE_ASCII), the
// active code page at once; where the system owns the code page (Windows)
// does nothing. Callers check GetACP() to see which happened.
void platformSetCodePage(uint32_t codePage);
