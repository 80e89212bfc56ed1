// The file tree walker: turns a directory and a name pattern into the files
// to search, calling the driver once for each.
#pragma once

#include <cstdint>

#include "support/counted_string.h"

typedef int32_t (*WalkCallback)(const CountedString& path, const CountedString& displayName);
typedef void (*DirectoryHook)(const char* directory);

// 0 when at least one entry was reported, -2 when none was, or the error of
// the start directory's listing.
int32_t walkFiles(const CountedString& directory, const CountedString* namePattern,
                  int32_t walkFlags, WalkCallback callback, uint32_t attributeMask,
                  DirectoryHook enterHook, DirectoryHook leaveHook, const char* const* patterns,
                  int32_t patternCount);
