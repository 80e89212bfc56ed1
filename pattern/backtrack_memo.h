// The backtracking matcher with memoized failures: the engine of the programs
// without back-references that the Pike VM does not take (look-ahead whose
// body holds an open loop, more states than the VM's bound). See
// backtrack_memo.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"
#include "pattern/pike_vm.h"

// Whether the memo can run the current compiled program over the current text
// source: no BACKREF, loops of the compiler's shapes, and few enough states
// that a row of the bitmap covers them. The analysis is kept until another
// program comes.
bool memoTakesProgram();

// Runs the search from the matcher's pointer with the memo, starting the
// program at every candidate on the way; the results are runPikeVm's (0
// found, 1 no match at a candidate up to the pointer, PIKE_TEXT_END, -8).
int32_t runMemoizedSearch(const PikeCandidates& candidates);

// Instructions run (or cut short by the memo) since the counter was last
// cleared: a measure of time that tests compare with the text.
int64_t memoSteps();
void clearMemoSteps();

namespace backtrack_memo {

// What the matcher asks at every instruction of a memoized attempt, and tells
// when frames are popped. Defined in backtrack_memo.cpp.
// True when the state at the instruction and the current position failed
// before: the path ends here.
bool stateFailedBefore(const Instruction* pc);
// A scan instruction (a one-item loop) run at the current position; the
// handler's result. It cuts the run short where an earlier run of the same
// loop passed.
int32_t runScanOnce(const Instruction* pc, int32_t (*handler)(const Instruction*));
// Backtracking resumes at frame k: the look-ahead states entered since that
// frame was pushed have failed.
void settlePending(int32_t frame);
// A look-ahead body matched: its states entered above the guard frame k did
// not fail.
void dropPending(int32_t frame);

}  // namespace backtrack_memo
