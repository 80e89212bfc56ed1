// Helpers shared by the unit tests: temporary directories and files, whole
// files read and written as bytes, sparse files over 4 GiB, standard output
// sent to a file, and scopes that restore the process-wide code-page state a
// test changes. Header-only, as every *_test.cpp is its own executable.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "console/stream.h"
#include "platform/platform.h"
#include "support/text_encoding.h"

namespace test {

inline void writeFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline const uint8_t* bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// A new directory under the system's temporary directory, removed with
// everything in it at the end of the scope. Names are joined as bytes with
// the system's separator: a path object would reinterpret names that are not
// text in the code page.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
      const std::filesystem::path candidate =
          base / ("greptest-" + std::to_string(random()) + "-" + std::to_string(attempt));
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
    EXPECT_FALSE(path_.empty()) << "no temporary directory";
  }
  ~TempDir() {
    std::error_code ignored;
    // Read-only entries cannot be removed on every system.
    for (std::filesystem::recursive_directory_iterator it(path_, ignored), end; it != end;
         it.increment(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const {
    return path_ + platformSeparator() + relative;
  }
  // Writes the file and returns its name.
  std::string write(const std::string& relative, const std::string& content) const {
    const std::string name = *this / relative;
    writeFile(name, content);
    return name;
  }

 private:
  std::string path_;
};

// One file with the given bytes, in a directory of its own.
class TempFile {
 public:
  explicit TempFile(const std::string& content) : name_(dir_.write("file.txt", content)) {}
  const std::string& name() const { return name_; }

 private:
  TempDir dir_;
  std::string name_;
};

// Makes a sparse file of `size` bytes with the given pieces written at their
// offsets. False when the file system cannot hold it; the caller then skips.
inline bool makeSparseFile(const std::string& name, int64_t size,
                           const std::vector<std::pair<int64_t, std::string>>& pieces) {
  {
    std::ofstream create(name, std::ios::binary);
    if (!create) return false;
  }
  std::error_code error;
  std::filesystem::resize_file(name, static_cast<uintmax_t>(size), error);
  if (error) return false;
  std::fstream out(name, std::ios::binary | std::ios::in | std::ios::out);
  for (const auto& [offset, piece] : pieces) {
    out.seekp(offset);
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  out.flush();
  return static_cast<bool>(out);
}

constexpr const char* NO_SPARSE_FILE = "the file system cannot hold a sparse file over 4 GiB";

// Sends what the program prints through stdoutStream to a file until
// finish(), which restores the console stream and returns the bytes printed.
class OutputCapture {
 public:
  OutputCapture() : name_(dir_ / "output.txt"), saved_(stdoutStream) {
    int32_t status = 0;
    stdoutStream = openStream(name_.c_str(), "wb", &status, STREAM_STDOUT_CAPACITY);
    EXPECT_NE(stdoutStream, nullptr) << "status " << status;
  }
  ~OutputCapture() { restore(); }

  std::string finish() {
    EXPECT_EQ(restore(), 0);
    return readFile(name_);
  }

 private:
  int32_t restore() {
    int32_t result = 0;
    if (stdoutStream != saved_) {
      result = stdoutStream != nullptr ? closeStream(stdoutStream) : -1;
      stdoutStream = saved_;
    }
    return result;
  }
  TempDir dir_;
  std::string name_;
  Stream* saved_;
};

// Saves the code-page description that character stepping reads and
// restores it at the end of the scope; the setters choose one of the modes.
class EncodingScope {
 public:
  EncodingScope()
      : systemDbcs_(systemDbcs), utf8Mode_(utf8Mode), unicodeCalls_(unicodeCallsAvailable) {
    std::memcpy(leadBytes_, leadByteTable, sizeof leadBytes_);
  }
  ~EncodingScope() {
    systemDbcs = systemDbcs_;
    utf8Mode = utf8Mode_;
    unicodeCallsAvailable = unicodeCalls_;
    std::memcpy(leadByteTable, leadBytes_, sizeof leadBytes_);
  }

  void singleByte() {
    systemDbcs = 0;
    utf8Mode = 0;
    std::memset(leadByteTable, 0, sizeof leadByteTable);
  }
  // Lead bytes first to last (0x81 to 0x9F: as in Shift-JIS).
  void doubleByte(int first = 0x81, int last = 0x9F) {
    singleByte();
    systemDbcs = 1;
    for (int b = first; b <= last; ++b) leadByteTable[b] = 1;
  }
  void utf8(int32_t unicodeCalls = 0) {
    singleByte();
    utf8Mode = 1;
    unicodeCallsAvailable = unicodeCalls;
  }

 private:
  uint32_t systemDbcs_;
  int32_t utf8Mode_;
  int32_t unicodeCalls_;
  uint32_t leadBytes_[256];
};

// Switches to a code page where the platform layer emulates it and restores
// the original at the end; applied() is false where the system owns it.
class CodePageScope {
 public:
  explicit CodePageScope(uint32_t codePage) : original_(GetACP()) {
    platformSetCodePage(codePage);
    applied_ = GetACP() == codePage;
  }
  ~CodePageScope() { platformSetCodePage(original_); }
  bool applied() const { return applied_; }

 private:
  uint32_t original_;
  bool applied_ = false;
};

}  // namespace test
