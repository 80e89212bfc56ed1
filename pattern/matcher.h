// The backtracking matcher: runs the compiled program at one start position.
// See matcher.cpp.
#pragma once

#include <cstdint>

// Allocates the process-wide backtrack stack (200 frames) on the first call;
// 0, or -8 when memory runs out. Called by every compile.
int32_t prepareMatcherStack();
