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
  REGEX_ENGINE_MEMO = 3,       // the memoizing backtracker for every program it can run
};
void setRegexEngine(RegexEngine engine);
RegexEngine regexEngine();

// Whether the Pike VM runs the current compiled program over the current
// text source: a program compiled for the text's character mode, with no
// back-reference, no look-ahead but of a short body without open loops, no
// more states than its bound allows (pikeVmRunsProgram); and, by default,
// only where the backtracker's time could grow faster than the text (a loop
// before the program's end, or many alternatives). The analysis is kept
// until another program comes.
bool pikeVmTakesProgram();
// Whether the VM can run the current program over the current text source
// at all, whatever engine is chosen.
bool pikeVmRunsProgram();
// Whether it can, and the program has no look-ahead, so that a thread's
// future depends on its state and the text from its position on alone: the
// state sets below describe it.
bool pikeVmRunsHere();
// Whether it can, and the backtracker runs the program in linear time: an
// attempt that fails reads no more than the program's paths, and one that
// succeeds no more than its match.
bool backtrackerRunsLinear();

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
  // UTF-8 text: the next candidate is past the character at the pointer, as
  // it decodes; without, one byte on and past the continuation bytes there.
  bool stepCharacters = false;
};

constexpr int32_t PIKE_TEXT_END = 2;

// Runs the program from the matcher's pointer, starting it at every
// candidate position on the way, until the first match in priority order
// of the leftmost start is certain, or no thread is left and none has
// started over the next few bytes:
//   0  found: the pointer is at the match start; the matcher's matchLength,
//      cursorMark and the base frame's captures describe the match;
//   1  no match starts at a candidate up to the pointer, where the search
//      goes on with the next position (with `once`, the pointer is back at
//      the start);
//   PIKE_TEXT_END  no match up to the end of the text;
//   -8 out of memory.
int32_t runPikeVm(const PikeCandidates& candidates);

// Where matches stand a few bytes apart, the driver's search after a match
// costs far more in set-up than the VM's few cached steps that find the next
// one. Whether the last match runPikeVm found came from such a short run,
// with candidates that go on past it (not `once`).
bool pikeVmMayResume();
// The search from the pointer as runPikeVm would make it with those same
// candidates, tried by the short run alone at the first candidate within
// `reach` bytes: 1 found (as runPikeVm's 0: the pointer at the match start,
// the matcher's fields describe it), 0 when that does not settle the search
// (the pointer back where it was), -8 out of memory. The caller makes sure
// that the search is the one the last found its match in: the same program,
// engine and text source; `text` and `offset` are what the source's
// TextPlace tells of the pointer.
int32_t resumePikeVm(int32_t reach, uint32_t text, int64_t offset);

// Whether a thread may start at the matcher's pointer: its byte is one of
// the first bytes and the caller's own test agrees. The memoized backtracker
// takes its candidates by the same rule.
bool pikeCandidateAllowed(const PikeCandidates& candidates);

// Work done since the counter was last cleared: instructions visited plus
// characters tested, a measure of time that tests compare with the text.
int64_t pikeVmSteps();
void clearPikeVmSteps();

// ---------------------------------------------------------------------------
// State sets, for the lazy DFA (lazy_dfa.cpp)
//
// A state number names what decides a thread's future: its instruction and
// the live counters and pass-start flags, never its group bounds or cursor
// mark. The calls below follow states as the VM follows threads, reading the
// text at the matcher's pointer with the VM's own reads, so the window edges
// and line ends answer exactly as they do for the VM.

// The number of states of the program pikeVmRunsHere accepted, and the
// instruction of a state: for a tail state, the item it belongs to, with
// *bytesToWait the bytes of the item's character it still waits out (0 at
// an instruction).
int32_t pikeStateCount();
int32_t pikeStateInstruction(int32_t state, int32_t* bytesToWait);

constexpr int32_t PIKE_STATE_DEAD = -1;
constexpr int32_t PIKE_STATE_UNKNOWN = -2;  // a state the analysis does not number
constexpr int32_t PIKE_FOLLOW_MATCHED = 1;

// Each state takes the byte at the pointer: moved[i] is the state after it
// (at the instruction that follows), or PIKE_STATE_DEAD. 0, or
// PIKE_STATE_UNKNOWN when a state cannot be numbered. The pointer stays.
int32_t pikeTakeByte(const int32_t* states, int32_t count, int32_t* moved);

// Follows the moved states (PIKE_STATE_DEAD ones are skipped), in order,
// and then a new thread when `startHere`, to their consuming instructions
// at the pointer: each state reached is appended to `out` once. Returns
// PIKE_FOLLOW_MATCHED as soon as one reaches MATCH (the states after it
// are not followed), 0 when none does, PIKE_STATE_UNKNOWN, or -8 out of
// memory. `out` has room for pikeStateCount() states.
int32_t pikeFollowStates(const int32_t* moved, int32_t count, bool startHere, int32_t* out,
                         int32_t* outCount);
