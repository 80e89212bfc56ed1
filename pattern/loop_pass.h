// The loop pass: rewrites the item of every one-item loop whose continuation
// starts with a character test, a line-end test or the program's end into a
// scan instruction. See loop_pass.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"

void runLoopPass(Instruction* program, int32_t lastSlot, int32_t encodingMode);
