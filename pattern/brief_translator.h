// BriefTranslator: a pattern in the Brief-like dialect 'B' -> the same pattern
// in dialect 'U'. See brief_translator.cpp.
#pragma once

#include <cstdint>

class BriefTranslator {
 public:
  // Translates text; *out and *outLength receive the 'U' text, which stays
  // valid until the next call. The same text in the same mode again gives
  // the kept result. 0, or -8 when memory runs out.
  int32_t translate(const uint8_t* text, int32_t length, int32_t encodingMode,
                    const uint8_t** out, int32_t* outLength);

  struct Node;

 private:
  bool translateTokens();
  bool translateToken();
  bool translateSetToken();
  bool translateBackslash(bool inSet);
  bool translateColon();
  bool closeGroup();
  bool closeSet();
  bool joinAlternative();
  bool pushText(uint8_t type, const char* text, int32_t length);
  bool pushNode(int32_t node);
  int32_t newNode(uint8_t type, const char* text, int32_t length);
  void adoptChildren(int32_t parent, int32_t firstFragment);
  bool writeOutput();
  int32_t tokenLength(int32_t position) const;
  int32_t at(int32_t position) const;

  // The text being translated.
  const uint8_t* input_ = nullptr;
  int32_t length_ = 0;
  int32_t position_ = 0;
  int32_t mode_ = 0;
  bool inSet_ = false;
  int32_t openGroups_ = 0;

  // Fragments are nodes: own text, children, then a closing text. The stack
  // holds the fragments not yet joined into another.
  char* text_ = nullptr;
  int32_t textLength_ = 0;
  int32_t textCapacity_ = 0;
  Node* nodes_ = nullptr;
  int32_t nodeCount_ = 0;
  int32_t nodeCapacity_ = 0;
  int32_t* stack_ = nullptr;
  int32_t stackCount_ = 0;
  int32_t stackCapacity_ = 0;
  int32_t* walk_ = nullptr;  // output traversal
  int32_t walkCapacity_ = 0;

  // The kept result.
  uint8_t* cachedInput_ = nullptr;
  int32_t cachedInputCapacity_ = 0;
  int32_t cachedLength_ = -1;
  int32_t cachedMode_ = -1;
  uint8_t* output_ = nullptr;
  int32_t outputLength_ = 0;
  int32_t outputCapacity_ = 0;
};

extern BriefTranslator briefTranslator;
