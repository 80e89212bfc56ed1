// The backtracking matcher: runs the compiled program at one start position.
// See matcher.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"

// One entry of the backtrack stack. Frame 0, the base frame, belongs to the
// attempt in progress. Captures and the cursor mark are written into the frame
// on top when they are recorded, so popping a frame discards exactly what was
// recorded after it was pushed.
struct BacktrackFrame {
  const Instruction* resume;  // null: the frame only gives a register its old value back
  int32_t offset;             // bytes consumed since the attempt's start, at push time
  uint32_t lineStamp;
  uint8_t guard;                        // 1: pushed by NOT_AHEAD
  int32_t captures[CAPTURE_GROUPS][2];  // start, end offsets
  uint32_t endMask;                     // bit g: this frame holds the end of group g
  uint32_t startMask;                   // bit g: this frame holds the start of group g
  int32_t restoreRegister;              // register index (see matcherRegister), -1 none
  int32_t restoreValue;
  int32_t cursorMark;  // mark recorded while this frame was on top, 0 none
};

// The process-wide matcher state. The window is the piece of text that the
// text source last reported with GetLineWindow: the current pointer lies from
// windowStart up to windowEnd.
struct MatcherState {
  const Instruction* pc;
  const uint8_t* cur;
  const uint8_t* windowStart;
  const uint8_t* windowEnd;
  uint32_t lineStamp;
  uint32_t startStamp;
  int32_t offset;       // bytes consumed since the attempt's start
  int32_t matchLength;  // set by MATCH
  int32_t cursorMark;   // mark of the last successful attempt, 0 none
  int32_t counters[REPEAT_COUNTERS];
  BacktrackFrame* stack;
  int32_t top;
  int32_t capacity;
  int32_t* passStarts;  // pass-start registers of the empty-pass guards
  int32_t passStartCount;
  int32_t stackLimit;  // frames the stack may grow to; 0 no limit (tests)
  // Steps an attempt without a budget may take; 0 no limit (tests, which
  // bound the backtracker on patterns that take it exponential time). Once
  // an attempt has gone over, it and every later one fail until the flag is
  // cleared.
  int64_t stepLimit;
  bool stepLimitReached;
};

extern MatcherState matcher;

constexpr int32_t MATCHER_INITIAL_FRAMES = 200;

// Allocates the process-wide backtrack stack (200 frames) on the first call;
// 0, or -8 when memory runs out. Called by every compile.
int32_t prepareMatcherStack();
// Makes room for `count` pass-start registers; 0 or -8.
int32_t preparePassStarts(int32_t count);

// Reads the current position and window from the text source.
void loadMatcherWindow();

// Runs the program at the current pointer. 1: matched (matchLength,
// cursorMark and the base frame's captures are set); 0: no match; -8: the
// stack could not grow. With `stepsLeft`, every instruction run takes one of
// its steps, and when none is left the attempt is abandoned with
// MATCHER_OUT_OF_STEPS. On 1, 0 and MATCHER_OUT_OF_STEPS the pointer is back
// at the start position.
constexpr int32_t MATCHER_OUT_OF_STEPS = 2;
int32_t runProgram(const Instruction* program, int64_t* stepsLeft = nullptr);
// runProgram with the memo of failed states (backtrack_memo.cpp), which the
// memoized search sets up around it.
int32_t runProgramMemoized(const Instruction* program);

// Register indexes for restore frames: the repetition counters first, then
// the pass-start registers.
inline int32_t* matcherRegister(int32_t index) {
  return index < REPEAT_COUNTERS ? &matcher.counters[index]
                                 : &matcher.passStarts[index - REPEAT_COUNTERS];
}
