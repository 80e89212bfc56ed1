// Look-ahead bodies answered for a whole line at once, by a backward pass
// of the body's automaton over the text. See body_backward.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"

// The route does not take this body at this position; the caller answers it
// its own way.
constexpr int32_t BODY_BACKWARD_DECLINED = -1;

// Whether the body of the look-ahead at `notAhead` (of the compiled
// pattern's program) matches at `at`, the matcher's pointer: 1 or 0, with
// *reach the positions from `at` on that share the answer (at least 1);
// BODY_BACKWARD_DECLINED; or -8 out of memory. Each byte read adds a step.
int32_t backwardBodyMatchesAt(const Instruction* notAhead, const uint8_t* at, int64_t* steps,
                              int64_t* reach);

// Tests: the shortest stretch of text the route takes (INT64_MAX: none)
// and the bytes of its blocks; 0 restores each.
void setBackwardBodyLimits(int64_t shortestStretch, int64_t blockBytes);
// The bytes the route holds for answers: checkpoints, runs and a block's bits.
int64_t backwardBodyBytes();
// Stretches answered so far in the process, and of them those read across
// lines.
int64_t backwardBodyStretches();
int64_t backwardBodyStretchesAcrossLines();
