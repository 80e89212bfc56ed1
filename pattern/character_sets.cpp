// Bracket expressions and predefined classes.
//
// A bracket expression is built in a temporary set and copied into the
// program as one SET: in the byte modes a CharacterBitmap in the slot after
// the SET (three slots in all), in UTF-8 mode a serialized UnicodeSet over as
// many slots as it needs. Members are characters, ranges, \od (the code
// page's lead bytes), \p{..} and \P{..} properties, and nested sets that are
// subtracted ("-[..]") or intersected ("&[..]"); negation complements the
// finished set. Under ignore case every byte adds its upper-case form and the
// lower-case form of that; in UTF-8 mode the UnicodeSet folds.
//
// In double-byte mode a lead byte and its trail byte are one member, and a
// range between such characters holds the characters between them. The
// builder keeps these characters apart from the single bytes, in a second
// set over the values lead * 256 + trail, so that negation, subtraction and
// intersection treat them one by one; a lead byte given as a byte stands for
// every character it begins. The SET then carries, beside its bitmap, the
// trail bytes of each lead byte whose characters are members in part (see
// instruction.h).
//
// Outside UTF-8 mode a character named by code point (\x{..} above 127, other
// than 160..255, and every property range) reaches the set through the active
// code page when the UTF-8 option is on: the byte it converts to, or the lead
// byte of a two-byte result (in double-byte mode the character); code points
// the code page lacks add nothing.
//
// A predefined class is a short text in dialect 'R' that the reader parses in
// place of the class letter. Tested by character_sets_test.cpp.
#include "pattern/character_sets.h"

#include <cstring>
#include <initializer_list>

#include "pattern/compiled_pattern.h"
#include "pattern/regex_program.h"
#include "pattern/regex_reader.h"
#include "pattern/unicode_set.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t PROPERTY_NAME_LIMIT = 197;
constexpr uint32_t PLANE_LIMIT = 0xFFFF;  // code points that can reach a code page
constexpr int32_t ROW_BYTES = 32;           // the trail bytes of one lead byte, as bits

// Converted forms of U+0080..U+FFFF in the code page they were built for:
// 0 none, 0x100 | byte for one byte, lead * 256 + trail for two.
uint16_t* conversionTable = nullptr;
uint32_t conversionCodePage = 0;
bool conversionBuilt = false;

uint16_t convertedForm(uint32_t codePoint) {
  const uint32_t codePage = GetACP();
  if (!conversionBuilt || conversionCodePage != codePage) {
    if (conversionTable == nullptr) {
      conversionTable = static_cast<uint16_t*>(memAlloc((PLANE_LIMIT + 1) * sizeof(uint16_t)));
      if (conversionTable == nullptr) regexFail(REGEX_OUT_OF_MEMORY);
    }
    for (uint32_t c = 0; c <= PLANE_LIMIT; ++c) {
      uint8_t bytes[2];
      const int32_t length = c < 0x80 ? 0 : convertCodePoint(c, bytes);
      conversionTable[c] = static_cast<uint16_t>(
          length == 1 ? 0x100 | bytes[0] : length == 2 ? bytes[0] * 256 + bytes[1] : 0);
    }
    conversionCodePage = codePage;
    conversionBuilt = true;
  }
  return conversionTable[codePoint];
}

class SetBuilder {
 public:
  SetBuilder()
      : unicode_(regexCompiler.encodingMode == ENCODING_UTF8),
        doubleByte_(regexCompiler.encodingMode == ENCODING_DOUBLE_BYTE) {
    std::memset(&bitmap_, 0, sizeof bitmap_);
    if (unicode_ || doubleByte_) {
      set_ = static_cast<UnicodeSet*>(memAlloc(sizeof(UnicodeSet)));
      if (set_ == nullptr) regexFail(REGEX_OUT_OF_MEMORY);
      unicodeSetInit(set_);
    }
  }
  ~SetBuilder() {
    if (set_ != nullptr) {
      unicodeSetFree(set_);
      memFree(set_);
    }
  }
  SetBuilder(const SetBuilder&) = delete;
  SetBuilder& operator=(const SetBuilder&) = delete;

  bool unicode() const { return unicode_; }

  // A byte with its case variants. In double-byte mode a lead byte adds the
  // characters it begins.
  void addByte(uint32_t byte) {
    if (doubleByte_ && leadByteTable[byte] != 0) {
      regexCheck(unicodeSetAddRange(set_, byte << 8, (byte << 8) | 0xFFu, false));
      return;
    }
    if (regexCompiler.ignoreCase != 0) {
      const uint8_t upper = upperTable[byte];
      bitmapSet(&bitmap_, upper);
      bitmapSet(&bitmap_, lowerTable[upper]);
    } else {
      bitmapSet(&bitmap_, static_cast<int32_t>(byte));
    }
  }
  // Characters as the pattern wrote them: bytes or double-byte pairs, or code
  // points in UTF-8 mode.
  void addCharacters(int64_t first, int64_t last) {
    if (unicode_) {
      if (first < 0 || last < 0 || first > last) return;
      regexCheck(unicodeSetAddRange(set_, static_cast<uint32_t>(first),
                                    static_cast<uint32_t>(last), regexCompiler.ignoreCase != 0));
      return;
    }
    if (first > last) return;
    if (doubleByte_ && last > 0xFF) {
      // Up to a character of two bytes: the lead bytes on the way are not
      // characters; the characters they begin are among the pairs.
      for (int64_t byte = first; byte <= 0xFF; ++byte) {
        if (leadByteTable[byte] == 0) addByte(static_cast<uint32_t>(byte));
      }
      addPairs(first > 0xFF ? first : 0x100, last);
      return;
    }
    for (int64_t byte = leadingByte(first); byte <= leadingByte(last); ++byte) {
      addByte(static_cast<uint32_t>(byte));
    }
  }
  // Code points named by \x{..} in a byte mode.
  void addCodePoints(int64_t first, int64_t last) {
    if (first > last) return;
    for (int64_t c = first; c <= last && c < 0x80; ++c) addByte(static_cast<uint32_t>(c));
    for (int64_t c = first > 160 ? first : 160; c <= last && c <= 255; ++c) {
      addByte(static_cast<uint32_t>(c));
    }
    if (utf8Mode == 0) return;
    for (int64_t c = first > 0x80 ? first : 0x80; c <= last && c <= PLANE_LIMIT; ++c) {
      if (c < 160 || c > 255) addConverted(convertedForm(static_cast<uint32_t>(c)));
    }
  }
  int32_t addPropertyRange(uint32_t first, uint32_t last) {
    if (unicode_) return unicodeSetAddRange(set_, first, last, regexCompiler.ignoreCase != 0);
    for (uint32_t c = first; c <= last && c < 0x80; ++c) addByte(c);
    if (utf8Mode != 0) {
      for (uint32_t c = first > 0x80 ? first : 0x80; c <= last && c <= PLANE_LIMIT; ++c) {
        addConverted(convertedForm(c));
      }
    }
    return 0;
  }
  void addLeadBytes() {
    if (!doubleByte_) return;
    for (uint32_t byte = 0; byte < 256; ++byte) {
      if (leadByteTable[byte] != 0) addByte(byte);
    }
  }

  // In double-byte mode the bitmap's lead-byte bits mean nothing while the
  // set is built (the characters of two bytes are in set_), so the bitmap
  // operations below may change them freely.
  void complement() {
    holdsInvalid_ = !holdsInvalid_;
    if (unicode_ || doubleByte_) regexCheck(unicodeSetComplement(set_));
    if (unicode_) return;
    for (uint8_t& bits : bitmap_.bits) bits = static_cast<uint8_t>(~bits);
  }
  void subtract(const SetBuilder& other) {
    holdsInvalid_ = holdsInvalid_ && !other.holdsInvalid_;
    if (unicode_ || doubleByte_) regexCheck(unicodeSetSubtract(set_, other.set_));
    if (unicode_) return;
    for (int32_t i = 0; i < 32; ++i) bitmap_.bits[i] &= static_cast<uint8_t>(~other.bitmap_.bits[i]);
  }
  void intersect(const SetBuilder& other) {
    holdsInvalid_ = holdsInvalid_ && other.holdsInvalid_;
    if (unicode_ || doubleByte_) regexCheck(unicodeSetIntersect(set_, other.set_));
    if (unicode_) return;
    for (int32_t i = 0; i < 32; ++i) bitmap_.bits[i] &= other.bitmap_.bits[i];
  }
  void unite(const SetBuilder& other) {
    holdsInvalid_ = holdsInvalid_ || other.holdsInvalid_;
    if (unicode_ || doubleByte_) regexCheck(unicodeSetUnion(set_, other.set_));
    if (unicode_) return;
    for (int32_t i = 0; i < 32; ++i) bitmap_.bits[i] |= other.bitmap_.bits[i];
  }

  // Emits the SET with its member data and records its members as first
  // characters when a match may begin here.
  void emit() {
    RegexCompiler& rc = regexCompiler;
    if (unicode_) {
      const int32_t size = unicodeSetSerializedSize(set_);
      const int32_t slots = size / static_cast<int32_t>(sizeof(Instruction)) + 2;
      reserveSlots(slots);
      const int32_t set = emitSlot(OP_SET);
      slotAt(set).crossLines() = rc.crossLines;
      slotAt(set).slotCount() = slots;
      slotAt(set).setFlags() = holdsInvalid_ ? SET_HOLDS_INVALID_BYTES : 0;
      for (int32_t i = 1; i < slots; ++i) emitSlot(0);
      unicodeSetSerialize(set_, reinterpret_cast<uint8_t*>(&slotAt(set + 1)));
      if (rc.atStart) noteFirstSet(set_);
    } else if (doubleByte_) {
      emitDoubleByte();
    } else {
      reserveSlots(SET_SLOTS_BYTE_MODE);
      const int32_t set = emitSlot(OP_SET);
      slotAt(set).crossLines() = rc.crossLines;
      const int32_t data = emitSlot(0);
      std::memcpy(&slotAt(data), bitmap_.bits, sizeof bitmap_.bits);
      emitSlot(0);
      if (rc.atStart) noteFirstBitmap(bitmap_.bits);
    }
    rc.atStart = false;
  }

 private:
  static int64_t leadingByte(int64_t character) { return character > 255 ? character >> 8 : character; }
  void addConverted(uint16_t form) {
    if (form == 0) return;
    if ((form >> 8) == 1) {
      addByte(form & 0xFFu);
    } else if (doubleByte_) {
      addPairs(form, form);
    } else {
      bitmapSet(&bitmap_, form >> 8);  // a lead byte keeps its case
    }
  }

  // Characters of two bytes, lead * 256 + trail, from first to last; under
  // ignore case each adds the forms the code page's case conversion gives.
  void addPairs(int64_t first, int64_t last) {
    if (last > 0xFFFF) last = 0xFFFF;
    if (first > last) return;
    regexCheck(unicodeSetAddRange(set_, static_cast<uint32_t>(first), static_cast<uint32_t>(last),
                                  false));
    if (regexCompiler.ignoreCase == 0) return;
    for (int64_t pair = first; pair <= last; ++pair) {
      if (leadByteTable[pair >> 8] == 0) continue;
      char upper[2] = {static_cast<char>(pair >> 8), static_cast<char>(pair & 0xFF)};
      upperCaseText(upper, 2, 0);
      char lower[2] = {upper[0], upper[1]};
      lowerCaseText(lower, 2, 0);
      for (const char* form : {upper, lower}) {
        const uint32_t value = static_cast<uint8_t>(form[0]) * 256u + static_cast<uint8_t>(form[1]);
        if (leadByteTable[value >> 8] != 0) regexCheck(unicodeSetAdd(set_, value));
      }
    }
  }

  // The SET of double-byte mode: the single bytes and the lead bytes of full
  // rows in the bitmap, then the partial rows and their trail bytes.
  void emitDoubleByte() {
    RegexCompiler& rc = regexCompiler;
    CharacterBitmap partial;
    std::memset(&partial, 0, sizeof partial);
    int32_t partialRows = 0;
    for (int32_t lead = 0; lead < 256; ++lead) {
      if (leadByteTable[lead] == 0) continue;
      const uint8_t* row = rowOf(lead);
      bool full = true;
      bool empty = true;
      for (int32_t i = 0; i < ROW_BYTES; ++i) {
        full = full && row[i] == 0xFF;
        empty = empty && row[i] == 0;
      }
      if (full) {
        bitmapSet(&bitmap_, lead);
      } else {
        bitmap_.bits[lead >> 3] = static_cast<uint8_t>(bitmap_.bits[lead >> 3] & ~(1u << (lead & 7)));
        if (!empty) {
          bitmapSet(&partial, lead);
          ++partialRows;
        }
      }
    }
    const int32_t slots = SET_SLOTS_BYTE_MODE + partialRows;
    reserveSlots(slots);
    const int32_t set = emitSlot(OP_SET);
    slotAt(set).crossLines() = rc.crossLines;
    slotAt(set).slotCount() = slots;
    for (int32_t i = 1; i < slots; ++i) emitSlot(0);
    std::memcpy(&slotAt(set + 1), bitmap_.bits, sizeof bitmap_.bits);
    std::memcpy(&slotAt(set + 2), partial.bits, sizeof partial.bits);
    int32_t next = set + SET_SLOTS_BYTE_MODE;
    for (int32_t lead = 0; lead < 256; ++lead) {
      if (bitmapHas(partial, lead)) std::memcpy(&slotAt(next++), rowOf(lead), ROW_BYTES);
    }
    if (rc.atStart) {
      noteFirstBitmap(bitmap_.bits);
      noteFirstBitmap(partial.bits);
    }
  }
  // The trail bytes of a lead byte, as bits of set_'s bitmap.
  const uint8_t* rowOf(int32_t lead) const { return set_->bitmap + lead * ROW_BYTES; }

  bool unicode_;
  bool doubleByte_;
  // UTF-8 mode: whether a byte that begins no character (code point -1) is a
  // member, which it is of negated sets only.
  bool holdsInvalid_ = false;
  CharacterBitmap bitmap_;
  UnicodeSet* set_ = nullptr;
};

int32_t addPropertyRangeTo(void* context, uint32_t first, uint32_t last) {
  return static_cast<SetBuilder*>(context)->addPropertyRange(first, last);
}

// \p{name} or \P{name}; the reader stands on the '{'.
void readProperty(SetBuilder* builder, bool complemented) {
  RegexCompiler& rc = regexCompiler;
  if (rc.exhausted || rc.current != '{') regexSyntaxError();
  readNextChar();
  char name[PROPERTY_NAME_LIMIT];
  int32_t length = 0;
  while (rc.exhausted || rc.current != '}') {
    if (rc.exhausted || rc.current < 0 || rc.current > 127 || length >= PROPERTY_NAME_LIMIT) {
      regexSyntaxError();
    }
    name[length++] = static_cast<char>(rc.current);
    readNextChar();
  }
  readNextChar();
  if (!complemented) {
    regexCheck(forEachPropertyRange(name, length, addPropertyRangeTo, builder));
    return;
  }
  SetBuilder property;
  regexCheck(forEachPropertyRange(name, length, addPropertyRangeTo, &property));
  property.complement();
  builder->unite(property);
}

enum MemberKind { MEMBER_CHARACTER, MEMBER_CODE_POINT, MEMBER_ADDED };

struct SetMember {
  MemberKind kind;
  int64_t value;
};

SetMember readMember(SetBuilder* builder) {
  RegexCompiler& rc = regexCompiler;
  if (rc.current == '\\') {
    const PatternEscape escape = readEscape(true);
    switch (escape.kind) {
      case ESCAPE_CODE_POINT:
        return SetMember{MEMBER_CODE_POINT, escape.value};
      case ESCAPE_PROPERTY:
        readProperty(builder, escape.value != 0);
        return SetMember{MEMBER_ADDED, 0};
      case ESCAPE_LEAD_BYTES:
        builder->addLeadBytes();
        return SetMember{MEMBER_ADDED, 0};
      default:
        return SetMember{MEMBER_CHARACTER, escape.value};
    }
  }
  int32_t pair = 0;
  const int64_t value = takeDoubleBytePair(&pair) ? pair : rc.current;
  readNextChar();
  return SetMember{MEMBER_CHARACTER, value};
}

void addMembers(SetBuilder* builder, const SetMember& first, const SetMember& last) {
  if (first.kind == MEMBER_CHARACTER && last.kind == MEMBER_CHARACTER) {
    builder->addCharacters(first.value, last.value);
  } else {
    builder->addCodePoints(first.value, last.value);
  }
}

// The members of a bracket expression up to its closing ']'; the reader
// stands after the '['.
void parseSetBody(SetBuilder* builder, int32_t level) {
  RegexCompiler& rc = regexCompiler;
  if (level > SET_NESTING_LIMIT) regexSyntaxError();
  const bool unix = rc.unixSyntax != 0;
  bool negated = false;
  if (!rc.exhausted &&
      (unix ? rc.current == '^' && peekByte(0) != ']' : rc.current == '~' || rc.current == '^')) {
    negated = true;
    readNextChar();
  }
  for (bool first = true;; first = false) {
    if (rc.exhausted) regexSyntaxError();
    const int32_t c = rc.current;
    if (c == ']' && !(unix && first)) {
      readNextChar();
      break;
    }
    if ((c == '-' || c == '&') && peekByte(0) == '[') {
      readNextChar();
      readNextChar();
      SetBuilder nested;
      parseSetBody(&nested, level + 1);
      if (c == '-') {
        builder->subtract(nested);
      } else {
        builder->intersect(nested);
      }
      continue;
    }
    const SetMember low = readMember(builder);
    if (low.kind == MEMBER_ADDED) continue;
    const int32_t afterDash = peekByte(0);
    if (!rc.exhausted && rc.current == '-' && afterDash != ']' && afterDash != '[' &&
        afterDash != -1) {
      readNextChar();
      const SetMember high = readMember(builder);
      if (high.kind == MEMBER_ADDED) regexSyntaxError();
      addMembers(builder, low, high);
    } else {
      addMembers(builder, low, low);
    }
  }
  if (negated) builder->complement();
}

}  // namespace

void parseBracketExpression() {
  readNextChar();
  SetBuilder builder;
  parseSetBody(&builder, 1);
  builder.emit();
}

void emitEmptySet() {
  SetBuilder builder;
  builder.emit();
}

const char* predefinedClassText(int32_t letter) {
  switch (asciiLowerChar(letter)) {
    case 'a':
      return "[A-Za-z0-9]";
    case 'b':
      return "([ \\t]#)";
    case 'c':
      return "[A-Za-z]";
    case 'd':
      return "[0-9]";
    case 'f':
      return "([~\\[\\]\\:\\\\/<>|=+;, \\t\"']#)";
    case 'h':
      return "([0-9A-Fa-f]#)";
    case 'i':
      return "([0-9]#)";
    case 'n':
      return "(([0-9]#(.[0-9]#|)|.[0-9]#)([Ee](\\+|-|)[0-9]#|))";
    case 'p':
      return "(([A-Za-z0-9]\\:|\\\\\\\\|)(\\\\|/|)(:f(\\\\|/))@:f)";
    case 'q':
      return "(\"[~\"]@\"|'[~']@')";
    case 'v':
      return "([A-Za-z_$][A-Za-z0-9_$]@)";
    case 'w':
      return "([A-Za-z]#)";
    default:
      return nullptr;
  }
}

void expandPredefinedClass(int32_t letter) {
  const char* text = predefinedClassText(letter);
  if (text == nullptr) regexSyntaxError();
  pushExpansion(text);
}

int32_t convertCodePoint(uint32_t codePoint, uint8_t* out) {
  uint8_t encoded[8];
  const int32_t length = encodeUtf8(codePoint, encoded);
  if (length == 0) return 0;
  const char* converted = utf8ToAnsi(reinterpret_cast<const char*>(encoded), length);
  if (converted == nullptr) return 0;
  const size_t size = std::strlen(converted);
  if (size < 1 || size > 2) return 0;
  std::memcpy(out, converted, size);
  return static_cast<int32_t>(size);
}
