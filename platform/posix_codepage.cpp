// The emulated active code page: which one it is, its lead bytes, its case
// rules, and the locale compare reached through the kernel32.dll look-up.
//
// Windows follows its system code page; here the locale does: the codeset of
// the first non-empty of LC_ALL, LC_CTYPE and LANG names the code page (see
// code_page_names.h), decided once at first use. Double-byte code pages (932,
// 936, 949, 950) report their lead-byte ranges and fold only single-byte
// ASCII letters, never touching a lead byte or the byte after it. The Latin
// code pages (28591, 28605, 1252) fold the Latin-1 letters and the extra
// letters each of them has. UTF-8 (65001) and the ASCII code page (the
// locales C and POSIX, no locale, or an unknown codeset) fold ASCII letters
// only. CompareStringA compares bytes after that folding; there is no
// collation table behind it.
#include "platform/posix_internal.h"

#include <cstdlib>
#include <cstring>

#include "platform/code_page_names.h"
#include "platform/platform.h"
#include "platform/win32.h"

namespace {

struct CodePageState {
  bool ready = false;
  uint32_t codePage = PLATFORM_CODE_PAGE_ASCII;
  bool doubleByte = false;
  bool lead[256] = {};
  uint8_t upper[256] = {};
  uint8_t lower[256] = {};
};

CodePageState state;

// Lower-case / upper-case pairs beyond ASCII.
struct CasePair {
  uint8_t lower;
  uint8_t upper;
};
constexpr CasePair WINDOWS_1252_EXTRA[] = {{0x9A, 0x8A}, {0x9C, 0x8C}, {0x9E, 0x8E}, {0xFF, 0x9F}};
constexpr CasePair ISO_8859_15_EXTRA[] = {{0xA8, 0xA6}, {0xB8, 0xB4}, {0xBD, 0xBC}, {0xFF, 0xBE}};

void addPair(uint8_t lowerByte, uint8_t upperByte) {
  state.upper[lowerByte] = upperByte;
  state.lower[upperByte] = lowerByte;
}

void setLeadRange(unsigned first, unsigned last) {
  for (unsigned b = first; b <= last; ++b) {
    state.lead[b] = true;
  }
}

void buildCodePage(uint32_t codePage) {
  switch (codePage) {
    case 932:
    case 936:
    case 949:
    case 950:
    case 65001:
    case 28591:
    case 28605:
    case 1252:
      break;
    default:
      codePage = PLATFORM_CODE_PAGE_ASCII;
      break;
  }
  state.codePage = codePage;
  state.doubleByte = codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
  for (unsigned b = 0; b < 256; ++b) {
    state.lead[b] = false;
    state.upper[b] = static_cast<uint8_t>(b);
    state.lower[b] = static_cast<uint8_t>(b);
  }
  for (unsigned b = 'a'; b <= 'z'; ++b) {
    addPair(static_cast<uint8_t>(b), static_cast<uint8_t>(b - 'a' + 'A'));
  }
  if (codePage == 932) {
    setLeadRange(0x81, 0x9F);
    setLeadRange(0xE0, 0xFC);
  } else if (state.doubleByte) {
    setLeadRange(0x81, 0xFE);
  }
  if (codePage == 28591 || codePage == 28605 || codePage == 1252) {
    for (unsigned b = 0xE0; b <= 0xFE; ++b) {
      if (b != 0xF7) {
        addPair(static_cast<uint8_t>(b), static_cast<uint8_t>(b - 0x20));
      }
    }
  }
  if (codePage == 1252) {
    for (const CasePair& pair : WINDOWS_1252_EXTRA) {
      addPair(pair.lower, pair.upper);
    }
  } else if (codePage == 28605) {
    for (const CasePair& pair : ISO_8859_15_EXTRA) {
      addPair(pair.lower, pair.upper);
    }
  }
  state.ready = true;
}

const char* localeOfEnvironment() {
  static const char* const VARIABLES[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* variable : VARIABLES) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] != '\0') {
      return value;
    }
  }
  return nullptr;
}

const CodePageState& codePage() {
  if (!state.ready) {
    buildCodePage(code_page_names::codePageOfLocaleName(localeOfEnvironment()));
  }
  return state;
}

// Applies a case table to length bytes, stepping over double-byte characters
// whole.
DWORD foldBytes(char* text, DWORD length, const uint8_t* table) {
  if (text == nullptr) {
    return 0;
  }
  const CodePageState& page = codePage();
  for (DWORD i = 0; i < length; ++i) {
    uint8_t byte = static_cast<uint8_t>(text[i]);
    if (page.doubleByte && page.lead[byte]) {
      ++i;  // the trail byte is part of the character
      continue;
    }
    text[i] = static_cast<char>(table[byte]);
  }
  return length;
}

// Walks one side of a comparison, folding bytes as CharUpperBuffA would.
struct FoldingCursor {
  const uint8_t* text;
  int length;
  int position = 0;
  bool inTrail = false;

  bool atEnd() const { return position >= length; }
  uint8_t take(bool ignoreCase) {
    uint8_t byte = text[position++];
    if (inTrail) {
      inTrail = false;
      return byte;
    }
    if (isLeadByteOfCodePage(byte)) {
      inTrail = true;
      return byte;
    }
    return ignoreCase ? upperByteOfCodePage(byte) : byte;
  }
};

int kernelModuleTag;

}  // namespace

uint32_t platformCodePageOfLocaleName(const char* localeName) {
  return code_page_names::codePageOfLocaleName(localeName);
}

void platformSetCodePage(uint32_t codePageNumber) {
  buildCodePage(codePageNumber);
}

bool codePageIsDoubleByte() {
  return codePage().doubleByte;
}

bool isLeadByteOfCodePage(uint8_t byte) {
  const CodePageState& page = codePage();
  return page.doubleByte && page.lead[byte];
}

uint8_t upperByteOfCodePage(uint8_t byte) {
  return codePage().upper[byte];
}

uint32_t activeCodePage() {
  return codePage().codePage;
}

int GetSystemMetrics(int index) {
  if (index == SM_DBCSENABLED) {
    return codePage().doubleByte ? 1 : 0;
  }
  return 0;
}

BOOL IsDBCSLeadByte(BYTE byte) {
  return isLeadByteOfCodePage(byte) ? TRUE : FALSE;
}

UINT GetACP() {
  return codePage().codePage;
}

DWORD CharUpperBuffA(LPSTR text, DWORD length) {
  return foldBytes(text, length, codePage().upper);
}

DWORD CharLowerBuffA(LPSTR text, DWORD length) {
  return foldBytes(text, length, codePage().lower);
}

int CompareStringA(LCID, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB) {
  if (a == nullptr || b == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lengthA < 0) {
    lengthA = static_cast<int>(std::strlen(a));
  }
  if (lengthB < 0) {
    lengthB = static_cast<int>(std::strlen(b));
  }
  bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
  FoldingCursor left{reinterpret_cast<const uint8_t*>(a), lengthA};
  FoldingCursor right{reinterpret_cast<const uint8_t*>(b), lengthB};
  while (!left.atEnd() && !right.atEnd()) {
    uint8_t x = left.take(ignoreCase);
    uint8_t y = right.take(ignoreCase);
    if (x != y) {
      return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
  }
  if (left.atEnd() && right.atEnd()) {
    return CSTR_EQUAL;
  }
  return left.atEnd() ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  static const char SYSTEM_DIRECTORY[] = "/lib";
  const UINT length = sizeof SYSTEM_DIRECTORY - 1;
  if (buffer == nullptr || size <= length) {
    return length + 1;
  }
  std::memcpy(buffer, SYSTEM_DIRECTORY, length + 1);
  return length;
}

HMODULE LoadLibraryA(LPCSTR name) {
  static const char KERNEL[] = "kernel32.dll";
  const size_t kernelLength = sizeof KERNEL - 1;
  size_t length = name == nullptr ? 0 : std::strlen(name);
  if (length >= kernelLength) {
    const char* tail = name + length - kernelLength;
    bool same = true;
    for (size_t i = 0; i < kernelLength && same; ++i) {
      char c = tail[i];
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
      same = c == KERNEL[i];
    }
    if (same) {
      return &kernelModuleTag;
    }
  }
  SetLastError(126);  // ERROR_MOD_NOT_FOUND
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module == &kernelModuleTag && name != nullptr && std::strcmp(name, "CompareStringA") == 0) {
    return reinterpret_cast<FARPROC>(&CompareStringA);
  }
  SetLastError(127);  // ERROR_PROC_NOT_FOUND
  return nullptr;
}
