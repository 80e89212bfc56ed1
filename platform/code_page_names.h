// The code page a locale name stands for, shared by both systems'
// platformCodePageOfLocaleName.
//
// The codeset is the text after the first "." and before "@" ("ja_JP.SJIS",
// "de_DE.ISO-8859-15@euro"); it is compared without regard to case and with
// "-" and "_" left out, so "Shift_JIS", "shift-jis" and "SHIFTJIS" are one
// name. Names without a codeset, and codesets not in the table, stand for
// PLATFORM_CODE_PAGE_ASCII.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace code_page_names {

struct CodesetName {
  const char* name;  // upper case, without "-" and "_"
  uint32_t codePage;
};

inline constexpr CodesetName CODESET_NAMES[] = {
    {"SJIS", 932},        {"SHIFTJIS", 932},    {"CP932", 932},       {"WINDOWS31J", 932},
    {"GBK", 936},         {"GB2312", 936},      {"EUCCN", 936},       {"CP936", 936},
    {"EUCKR", 949},       {"UHC", 949},         {"CP949", 949},       {"BIG5", 950},
    {"CP950", 950},       {"UTF8", 65001},      {"ISO88591", 28591},  {"ISO885915", 28605},
    {"CP1252", 1252},     {"WINDOWS1252", 1252},
};

inline uint32_t codePageOfLocaleName(const char* localeName) {
  if (localeName == nullptr) {
    return PLATFORM_CODE_PAGE_ASCII;
  }
  const char* codeset = localeName;
  while (*codeset != '\0' && *codeset != '.') {
    ++codeset;
  }
  if (*codeset != '.') {
    return PLATFORM_CODE_PAGE_ASCII;
  }
  ++codeset;
  char folded[32];
  unsigned length = 0;
  for (const char* c = codeset; *c != '\0' && *c != '@'; ++c) {
    if (*c == '-' || *c == '_') {
      continue;
    }
    if (length + 1 >= sizeof folded) {
      return PLATFORM_CODE_PAGE_ASCII;
    }
    char upper = *c;
    if (upper >= 'a' && upper <= 'z') {
      upper = static_cast<char>(upper - 'a' + 'A');
    }
    folded[length++] = upper;
  }
  folded[length] = '\0';
  for (const CodesetName& entry : CODESET_NAMES) {
    const char* a = entry.name;
    const char* b = folded;
    while (*a != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*a == '\0' && *b == '\0') {
      return entry.codePage;
    }
  }
  return PLATFORM_CODE_PAGE_ASCII;
}

}  // namespace code_page_names
