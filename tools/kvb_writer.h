// The message catalogue compiler's work, shared by tools/kvbc.cpp and its
// tests: parse the plain-text message source and lay out the binary
// catalogue. Standard library only, since it runs at build time.
//
// Source format (messages/grep.msg):
//   - A line whose first character is "#" is a comment; empty lines between
//     messages are ignored.
//   - "@NUMBER TEXT" is a one-line message: the text is everything after the
//     single blank that follows the number.
//   - "@NUMBER" alone opens a block message: its text is the following lines
//     exactly as written, up to a line that is exactly "@end", joined by line
//     feeds. An empty line just before "@end" makes the text end in a line
//     feed. Inside a block no line may begin with "@" except "@end".
//   - NUMBER is 0 or a negative decimal number; each number appears once.
//   - A carriage return at the end of a source line is ignored.
//
// Catalogue layout (32-bit little-endian): magic 0x1122, the text area
// offset, one (number, text offset) record per message in source order, the
// terminator record (-1, -1), then the NUL-terminated texts. Messages with
// the same text share it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvb {

constexpr int32_t MAGIC = 0x1122;
// The loader refuses catalogues with message numbers below this.
constexpr int64_t LOWEST_NUMBER = -(int64_t{1} << 20);

struct Message {
  int32_t number;
  std::string text;
  int line;  // where the message starts in the source
};

inline std::string lineError(int line, const std::string& text) {
  return "line " + std::to_string(line) + ": " + text;
}

// Reads the digits of "@NUMBER" starting after the "@"; `end` receives the
// index after the number. False when there is no well-formed number.
inline bool readNumber(const std::string& line, size_t& end, int64_t& value) {
  size_t i = 1;
  bool negative = false;
  if (i < line.size() && line[i] == '-') {
    negative = true;
    ++i;
  }
  size_t digitsStart = i;
  value = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    value = value * 10 + (line[i] - '0');
    if (value > (int64_t{1} << 32)) return false;
    ++i;
  }
  if (i == digitsStart) return false;
  if (negative) value = -value;
  end = i;
  return true;
}

inline std::vector<std::string> splitLines(const std::string& source) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < source.size()) {
    size_t end = source.find('\n', start);
    if (end == std::string::npos) end = source.size();
    std::string line = source.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

inline bool parseSource(const std::string& source, std::vector<Message>& messages,
                        std::string& error) {
  messages.clear();
  if (source.find('\0') != std::string::npos) {
    error = "the source holds a NUL byte, which cannot be part of a message text";
    return false;
  }
  std::map<int32_t, int> firstLine;
  std::vector<std::string> lines = splitLines(source);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    int lineNumber = static_cast<int>(i) + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] != '@') {
      error = lineError(lineNumber, "text outside a message; a message starts with \"@NUMBER\"");
      return false;
    }
    size_t end = 0;
    int64_t number = 0;
    if (!readNumber(line, end, number)) {
      error = lineError(lineNumber, "\"@\" must be followed by a message number: " + line);
      return false;
    }
    if (number > 0) {
      error = lineError(lineNumber, "message number " + std::to_string(number) +
                                        " is positive; numbers are 0 or negative");
      return false;
    }
    if (number < LOWEST_NUMBER) {
      error = lineError(lineNumber, "message number " + std::to_string(number) +
                                        " is below " + std::to_string(LOWEST_NUMBER));
      return false;
    }
    Message message{static_cast<int32_t>(number), std::string(), lineNumber};
    auto seen = firstLine.find(message.number);
    if (seen != firstLine.end()) {
      error = lineError(lineNumber, "message " + std::to_string(number) +
                                        " is already defined at line " +
                                        std::to_string(seen->second));
      return false;
    }
    firstLine[message.number] = lineNumber;

    if (end == line.size()) {
      // A block message, up to "@end".
      bool closed = false;
      std::string text;
      size_t j = i + 1;
      for (; j < lines.size(); ++j) {
        if (lines[j] == "@end") {
          closed = true;
          break;
        }
        if (!lines[j].empty() && lines[j][0] == '@') break;
        if (j > i + 1) text += '\n';
        text += lines[j];
      }
      if (!closed) {
        error = lineError(lineNumber, "message " + std::to_string(number) +
                                          " is not closed by a line \"@end\"");
        return false;
      }
      message.text = text;
      i = j;
    } else if (line[end] == ' ' && end + 1 < line.size()) {
      message.text = line.substr(end + 1);
    } else {
      error = lineError(lineNumber,
                        "a message number is followed by a blank and the text, or by "
                        "nothing when the text follows up to \"@end\": " + line);
      return false;
    }
    messages.push_back(message);
  }
  return true;
}

inline void putInt32(std::vector<uint8_t>& out, size_t at, int64_t value) {
  auto word = static_cast<uint32_t>(value);
  for (int k = 0; k < 4; ++k) out[at + k] = static_cast<uint8_t>(word >> (8 * k));
}

inline bool buildImage(const std::vector<Message>& messages, std::vector<uint8_t>& image,
                       std::string& error) {
  const size_t records = messages.size() + 2;  // header and terminator included
  const size_t textArea = 8 * records;
  image.assign(textArea, 0);
  std::map<std::string, size_t> textOffsets;
  std::vector<uint8_t> texts;
  for (size_t k = 0; k < messages.size(); ++k) {
    const Message& message = messages[k];
    auto known = textOffsets.find(message.text);
    size_t offset;
    if (known != textOffsets.end()) {
      offset = known->second;
    } else {
      offset = texts.size();
      textOffsets[message.text] = offset;
      texts.insert(texts.end(), message.text.begin(), message.text.end());
      texts.push_back(0);
    }
    if (textArea + texts.size() > 0x7FFFFFFF) {
      error = "the texts are too large for a catalogue";
      return false;
    }
    putInt32(image, 8 * (k + 1), message.number);
    putInt32(image, 8 * (k + 1) + 4, static_cast<int64_t>(offset));
  }
  putInt32(image, 0, MAGIC);
  putInt32(image, 4, static_cast<int64_t>(textArea));
  putInt32(image, textArea - 8, -1);
  putInt32(image, textArea - 4, -1);
  image.insert(image.end(), texts.begin(), texts.end());
  return true;
}

inline bool compileSource(const std::string& source, std::vector<uint8_t>& image,
                          std::string& error) {
  std::vector<Message> messages;
  return parseSource(source, messages, error) && buildImage(messages, image, error);
}

}  // namespace kvb
