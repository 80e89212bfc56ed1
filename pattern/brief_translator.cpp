// Brief-like dialect 'B' -> dialect 'U', text to text.
//
// The pattern is read as tokens (a double-byte character or a UTF-8 sequence
// is one token), and each token becomes a fragment of 'U' text on a stack.
// Fragments are nodes of a small tree: a node's own text, its children, then
// its closing text. '}' and ']' make the fragments back to their opening
// '{' or '[' the children of that opener; an ordinary fragment pushed right
// after a '|' makes the fragment before the '|', the '|' and itself the
// children of a new "(?:" ... ")" node. Joining only links nodes, so a long
// or deeply joined pattern costs time in proportion to its length, and the
// tree is written out once at the end. The last input and its translation are
// kept and handed out again for the same input.
//
// A digit that follows a translated back-reference or an explicit group number
// would be read by the 'U' parser as part of that number, so an empty comment
// "(?#)" separates them. Tested by brief_translator_test.cpp.
#include "pattern/brief_translator.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

BriefTranslator briefTranslator;

struct BriefTranslator::Node {
  int32_t textStart;
  int32_t textLength;
  int32_t suffixStart;
  int32_t suffixLength;
  int32_t firstChild;
  int32_t lastChild;
  int32_t nextSibling;
  uint8_t type;
  bool alternation;  // made by a '|': "(?:" X "|" Y ")"
};

namespace {

// Fragment types.
constexpr uint8_t BRIEF_PLAIN = 0;       // ordinary text, joined with a preceding '|'
constexpr uint8_t BRIEF_FIXED = 1;       // a backslash sequence or '@': never joined so
constexpr uint8_t BRIEF_GROUP_OPEN = 2;  // "(" of a '{' not yet closed
constexpr uint8_t BRIEF_SET_OPEN = 3;    // "[" of a set not yet closed
constexpr uint8_t BRIEF_BAR = 4;         // "|"

constexpr int32_t PROPERTY_COPY_LIMIT = 1022;
constexpr int32_t NO_NODE = -1;
const char* const COMMENT_SEPARATOR = "(?#)";

template <typename T>
bool growArray(T** array, int32_t* capacity, int64_t needed) {
  if (needed <= *capacity) return true;
  int64_t size = *capacity > 0 ? *capacity : 64;
  while (size < needed) size *= 2;
  const int64_t bytes = size * static_cast<int64_t>(sizeof(T));
  if (bytes > 0x7FFFFFFF) return false;
  void* grown = memRealloc(*array, static_cast<uint32_t>(bytes));
  if (grown == nullptr) return false;
  *array = static_cast<T*>(grown);
  *capacity = static_cast<int32_t>(size);
  return true;
}

bool isDigitByte(int32_t c) { return c >= '0' && c <= '9'; }

bool isHexByte(int32_t c) {
  return isDigitByte(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isClassLetter(int32_t c) {
  const int32_t lower = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  return lower != 0 && std::strchr("abcdfhinpqvw", lower) != nullptr;
}

// Characters that are syntax in dialect 'U'.
bool isUnixSyntax(int32_t c) { return c != 0 && std::strchr(".^$()[]{}|*+?\\", c) != nullptr; }

}  // namespace

int32_t BriefTranslator::at(int32_t position) const {
  return position < length_ ? input_[position] : -1;
}

int32_t BriefTranslator::tokenLength(int32_t position) const {
  const uint8_t byte = input_[position];
  if (mode_ == ENCODING_DOUBLE_BYTE && leadByteTable[byte] != 0 && position + 1 < length_) {
    return 2;
  }
  if (mode_ == ENCODING_UTF8 && byte >= 0xC0 && byte < 0xFE) {
    const int32_t length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : byte < 0xF8 ? 4 : byte < 0xFC ? 5 : 6;
    return length <= length_ - position ? length : 1;
  }
  return 1;
}

int32_t BriefTranslator::newNode(uint8_t type, const char* text, int32_t length) {
  if (!growArray(&nodes_, &nodeCapacity_, static_cast<int64_t>(nodeCount_) + 1) ||
      !growArray(&text_, &textCapacity_, static_cast<int64_t>(textLength_) + length)) {
    return NO_NODE;
  }
  Node& node = nodes_[nodeCount_];
  node = Node{textLength_, length, 0, 0, NO_NODE, NO_NODE, NO_NODE, type, false};
  if (length > 0) std::memcpy(text_ + textLength_, text, static_cast<size_t>(length));
  textLength_ += length;
  return nodeCount_++;
}

bool BriefTranslator::pushNode(int32_t node) {
  if (node == NO_NODE) return false;
  if (!growArray(&stack_, &stackCapacity_, static_cast<int64_t>(stackCount_) + 1)) return false;
  stack_[stackCount_++] = node;
  return true;
}

bool BriefTranslator::pushText(uint8_t type, const char* text, int32_t length) {
  if (!pushNode(newNode(type, text, length))) return false;
  return type != BRIEF_PLAIN || joinAlternative();
}

// The fragments from stack index firstFragment up become the children of
// parent, in order, and leave the stack.
void BriefTranslator::adoptChildren(int32_t parent, int32_t firstFragment) {
  for (int32_t k = firstFragment; k < stackCount_; ++k) {
    const int32_t child = stack_[k];
    if (nodes_[parent].lastChild == NO_NODE) {
      nodes_[parent].firstChild = child;
    } else {
      nodes_[nodes_[parent].lastChild].nextSibling = child;
    }
    nodes_[parent].lastChild = child;
  }
  stackCount_ = firstFragment;
}

// An ordinary fragment right after a '|': the fragment before the '|', the
// '|' and this one become "(?:" previous "|" next ")".
bool BriefTranslator::joinAlternative() {
  if (stackCount_ < 2 || nodes_[stack_[stackCount_ - 2]].type != BRIEF_BAR) return true;
  int32_t first = stackCount_ - 2;
  if (first > 0) {
    const uint8_t type = nodes_[stack_[first - 1]].type;
    if (type == BRIEF_PLAIN || type == BRIEF_FIXED) --first;
  }
  const int32_t joined = newNode(BRIEF_PLAIN, "(?:", 3);
  const int32_t suffix = newNode(BRIEF_PLAIN, ")", 1);  // text only; the node stays unused
  if (joined == NO_NODE || suffix == NO_NODE) return false;
  nodes_[joined].suffixStart = nodes_[suffix].textStart;
  nodes_[joined].suffixLength = 1;
  nodes_[joined].alternation = true;
  adoptChildren(joined, first);
  return pushNode(joined);
}

bool BriefTranslator::closeGroup() {
  if (openGroups_ == 0) return pushText(BRIEF_PLAIN, "}", 1);
  int32_t open = stackCount_ - 1;
  while (nodes_[stack_[open]].type != BRIEF_GROUP_OPEN) --open;
  const int32_t group = stack_[open];
  // "((?:" X "))" becomes "(" X ")".
  if (stackCount_ - open == 2 && nodes_[stack_[open + 1]].alternation) {
    nodes_[stack_[open + 1]].textLength = 0;
    nodes_[stack_[open + 1]].suffixLength = 0;
  }
  const int32_t suffix = newNode(BRIEF_PLAIN, ")", 1);
  if (suffix == NO_NODE) return false;
  nodes_[group].suffixStart = nodes_[suffix].textStart;
  nodes_[group].suffixLength = 1;
  nodes_[group].type = BRIEF_PLAIN;
  adoptChildren(group, open + 1);
  --openGroups_;
  return joinAlternative();
}

bool BriefTranslator::closeSet() {
  int32_t open = stackCount_ - 1;
  while (nodes_[stack_[open]].type != BRIEF_SET_OPEN) --open;
  const int32_t set = stack_[open];
  const int32_t suffix = newNode(BRIEF_PLAIN, "]", 1);
  if (suffix == NO_NODE) return false;
  nodes_[set].suffixStart = nodes_[suffix].textStart;
  nodes_[set].suffixLength = 1;
  nodes_[set].type = BRIEF_PLAIN;
  adoptChildren(set, open + 1);
  inSet_ = false;
  return joinAlternative();
}

// "\:" and what follows it, outside a set; position_ is on the backslash.
bool BriefTranslator::translateColon() {
  int32_t p = position_ + 2;
  const int32_t c = at(p);
  if (c < 0) {
    position_ = p;
    return pushText(BRIEF_FIXED, ":", 1);
  }
  if (isClassLetter(c)) {
    const char text[3] = {'\\', ':', static_cast<char>(c)};
    position_ = p + 1;
    return pushText(BRIEF_FIXED, text, 3);
  }
  if (c == '*' || c == '+' || c == '@') {
    position_ = p + 1;
    if (c == '*') return pushText(BRIEF_FIXED, ".*", 2);
    return pushText(BRIEF_FIXED, c == '+' ? "+" : "*", 1);
  }
  if (isDigitByte(c) || (c == ',' && isDigitByte(at(p + 1)))) {
    // A count: every digit is copied, however many.
    const int32_t node = newNode(BRIEF_FIXED, "{", 1);
    if (node == NO_NODE) return false;
    const int32_t start = p;
    while (isDigitByte(at(p))) ++p;
    if (at(p) == ',') {
      ++p;
      while (isDigitByte(at(p))) ++p;
    }
    const bool minimal = at(p) == '?';
    const int32_t length = p - start;
    if (!growArray(&text_, &textCapacity_, static_cast<int64_t>(textLength_) + length + 2)) {
      return false;
    }
    std::memcpy(text_ + textLength_, input_ + start, static_cast<size_t>(length));
    textLength_ += length;
    text_[textLength_++] = '}';
    if (minimal) {
      text_[textLength_++] = '?';
      ++p;
    }
    nodes_[node].textLength = textLength_ - nodes_[node].textStart;
    position_ = p;
    return pushNode(node);
  }
  // ':' and that character, which stays an ordinary character in 'U'.
  const int32_t length = tokenLength(p);
  char text[8] = {':'};
  int32_t written = 1;
  if (length == 1 && isUnixSyntax(c)) text[written++] = '\\';
  std::memcpy(text + written, input_ + p, static_cast<size_t>(length));
  written += length;
  position_ = p + length;
  return pushText(BRIEF_FIXED, text, written);
}

// A backslash sequence; position_ is on the backslash.
bool BriefTranslator::translateBackslash(bool inSet) {
  const int32_t p = position_ + 1;
  if (p >= length_) {
    // A backslash that ends the pattern stands for itself.
    position_ = p;
    return pushText(BRIEF_FIXED, "\\\\", 2);
  }
  const int32_t c = input_[p];
  const int32_t length = tokenLength(p);
  const int32_t lower = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  char text[16];
  if (length > 1) {
    text[0] = '\\';
    std::memcpy(text + 1, input_ + p, static_cast<size_t>(length));
    position_ = p + length;
    return pushText(BRIEF_FIXED, text, length + 1);
  }
  if (isDigitByte(c)) {
    // Brief counts groups from 0, 'U' from 1 (and \0 is the tenth).
    position_ = p + 1;
    if (inSet) return pushText(BRIEF_PLAIN, reinterpret_cast<const char*>(input_ + p), 1);
    text[0] = '\\';
    text[1] = static_cast<char>('0' + (c - '0' + 1) % 10);
    int32_t written = 2;
    if (isDigitByte(at(position_))) {
      std::memcpy(text + written, COMMENT_SEPARATOR, 4);
      written += 4;
    }
    return pushText(BRIEF_FIXED, text, written);
  }
  switch (lower) {
    case 'd': {
      int32_t digits = 0;
      while (digits < 3 && isDigitByte(at(p + 1 + digits))) ++digits;
      position_ = p + 1 + digits;
      if (digits == 0) return pushText(BRIEF_FIXED, reinterpret_cast<const char*>(input_ + p), 1);
      text[0] = '\\';
      std::memcpy(text + 1, input_ + p, static_cast<size_t>(digits) + 1);
      return pushText(BRIEF_FIXED, text, digits + 2);
    }
    case 'p': {
      // Copied unchanged up to its '}' (at most PROPERTY_COPY_LIMIT bytes).
      int32_t end = p + 1;
      while (end < length_ && end - position_ < PROPERTY_COPY_LIMIT) {
        const int32_t step = tokenLength(end);
        const bool closing = input_[end] == '}';
        end += step;
        if (closing) break;
      }
      const int32_t start = position_;
      position_ = end;
      return pushText(BRIEF_FIXED, reinterpret_cast<const char*>(input_ + start), end - start);
    }
    case 'x': {
      int32_t end = p + 1;
      if (at(end) == '{') {
        ++end;
        while (isHexByte(at(end))) ++end;
        if (at(end) == '}') ++end;
      } else {
        while (end < p + 3 && isHexByte(at(end))) ++end;
      }
      const int32_t start = position_;
      position_ = end;
      return pushText(BRIEF_FIXED, reinterpret_cast<const char*>(input_ + start), end - start);
    }
    case '(':
      position_ = p + 1;
      return inSet ? pushText(BRIEF_FIXED, "\\(", 2) : pushText(BRIEF_FIXED, "(?:", 3);
    case ')':
      position_ = p + 1;
      return inSet ? pushText(BRIEF_FIXED, "\\)", 2) : pushText(BRIEF_FIXED, ")", 1);
    case 'o':
      if (!inSet && (at(p + 1) == 'M' || at(p + 1) == 'L')) {
        const char flag[3] = {'\\', static_cast<char>(c), static_cast<char>(at(p + 1))};
        position_ = p + 2;
        return pushText(BRIEF_FIXED, flag, 3);
      }
      position_ = p + 1;
      return pushText(BRIEF_FIXED, reinterpret_cast<const char*>(input_ + p), 1);
    case ':':
      if (inSet) {
        position_ = p + 1;
        return pushText(BRIEF_FIXED, ":", 1);
      }
      return translateColon();
    default:
      text[0] = '\\';
      text[1] = static_cast<char>(c);
      position_ = p + 1;
      return pushText(BRIEF_FIXED, text, 2);
  }
}

bool BriefTranslator::translateSetToken() {
  const int32_t c = input_[position_];
  const int32_t length = tokenLength(position_);
  if (length == 1 && c == ']') {
    ++position_;
    return closeSet();
  }
  if (length == 1 && c == '\\') return translateBackslash(true);
  const int32_t start = position_;
  position_ += length;
  return pushText(BRIEF_PLAIN, reinterpret_cast<const char*>(input_ + start), length);
}

bool BriefTranslator::translateToken() {
  const int32_t c = input_[position_];
  const int32_t length = tokenLength(position_);
  if (length > 1 || c == '\\') {
    if (length == 1) return translateBackslash(false);
    const int32_t start = position_;
    position_ += length;
    return pushText(BRIEF_PLAIN, reinterpret_cast<const char*>(input_ + start), length);
  }
  ++position_;
  switch (c) {
    case '*':
      return pushText(BRIEF_PLAIN, ".*?", 3);
    case '?':
      return pushText(BRIEF_PLAIN, ".", 1);
    case '+':
      return pushText(BRIEF_PLAIN, "+?", 2);
    case '@':
      if (stackCount_ > 0 && nodes_[stack_[stackCount_ - 1]].type == BRIEF_GROUP_OPEN &&
          isDigitByte(at(position_))) {
        // An explicitly numbered group: Brief numbers count from 0.
        char text[8] = {'?', static_cast<char>('0' + (at(position_) - '0' + 1) % 10)};
        int32_t written = 2;
        ++position_;
        if (isDigitByte(at(position_))) {
          std::memcpy(text + written, COMMENT_SEPARATOR, 4);
          written += 4;
        }
        return pushText(BRIEF_FIXED, text, written);
      }
      return pushText(BRIEF_FIXED, "*?", 2);
    case '<':
    case '%':
      return pushText(BRIEF_PLAIN, "^", 1);
    case '>':
      return pushText(BRIEF_PLAIN, "$", 1);
    case '^':
      return pushText(BRIEF_PLAIN, "\\^", 2);
    case '.':
      return pushText(BRIEF_PLAIN, "\\.", 2);
    case '(':
      return pushText(BRIEF_PLAIN, "\\(", 2);
    case ')':
      return pushText(BRIEF_PLAIN, "\\)", 2);
    case '{':
      ++openGroups_;
      return pushText(BRIEF_GROUP_OPEN, "(", 1);
    case '}':
      return closeGroup();
    case '|':
      return pushText(BRIEF_BAR, "|", 1);
    case '[':
      if (at(position_) == '~' && at(position_ + 1) == ']') {
        position_ += 2;
        return pushText(BRIEF_PLAIN, ".", 1);
      }
      inSet_ = true;
      if (at(position_) == '~') {
        ++position_;
        return pushText(BRIEF_SET_OPEN, "[^", 2);
      }
      return pushText(BRIEF_SET_OPEN, "[", 1);
    default: {
      const char text[1] = {static_cast<char>(c)};
      return pushText(BRIEF_PLAIN, text, 1);
    }
  }
}

bool BriefTranslator::translateTokens() {
  while (position_ < length_) {
    if (!(inSet_ ? translateSetToken() : translateToken())) return false;
  }
  return true;
}

// Writes the fragments in order, each node as its text, its children and its
// closing text.
bool BriefTranslator::writeOutput() {
  int32_t walkCount = 0;
  outputLength_ = 0;
  for (int32_t k = 0; k < stackCount_; ++k) {
    if (!growArray(&walk_, &walkCapacity_, 1)) return false;
    walk_[walkCount++] = stack_[k];
    while (walkCount > 0) {
      const int32_t entry = walk_[--walkCount];
      const int32_t node = entry >= 0 ? entry : ~entry;
      const Node& n = nodes_[node];
      const int32_t start = entry >= 0 ? n.textStart : n.suffixStart;
      const int32_t length = entry >= 0 ? n.textLength : n.suffixLength;
      if (!growArray(&output_, &outputCapacity_, static_cast<int64_t>(outputLength_) + length + 1)) {
        return false;
      }
      std::memcpy(output_ + outputLength_, text_ + start, static_cast<size_t>(length));
      outputLength_ += length;
      if (!growArray(&walk_, &walkCapacity_, static_cast<int64_t>(walkCount) + 2)) return false;
      if (entry >= 0) {
        walk_[walkCount++] = ~node;
        if (n.firstChild != NO_NODE) walk_[walkCount++] = n.firstChild;
      } else if (n.nextSibling != NO_NODE) {
        walk_[walkCount++] = n.nextSibling;
      }
    }
  }
  return true;
}

int32_t BriefTranslator::translate(const uint8_t* text, int32_t length, int32_t encodingMode,
                                   const uint8_t** out, int32_t* outLength) {
  if (length < 0) length = 0;
  const bool cached = length == cachedLength_ && encodingMode == cachedMode_ &&
                      (length == 0 || std::memcmp(text, cachedInput_, static_cast<size_t>(length)) == 0);
  if (!cached) {
    cachedLength_ = -1;
    input_ = text;
    length_ = length;
    position_ = 0;
    mode_ = encodingMode;
    inSet_ = false;
    openGroups_ = 0;
    textLength_ = 0;
    nodeCount_ = 0;
    stackCount_ = 0;
    if (!translateTokens() || !writeOutput() ||
        !growArray(&output_, &outputCapacity_, 1) ||
        !growArray(&cachedInput_, &cachedInputCapacity_, length)) {
      return REGEX_OUT_OF_MEMORY;
    }
    if (length > 0) std::memcpy(cachedInput_, text, static_cast<size_t>(length));
    cachedLength_ = length;
    cachedMode_ = encodingMode;
    input_ = nullptr;
  }
  *out = output_;
  *outLength = outputLength_;
  return 0;
}
