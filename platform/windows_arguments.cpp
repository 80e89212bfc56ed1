// The program's arguments on Windows.
//
// The program receives its arguments as they were typed. The MinGW runtime
// would otherwise expand "*" and "?" in them against the current directory
// before main runs, so that a tree search for *.txt would see only the plain
// names of this directory. The walker expands wildcards itself.
//
// main gets the command line converted to the ANSI code page, where a
// character the code page lacks has become "?" or a look-alike. The UTF-8
// mode needs what was typed: the runtime splits the Unicode command line once
// more, by the same routine that made argv, so both vectors hold the same
// arguments in the same places, and each argument is converted to UTF-8.
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32.h"

extern "C" {
// The runtime's switch of the expansion (its headers also spell it _CRT_glob).
int _dowildcard = 0;

// The runtime's splitter of the Unicode command line (the one a wmain
// program gets its arguments from); not declared by the public headers.
struct StartupInfo {
  int newMode;
};
int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                   StartupInfo* startupInfo);
}

namespace {

// The UTF-8 form of one argument in memory of its own; null on failure.
char* toUtf8(const wchar_t* argument) {
  int size = WideCharToMultiByte(CP_UTF8, 0, argument, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (text == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, argument, -1, text, size, nullptr, nullptr) != size) {
    std::free(text);
    return nullptr;
  }
  return text;
}

char** makeUtf8Arguments(int argc) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo startupInfo = {0};
  if (__wgetmainargs(&count, &wide, &environment, 0, &startupInfo) != 0 || wide == nullptr ||
      count != argc) {
    return nullptr;
  }
  char** vector = static_cast<char**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
  if (vector == nullptr) return nullptr;
  for (int i = 0; i < argc; ++i) {
    vector[i] = toUtf8(wide[i]);
    if (vector[i] == nullptr) return nullptr;
  }
  return vector;
}

}  // namespace

char** platformUtf8Arguments(int argc, char**) {
  static bool made = false;
  static char** vector = nullptr;
  if (!made) {
    made = true;
    vector = makeUtf8Arguments(argc);
  }
  return vector;
}
