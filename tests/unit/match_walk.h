// The walk the search driver makes over a text, shared by the unit tests and
// the fuzzing harnesses: every match of the current compiled pattern, each
// search starting past the previous match (one byte on after an empty match),
// in a block of memory or in a file through the text window. Header-only and
// free of the test framework, so that a harness can use it as it stands.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "console/stream.h"
#include "driver/text_window.h"
#include "pattern/compiled_pattern.h"
#include "pattern/text_source.h"

namespace match_walk {

struct Match {
  int64_t start;  // 0-based
  int32_t length;
  bool operator==(const Match& other) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Match& match) {
  return out << "{" << match.start << ", " << match.length << "}";
}

// The step past an empty match at a 0-based offset: one byte, or with
// `wholeCharacters` in UTF-8 text a lead byte and its continuation bytes, as
// the driver steps.
inline int32_t emptyStep(const uint8_t* text, int64_t length, int64_t at, int32_t charMode,
                         bool wholeCharacters) {
  int32_t step = 1;
  if (!wholeCharacters || charMode != ENCODING_UTF8) return 1;
  while (at + step < length && (text[at + step] & 0xC0) == 0x80) ++step;
  return step;
}

inline std::vector<Match> findAllInMemory(const uint8_t* text, int32_t length, int32_t charMode,
                                          bool wholeCharacters = false) {
  std::vector<Match> found;
  for (int32_t start = 1; start <= length + 1;) {
    const int32_t at = FindRegexInMemory(start, nullptr, 0, text, length, charMode);
    if (at == 0) break;
    const int32_t matched = compiledPattern.matchLength;
    found.push_back({at - 1, matched});
    start = at + (matched > 0 ? matched : emptyStep(text, length, at - 1, charMode, wholeCharacters));
  }
  return found;
}

// Walks the matches over the named file: `take` gets each match's file offset
// and answers how far to move on (0 ends the walk). `adjust` may change the
// text source once the window is open; `search` runs in place of the regex
// search (the literal search, say). Returns the search's last status, or the
// status of an open that failed.
inline int32_t walkFile(const std::string& name, int32_t recordLength, int32_t charMode,
                        const std::function<void()>& adjust,
                        const std::function<int64_t(int64_t)>& take,
                        const std::function<int32_t()>& search = nullptr) {
  int32_t status = 0;
  Stream* stream = openStream(name.c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  if (stream == nullptr) return status;
  openTextWindow(stream, recordLength, 0, charMode);
  if (adjust) adjust();
  for (;;) {
    status = search ? search() : SearchRegex(nullptr, 0);
    if (status != 0) break;
    const int64_t step = take(cursorOffset());
    if (step <= 0 || textSource.AdvanceTo(textWindow.cursor + step) != 0) break;
  }
  closeStream(stream);
  return status;
}

// Every match over the named file, moving on by each match's length (1 when
// empty); `lastStatus` receives the walk's last status.
inline std::vector<Match> findAllInFile(const std::string& name, int32_t recordLength,
                                        int32_t charMode, int32_t* lastStatus,
                                        const std::function<void()>& adjust = nullptr) {
  std::vector<Match> found;
  *lastStatus = walkFile(name, recordLength, charMode, adjust, [&found](int64_t offset) {
    const int32_t length = compiledPattern.matchLength;
    found.push_back({offset, length});
    return static_cast<int64_t>(length > 0 ? length : 1);
  });
  return found;
}

}  // namespace match_walk
