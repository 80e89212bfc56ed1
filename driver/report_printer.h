// The report printer of the search driver: report lines, -V headings, -C
// summary lines and the line text they show. It only formats; the driver's
// match loop decides which matches are reported.
#pragma once

#include <cstdint>

#include "support/counted_string.h"

// Where one accepted match stands, as its report shows it.
struct MatchPosition {
  int64_t line;         // line number, or record number in record mode
  int64_t lineStart;    // file offset of the line's (record's) first byte
  int64_t reported;     // file offset shown: the match start, or the \c mark
  int64_t matchLength;  // bytes
  int64_t matchEnd;     // file offset just past the match
};

// Decides once per file specification whether every report line is flushed
// as it is written: only a console shows lines as they come.
void chooseReportFlushing();

// One report line for a match (the -V heading first when firstInFile), with
// the line text read from the text window, or from its stream outside it.
void printReportLine(const CountedString& displayName, bool firstInFile,
                     const MatchPosition& match);
// The -C summary line of a file: the first match's position and the count.
void printSummaryLine(const CountedString& displayName, const MatchPosition& first,
                      int64_t matchCount);
