// Path names: name and extension parts, roots, absolute paths, file-name
// comparison, and finding the running program's own file and directory.
// See paths.cpp.
#pragma once

#include <cstdint>

#include "support/counted_string.h"

constexpr int32_t PATH_CAPACITY = 512;

bool hasWildcardText(const char* text, int32_t length);
bool sameFileName(const char* a, int32_t lengthA, const char* b, int32_t lengthB);
int32_t nameOffset(const char* path);
void extensionOf(const char* path, char* out, int32_t size);
int32_t rootLength(const char* path);
bool isDriveRoot(const char* path);
int32_t driveCurrentDirectory(char* out, int32_t drive);
char lastCharacter(const char* text);
int32_t absolutePath(char* out, const char* path);
int32_t findProgram(char* out, const char* name, int32_t capacity, int32_t* needsShell,
                    int32_t currentDirectoryFirst, int32_t makeShellCommand);
int32_t programDirectory(char* out, const char* firstArgument);
void stripPathParts(char* path, char letter);
// The name a program was started by, as its usage screen shows it: the name
// part of the first command-line argument without the system's program
// suffix (".exe", any case), or "grep" when there is none.
void programName(char* out, int32_t capacity, const char* firstArgument);
// A name for a message: the text itself when it is shorter than capacity
// bytes, else its start and its end joined by "...", cut at character starts
// so that no character is split.
void shortenForDisplay(char* out, int32_t capacity, const char* text);
// The current directory of a drive (0 the current one) as a counted string,
// and a file opened by a counted name; see file_handles.h for the modes.
int32_t currentDirectory(CountedString& s, int32_t drive);
int32_t openCounted(const CountedString& s, int32_t mode);
