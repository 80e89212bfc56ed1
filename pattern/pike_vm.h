// The Pike VM: runs a compiled program over the text in one forward pass,
// in time linear in the text and memory bounded by the program. See
// pike_vm.cpp.
#pragma once

#include <cstdint>

// Which engine runs the programs the Pike VM can run. The backtracking
// matcher stays the reference; tests compare the two.
enum RegexEngine : int32_t {
  REGEX_ENGINE_AUTO = 0,       // the Pike VM where the backtracker could take more than linear time
  REGEX_ENGINE_BACKTRACK = 1,  // the backtracker for every program
  REGEX_ENGINE_PIKE = 2,       // the Pike VM for every program it can run
};
void setRegexEngine(RegexEngine engine);
RegexEngine regexEngine();

// Whether the Pike VM runs the current compiled program over the current
// text source: single-byte text, and no back-reference, no look-ahead and
// no more states than its bound allows; and, by default, only where the
// backtracker's time could grow faster than the text (a loop before the
// program's end, or many alternatives). The analysis is kept until another
// program comes.
bool pikeVmTakesProgram();

// A search whose program the Pike VM takes starts on the backtracker with a
// budget of steps, and hands over to the VM when an attempt runs out of
// them (handOverToPikeVm). A program handed over starts every later search
// on the VM at once, until another program comes or the engine is chosen
// again; with REGEX_ENGINE_PIKE every search starts on the VM.
void handOverToPikeVm();
bool pikeVmStartsAtOnce();

// The positions where a search starts the program: those whose byte is in
// `firstBytes` (every position when null), and among them only those that
// `mayStartAt` accepts (it reads the matcher's pointer). With `once`, only the
// current position: an anchored program's candidate.
struct PikeCandidates {
  const uint8_t* firstBytes;
  bool (*mayStartAt)();
  bool once;
};

constexpr int32_t PIKE_TEXT_END = 2;

// Runs the program from the matcher's pointer, starting it at every
// candidate position on the way, until the first match in priority order
// of the leftmost start is certain or no thread is left:
//   0  found: the pointer is at the match start; the matcher's matchLength,
//      cursorMark and the base frame's captures describe the match;
//   1  no match starts at a candidate up to the pointer, where the search
//      goes on with the next position (with `once`, the pointer is back at
//      the start);
//   PIKE_TEXT_END  no match up to the end of the text;
//   -8 out of memory.
int32_t runPikeVm(const PikeCandidates& candidates);

// Work done since the counter was last cleared: instructions visited plus
// characters tested, a measure of time that tests compare with the text.
int64_t pikeVmSteps();
void clearPikeVmSteps();
