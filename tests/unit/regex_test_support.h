// Helpers of the regular-expression engine tests: programs assembled slot by
// slot with labelled branch targets, installed as the current compiled
// pattern for the length of a scope, and the driver's walk over a text
// (match_walk.h) in a string or in a temporary file. Header-only, as every
// *_test.cpp is its own executable.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/text_window.h"
#include "pattern/compiled_pattern.h"
#include "pattern/instruction.h"
#include "pattern/loop_pass.h"
#include "pattern/pike_vm.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"
#include "tests/unit/match_walk.h"
#include "tests/unit/test_support.h"

namespace regex_test {

// Compiles a pattern into the current compiled pattern, which is released
// first (with what searches kept of it); the status comes back.
inline int32_t compile(const std::string& pattern, int32_t syntax, int32_t ignoreCase = 0,
                       int32_t encodingMode = ENCODING_SINGLE_BYTE, int32_t recordLength = 0) {
  releaseCompiledPattern(&compiledPattern);
  return CompileRegex(test::bytes(pattern), static_cast<int32_t>(pattern.size()), ignoreCase,
                      syntax, recordLength, encodingMode);
}

// Builds a program; branch targets name labels, resolved relative to the
// slot that holds them.
class ProgramBuilder {
 public:
  ProgramBuilder& label(const std::string& name) {
    labels_[name] = static_cast<int32_t>(slots_.size());
    return *this;
  }
  ProgramBuilder& chr(uint32_t c, int32_t crossLines = 0) { return chr2(c, c, crossLines); }
  // The two accepted bytes; in UTF-8 mode op2 is the code point.
  ProgramBuilder& chr2(uint32_t a, uint32_t b, int32_t crossLines = 0) {
    Instruction& in = add(OP_CHAR);
    in.op1 = a;
    in.op2 = b;
    in.op4 = crossLines;
    return *this;
  }
  ProgramBuilder& text(const std::string& bytes) {
    for (unsigned char c : bytes) chr(c);
    return *this;
  }
  ProgramBuilder& any(int32_t crossLines = 0) {
    add(OP_ANY).op4 = crossLines;
    return *this;
  }
  // A byte-mode set of the listed bytes (3 slots).
  ProgramBuilder& set(const std::string& members, int32_t crossLines = 0) {
    add(OP_SET).op4 = crossLines;
    Instruction bitmap{};
    uint8_t* bits = reinterpret_cast<uint8_t*>(&bitmap);
    for (unsigned char c : members) bits[c >> 3] |= static_cast<uint8_t>(1u << (c & 7));
    slots_.push_back(bitmap);
    slots_.push_back(Instruction{});
    return *this;
  }
  // A UTF-8 set of code-point ranges, serialized after the slot.
  ProgramBuilder& setUtf8(const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                          int32_t crossLines = 0) {
    UnicodeSet* members = new UnicodeSet;
    unicodeSetInit(members);
    for (const auto& [first, last] : ranges) unicodeSetAddRange(members, first, last, false);
    const int32_t bytes = unicodeSetSerializedSize(members);
    const int32_t dataSlots = (bytes + 31) / 32;
    Instruction& in = add(OP_SET);
    in.op4 = crossLines;
    in.op7 = 1 + dataSlots;
    const size_t at = slots_.size();
    slots_.resize(at + dataSlots, Instruction{});
    unicodeSetSerialize(members, reinterpret_cast<uint8_t*>(&slots_[at]));
    unicodeSetFree(members);
    delete members;
    return *this;
  }
  // SPLIT: tries `next` first, `resume` when that fails.
  ProgramBuilder& split(const std::string& resume, const std::string& next) {
    add(OP_SPLIT);
    target(4, resume);
    return target(5, next);
  }
  // SPLIT_FIRST: tries `first` (op4) first, `resume` (op5) when that fails.
  ProgramBuilder& splitFirst(const std::string& first, const std::string& resume) {
    add(OP_SPLIT_FIRST);
    target(4, first);
    return target(5, resume);
  }
  // SPLIT_FIRST back to the last item added, else on to the next slot: the
  // item as often as it matches, the loop the loop pass turns into a scan.
  ProgramBuilder& plus() {
    const int32_t item = lastItem_;
    Instruction& in = add(OP_SPLIT_FIRST);
    in.op4 = item - lastItem_;
    in.op5 = 1;
    return *this;
  }
  ProgramBuilder& jump(const std::string& to) {
    add(OP_JUMP);
    return target(5, to);
  }
  ProgramBuilder& notAhead(const std::string& resume) {
    add(OP_NOT_AHEAD);
    return target(5, resume);
  }
  ProgramBuilder& op(uint8_t opcode, int32_t op4 = 0) {
    add(opcode).op4 = op4;
    return *this;
  }
  ProgramBuilder& match() { return op(OP_MATCH); }
  std::vector<Instruction> build() const {
    std::vector<Instruction> program = slots_;
    for (const Fixup& fixup : fixups_) {
      const auto found = labels_.find(fixup.label);
      EXPECT_NE(found, labels_.end()) << "no label " << fixup.label;
      if (found == labels_.end()) continue;
      const int32_t distance = found->second - fixup.slot;
      (fixup.field == 4 ? program[fixup.slot].op4 : program[fixup.slot].op5) = distance;
    }
    return program;
  }

 private:
  struct Fixup {
    int32_t slot;
    int32_t field;
    std::string label;
  };
  Instruction& add(uint8_t opcode) {
    lastItem_ = static_cast<int32_t>(slots_.size());
    Instruction in{};
    in.opcode = opcode;
    slots_.push_back(in);
    return slots_.back();
  }
  ProgramBuilder& target(int32_t field, const std::string& name) {
    fixups_.push_back({static_cast<int32_t>(slots_.size()) - 1, field, name});
    return *this;
  }
  std::vector<Instruction> slots_;
  std::map<std::string, int32_t> labels_;
  std::vector<Fixup> fixups_;
  int32_t lastItem_ = 0;
};

// Makes a program the current compiled pattern for the scope; the pattern in
// place before is put back at its end.
class InstalledProgram {
 public:
  explicit InstalledProgram(std::vector<Instruction> program, int32_t ignoreCase = 0,
                            bool loopPass = false, int32_t encodingMode = ENCODING_SINGLE_BYTE)
      : slots_(std::move(program)), saved_(compiledPattern) {
    if (loopPass) runLoopPass(slots_.data(), static_cast<int32_t>(slots_.size()) - 1, encodingMode);
    compiledPattern = CompiledPattern{};
    compiledPattern.program = slots_.data();
    compiledPattern.lastSlot = static_cast<int32_t>(slots_.size()) - 1;
    compiledPattern.capacity = compiledPattern.lastSlot + 1;
    compiledPattern.ignoreCase = ignoreCase;
    compiledPattern.encodingMode = encodingMode;
  }
  // Only the mark buffer is the pattern's own: the program and any
  // first-character table a test sets belong to the test.
  ~InstalledProgram() {
    compiledPattern.program = nullptr;
    compiledPattern.firstCharTable = nullptr;
    compiledPattern.firstCharSet = nullptr;
    releaseCompiledPattern(&compiledPattern);
    compiledPattern = saved_;
  }
  const std::vector<Instruction>& slots() const { return slots_; }
  InstalledProgram(const InstalledProgram&) = delete;
  InstalledProgram& operator=(const InstalledProgram&) = delete;

 private:
  std::vector<Instruction> slots_;
  CompiledPattern saved_;
};

// Runs every search of the scope on the given engine.
class EngineScope {
 public:
  explicit EngineScope(RegexEngine engine) : saved_(regexEngine()) { setRegexEngine(engine); }
  ~EngineScope() { setRegexEngine(saved_); }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

 private:
  RegexEngine saved_;
};

// Runs every search of the scope on the backtracking matcher: for tests of
// its own workings (its stack, one execution of a scan instruction), which
// the Pike VM, running the same programs, would answer for it.
class BacktrackerOnly : public EngineScope {
 public:
  BacktrackerOnly() : EngineScope(REGEX_ENGINE_BACKTRACK) {}
};

// A pattern compiled into the current compiled pattern for the scope; the
// pattern in place before is put back at its end.
class CompiledScope {
 public:
  CompiledScope(const std::string& pattern, int32_t syntax, int32_t ignoreCase = 0,
                int32_t encodingMode = ENCODING_SINGLE_BYTE)
      : saved_(takeCompiledPattern()) {
    status_ = CompileRegex(test::bytes(pattern), static_cast<int32_t>(pattern.size()), ignoreCase,
                           syntax, 0, encodingMode);
  }
  ~CompiledScope() {
    releaseCompiledPattern(&compiledPattern);
    compiledPattern = saved_;
  }
  int32_t status() const { return status_; }
  CompiledScope(const CompiledScope&) = delete;
  CompiledScope& operator=(const CompiledScope&) = delete;

 private:
  CompiledPattern saved_;
  int32_t status_;
};

using match_walk::Match;

// Every match of the current pattern in a string (see match_walk.h).
inline std::vector<Match> findAllInMemory(const std::string& text,
                                          int32_t charMode = ENCODING_SINGLE_BYTE) {
  return match_walk::findAllInMemory(test::bytes(text), static_cast<int32_t>(text.size()),
                                     charMode);
}

// Walks the matches of the current pattern over a file holding `content`, as
// match_walk::walkFile does. Returns the search's last status.
inline int32_t walkMatchesInFile(const std::string& content, int32_t recordLength, int32_t charMode,
                                 const std::function<void()>& adjust,
                                 const std::function<int64_t(int64_t)>& take) {
  const test::TempFile file(content);
  return match_walk::walkFile(file.name(), recordLength, charMode, adjust, take);
}

// The matches a file holding the text has, from those in memory: the
// driver's walk ends when it moves to the end of a file, so an empty match
// there is found only by a search that starts there; an empty file holds no
// line, where anything could match.
inline std::vector<Match> inFileOf(std::vector<Match> inMemory, const std::string& text) {
  if (text.empty()) return {};
  if (inMemory.size() > 1 && inMemory.back().start == static_cast<int64_t>(text.size())) {
    inMemory.pop_back();
  }
  return inMemory;
}

// Every match over a file holding `content`, moving on by each match's length
// (1 when empty).
inline std::vector<Match> findAllInFile(const std::string& content, int32_t recordLength = 0,
                                        int32_t charMode = ENCODING_SINGLE_BYTE,
                                        int32_t* lastStatus = nullptr,
                                        const std::function<void()>& adjust = nullptr) {
  const test::TempFile file(content);
  int32_t status = 0;
  std::vector<Match> found =
      match_walk::findAllInFile(file.name(), recordLength, charMode, &status, adjust);
  if (lastStatus != nullptr) *lastStatus = status;
  return found;
}

}  // namespace regex_test
