// Helpers shared by the fuzzing harnesses: a scratch directory removed at
// exit, whole files written as bytes, the character modes the pattern engine
// runs in, and a check that aborts with a message so that libFuzzer keeps the
// input. Header-only: every harness is its own program.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/text_encoding.h"

// Undefined behaviour ends the run like an address error does, so that the
// input is kept.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace fuzz {

[[noreturn]] inline void fail(const char* what, long long a, long long b) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

#define FUZZ_CHECK(condition, a, b) \
  do {                              \
    if (!(condition)) ::fuzz::fail(#condition, (a), (b)); \
  } while (0)

// A directory of its own under the system's temporary directory, removed with
// everything in it when the process ends normally.
inline const std::string& scratchDirectory(const char* tag) {
  static std::string path;
  if (path.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / tag).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    });
  }
  return path;
}

inline void writeFile(const std::string& name, const void* data, size_t size) {
  FILE* out = std::fopen(name.c_str(), "wb");
  if (out == nullptr || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) {
    std::perror(name.c_str());
    std::abort();
  }
}

// The three character modes as the program sets them up: single bytes under
// a Western code page, double bytes under code page 932, UTF-8. Switching
// rebuilds the case and lead-byte tables, so it happens only on a change.
inline void useCharacterMode(int32_t mode) {
  static int32_t current = -1;
  if (mode == current) return;
  current = mode;
  platformSetCodePage(mode == ENCODING_DOUBLE_BYTE ? 932 : 1252);
  initCaseTables();
  initDbcs();
  utf8Mode = mode == ENCODING_UTF8 ? 1 : 0;
}

// Whether the bytes are well-formed UTF-8.
inline bool validUtf8(const uint8_t* text, size_t length) {
  const uint8_t* end = text + length;
  while (text < end) {
    uint32_t codePoint = 0;
    const uint8_t* next = nextUtf8Character(text, end, &codePoint);
    if (next <= text || codePoint == INVALID_CODE_POINT) return false;
    text = next;
  }
  return true;
}

}  // namespace fuzz
