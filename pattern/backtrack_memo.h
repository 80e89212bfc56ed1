// The backtracking matcher with memoized failures: the engine of the programs
// without back-references that the Pike VM does not take (more states than
// the VM's bound), and of the VM's look-ahead bodies with open loops. See
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
// Body states run on their own first, since the counter was last cleared
// (see setBodyFrameLimit).
int64_t memoGoalRuns();
// The bytes that look-ahead answers kept by position take now: the memo's
// pages and the backward passes' checkpoints and bits.
int64_t lookAheadAnswerBytes();
// The bytes of the memo's bitmap now: it grows as attempts reach further
// from their start, and starts small again with each program.
int64_t memoBitmapBytes();

namespace backtrack_memo {

// What the matcher asks at every instruction of a memoized attempt, and tells
// when frames are popped. Defined in backtrack_memo.cpp.
// The outcome of the state at the instruction and the current position when
// it is known: HANDLER_FAIL when it failed before (the path ends here),
// HANDLER_ACCEPT when inside a look-ahead body it led to the body's MATCH;
// else UNKNOWN, and the instruction runs.
constexpr int32_t UNKNOWN = -1;
int32_t knownOutcome(const Instruction* pc);
// A scan instruction (a one-item loop) run at the current position; the
// handler's result, or HANDLER_ACCEPT inside a body whose MATCH the run is
// known to reach. It cuts the run short where an earlier run of the same loop
// passed.
int32_t runScanOnce(const Instruction* pc, int32_t (*handler)(const Instruction*));
// Backtracking resumes at frame k: the look-ahead states entered since that
// frame was pushed have failed.
void settlePending(int32_t frame);
// A look-ahead body matched: its states entered above the guard frame k,
// all on the path to its MATCH, lead there.
void bodyMatched(int32_t frame);
// The attempt ended (a match, or memory ran out): the states awaiting a
// verdict above frame k are forgotten.
void dropPending(int32_t frame);
// A body's run for the VM that holds bodyFrameLimit() frames asks at each
// instruction whether the memo takes the state there as a goal, to be
// answered by a run of its own first; if so the run is left, its frames
// dropped and the pointer where it stands. setBodyFrameLimit changes the
// limit (tests; 0 restores it).
int32_t bodyFrameLimit();
void setBodyFrameLimit(int32_t frames);
bool takeGoal(const Instruction* pc);

// The Pike VM's look-ahead bodies with open loops, answered by the memoized
// backtracker. memoRunsLookAheadBodies: whether the memo has the current
// program's states (as memoTakesProgram, whatever the engine chosen).
// beginLookAheadBodies and endLookAheadBodies enclose the part of a search
// of the VM that asks the memo, whose positions count from the search's
// first position: the pointer stands at `searchPosition` when it begins, and
// `continuation` says that the search began on a continuation byte of UTF-8
// text.
bool memoRunsLookAheadBodies();
int32_t beginLookAheadBodies(int64_t searchPosition, bool continuation);
void endLookAheadBodies();
// Whether the body of the look-ahead at `notAhead` matches at the pointer,
// at `position` of the search: 1, 0, or -8; the same answer holds at every
// position up to *until (excluded). The VM asks at positions that mostly
// increase; the ring of bits follows the furthest asked.
int32_t lookAheadBodyMatchesAt(const Instruction* notAhead, int64_t position, int64_t* steps,
                               int64_t* until);

}  // namespace backtrack_memo
