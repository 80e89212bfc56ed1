// The lazy DFA: a line filter over the Pike VM's states, and anchored runs
// that find the match at one start. See lazy_dfa.cpp.
#pragma once

#include <cstdint>

// Where the filter runs.
enum LazyDfaUse : int32_t {
  LAZY_DFA_AUTO = 0,    // on the programs the Pike VM takes in its automatic choice
  LAZY_DFA_OFF = 1,     // nowhere
  LAZY_DFA_ALWAYS = 2,  // on every program it can run
};
void setLazyDfaUse(LazyDfaUse use);
LazyDfaUse lazyDfaUse();

// Whether the filter runs on the current compiled program over the current
// text source: a file, and a program the Pike VM can run in its text
// whose matches take at least one byte and, in lines, stay on their line, or
// in records, hold no line test.
bool lazyDfaTakesProgram();
// How many lines the filter has given up on for the current program: its
// answer above can change only when this count does.
int32_t lazyDfaLinesGivenUp();

// A search's hold on the description of the current program, which cannot
// change while the search runs: the program is compared with the one
// described when the hold begins and not again at each question until it is
// released. The number returned changes whenever the description does (a
// new program, text mode or letter-case setting), so that a caller can keep
// what it derives from the program under it.
uint32_t holdProgramDescription();
void releaseProgramDescription();
// The number of the hold in force, 0 when none is: what an engine has found
// about the program under a hold stays true until the hold ends.
uint32_t programHoldNumber();

// The most bytes a match of the current compiled program takes, in the
// current source's text, before its required literal (one of the set)
// begins; -1 when that is unbounded or not known (a program the filter cannot
// analyse).
int64_t bytesBeforeRequiredLiteral();

enum LazyDfaVerdict : int32_t {
  DFA_NO_MATCH = 0,  // no match starts in the rest of the line; the pointer is at the next line
  DFA_TEXT_END = 1,  // no match starts in the rest of the text
  DFA_MATCH = 2,     // a match starts in the line, at the pointer or after it
  DFA_UNKNOWN = 3,   // the filter gave up on the line; the pointer stands where it stood
};

// Decides whether a match starts in the line of the matcher's pointer, from
// the pointer on (in records: in the rest of the text), reading the text
// through the matcher's window and the text source. `mayStartAt` tells
// whether a match may start at the pointer (the search's own rule for
// positions off a line). On DFA_MATCH the pointer is moved to the first
// position where the leftmost match may start (the match is no longer than
// the program allows, no match ends before the first one seen, and none
// starts before a position where every thread started earlier had died), and
// *firstEnd is the distance from there to the end of the first match seen,
// beyond which a candidate needs another scan. Where memory runs short the
// filter gives up on the line (DFA_UNKNOWN). `lastStart`, when given, is a
// position of the window after which no match can start (the line holds the
// required literal no further on): once every thread started before a
// position beyond it has died, the rest of the line is passed.
int32_t scanLineWithDfa(bool (*mayStartAt)(), int64_t* firstEnd,
                        const uint8_t* lastStart = nullptr);

// A line read by skimLineWithDfa: where it holds a match, the first match
// seen ends at `end`, and the leftmost starts no earlier than `from`.
struct SkimmedMatch {
  const uint8_t* from;
  const uint8_t* end;
};

// The scan's verdict on [from, lineFeed), bytes of the data in memory that
// end a line at the line feed `lineFeed`, from the kept steps of the table
// alone, without moving the pointer and without a step the VM's way: no
// match starts there (DFA_NO_MATCH), or one does (DFA_MATCH, with *match as
// the scan would tell it), or the table cannot tell (DFA_UNKNOWN: a step
// not kept, a lead byte in UTF-8 text, a program with line tests, records,
// double-byte text, a cache of another program), and the line is searched
// as usual. No match starts after `lastStart` (before lineFeed): past it
// the steps end at the first fresh one. The search's gate passes with it
// the lines that hold the required literal but no match without moving the
// window to each.
int32_t skimLineWithDfa(const uint8_t* from, const uint8_t* lineFeed, const uint8_t* lastStart,
                        SkimmedMatch* match);

// The cache's size in bytes, how often it was cleared and how many lines the
// filter passed as holding no match: for tests. A budget of 0 restores the
// default.
void setLazyDfaBudget(int32_t bytes);
int64_t lazyDfaClears();
int64_t lazyDfaLinesPassed();

// Whether matchAtWithDfa runs the current program over the current text
// source: a file read by lines, a program the filter takes in lines that
// records no cursor mark, in text that is not double-byte.
bool lazyDfaRunsAnchored();

enum AnchoredAnswer : int32_t {
  ANCHORED_NO_MATCH = 0,  // no match starts at the pointer
  ANCHORED_MATCH = 1,     // the match at the pointer takes *length bytes
  // A match starts at the pointer, and the program records group bounds,
  // which the backtracker is to record there.
  ANCHORED_MATCH_TO_RECORD = 2,
  ANCHORED_UNKNOWN = -1,  // the run gave up; the exact engine must decide
};

// The match that the backtracker finds at the pointer, found by the
// filter's states followed from a thread started there alone (see "Anchored
// runs" in lazy_dfa.cpp). The pointer stays where it is; *bytesRead tells
// how far the run read from it.
int32_t matchAtWithDfa(int64_t* length, int64_t* bytesRead);

// How many anchored runs answered (a match or none): for tests.
int64_t lazyDfaAnchoredAnswers();
