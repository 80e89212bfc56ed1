// One file specification: set-up of the pattern, file selection, the match
// loop over each file and the report and summary lines.
#pragma once

#include <cstdint>

#include "support/counted_string.h"
#include "support/stream.h"

int32_t searchSpecification(const CountedString& specification, int32_t walkFlags,
                            int32_t ignoreCase, int32_t syntax, int32_t attributeFlags);
int32_t prepareAndWalk(const CountedString& specification, int32_t walkFlags, int32_t ignoreCase,
                       int32_t syntax, int32_t attributeFlags);
int32_t searchOneFile(const CountedString& path, const CountedString& displayName);
int32_t searchStream(Stream* stream, const CountedString& displayName);
