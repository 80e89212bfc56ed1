// Feeds the whole program, grepMain, an argument vector, a list file and a
// pattern file, all taken from the input, in a small fixed directory tree
// (files with and without matches, a subdirectory two levels deep, names with
// blanks). Standard output goes to /dev/null and standard input reads
// /dev/null.
//
// Input: the arguments separated by NUL bytes (at most 16, each cut to 256
// bytes), then optionally the marker FE FF and the content of the list file
// "list.lst", then the marker again and the content of the pattern file
// "pattern.txt". Arguments may name these two files.
//
// grepMain ends through exitProgram; the harness's exit handler turns that
// into an exception caught here, and the process-wide state the command line
// sets (options, stored defaults, UTF-8 mode, standard output, open handles)
// is put back before the next run. Inputs that could reach outside the tree
// (absolute names, "..", drive letters) or write a program (-D) are skipped,
// and so are file-specs with more than four "*": each is a loop of the
// backtracking engine, and a name that does not match costs about (name
// length)^(number of stars) steps.
//
// Checks: the sanitizers, and that every run ends through exitProgram.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console/stream.h"
#include "driver/search_options.h"
#include "driver/stored_defaults.h"
#include "files/file_handles.h"
#include "fuzz/fuzz_support.h"
#include "support/memory_pool.h"

namespace {

constexpr size_t ARGUMENT_COUNT_MAX = 16;
constexpr size_t ARGUMENT_LENGTH_MAX = 256;
constexpr std::ptrdiff_t STARS_MAX = 4;
constexpr char LIST_FILE[] = "list.lst";
constexpr char PATTERN_FILE[] = "pattern.txt";
const std::string MARKER = "\xFE\xFF";

struct ProgramExit {
  int32_t status;
};

[[noreturn]] void leaveGrepMain(int32_t status) { throw ProgramExit{status}; }

std::string treeDirectory;
std::string programPath;
std::string startDirectory;  // libFuzzer's own relative paths need it back after a run
SearchOptions initialOptions;
StoredDefaults initialDefaults;

void writeTreeFile(const std::string& relative, const std::string& content) {
  fuzz::writeFile(treeDirectory + "/" + relative, content.data(), content.size());
}

void makeTree() {
  const std::string& scratch = fuzz::scratchDirectory("command_line_fuzzer");
  treeDirectory = scratch + "/tree";
  const std::string bin = scratch + "/bin";
  std::filesystem::create_directories(treeDirectory + "/sub/deeper");
  std::filesystem::create_directories(treeDirectory + "/dir with blank");
  std::filesystem::create_directories(bin);
  std::filesystem::copy_file(GREP_FUZZ_CATALOGUE, bin + "/grep.kvb");
  programPath = bin + "/grep";
  writeTreeFile("a.txt", "alpha beta\r\ngamma needle delta\nNeedle again\n\nlast line no end");
  writeTreeFile("b.c", "int main(void) {\n  return needle_count; /* needle */\n}\n");
  writeTreeFile("with blank.txt", "a line with a needle\r\nand one without\r\n");
  writeTreeFile("empty.txt", "");
  writeTreeFile("noext", "needle in a file without extension\n");
  writeTreeFile("records.dat", "AAAA0001needleBBBB0002haystackCCCC0003needle");
  static const char BYTES[] = "\x81\x5c\x82\xa0needle\0\xff\xfe\n\x93\xfa\x96\x7b\n";
  writeTreeFile("bytes.bin", std::string(BYTES, sizeof BYTES - 1));
  writeTreeFile("utf8.txt", "caf\xC3\xA9 NEEDLE \xE2\x82\xAC\n\xC3\x89t\xC3\xA9 needle\n");
  writeTreeFile("sub/c.txt", "sub file needle\nsecond\n");
  writeTreeFile("sub/deeper/d.log", "deep needle\n");
  writeTreeFile("dir with blank/e.txt", "needle e\n");
  writeTreeFile(LIST_FILE, "a.txt\n");
  writeTreeFile(PATTERN_FILE, "needle\n");
}

// Whether a name stays inside the tree: relative, without "..", without a
// drive or device part.
bool staysInTree(const std::string& name) {
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return false;
  if (std::count(name.begin(), name.end(), '*') > STARS_MAX) return false;
  return name.find("..") == std::string::npos && name.find(':') == std::string::npos;
}

// Every line of a list file is a file-spec, perhaps behind a tree prefix.
bool listStaysInTree(const std::string& content) {
  size_t start = 0;
  while (start <= content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    size_t at = line.find_first_not_of(' ');
    line = at == std::string::npos ? "" : line.substr(at);
    if (line.size() >= 2 && (line[0] == '-' || line[0] == '+') && (line[1] == 't' || line[1] == 'T')) {
      at = line.find_first_not_of(' ', 2);
      line = at == std::string::npos ? "" : line.substr(at);
    }
    if (!staysInTree(line)) return false;
    start = end + 1;
  }
  return true;
}

void resetProcessState() {
  memFree(searchOptions.searchText);
  searchOptions = initialOptions;
  storedDefaults = initialDefaults;
  utf8Mode = 0;
  unicodeCallsAvailable = 0;
}

// What a process exit would have released.
void releaseAfterRun() {
  if (stdoutStream != nullptr) closeStream(stdoutStream);
  stdoutStream = nullptr;
  for (FileHandle handle = 3; handle < fileHandleCapacity(); ++handle) fileClose(handle, -1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startDirectory = std::filesystem::current_path().string();
  makeTree();
  const int devNull = open("/dev/null", O_RDWR);
  if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(devNull, 1) < 0) {
    std::perror("/dev/null");
    std::abort();
  }
  close(devNull);
  initialOptions = searchOptions;
  initialDefaults = storedDefaults;
  setExitHandler(leaveGrepMain);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t firstMarker = input.find(MARKER);
  const std::string argumentBytes = input.substr(0, firstMarker);
  std::string listContent;
  std::string patternContent = "needle\n";
  if (firstMarker != std::string::npos) {
    const size_t from = firstMarker + MARKER.size();
    const size_t secondMarker = input.find(MARKER, from);
    listContent = input.substr(from, secondMarker == std::string::npos ? std::string::npos
                                                                        : secondMarker - from);
    if (secondMarker != std::string::npos) patternContent = input.substr(secondMarker + MARKER.size());
  }

  std::vector<std::string> arguments;
  size_t start = 0;
  while (start <= argumentBytes.size() && arguments.size() < ARGUMENT_COUNT_MAX) {
    size_t end = argumentBytes.find('\0', start);
    if (end == std::string::npos) end = argumentBytes.size();
    std::string argument = argumentBytes.substr(start, std::min(end - start, ARGUMENT_LENGTH_MAX));
    if (argument.size() >= 2 && argument[0] == '-' && (argument[1] == 'd' || argument[1] == 'D')) {
      return 0;
    }
    if (!staysInTree(argument)) return 0;
    arguments.push_back(argument);
    start = end + 1;
  }
  if (!listStaysInTree(listContent)) return 0;

  if (chdir(treeDirectory.c_str()) != 0) {
    std::perror(treeDirectory.c_str());
    std::abort();
  }
  writeTreeFile(LIST_FILE, listContent);
  writeTreeFile(PATTERN_FILE, patternContent);

  std::vector<char*> argv;
  argv.push_back(programPath.data());
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  resetProcessState();
  bool exited = false;
  try {
    grepMain(static_cast<int>(argv.size() - 1), argv.data());
  } catch (const ProgramExit& programExit) {
    exited = true;
    FUZZ_CHECK(programExit.status >= -4000 && programExit.status <= 2, programExit.status, 0);
  }
  FUZZ_CHECK(exited, 0, 0);
  releaseAfterRun();
  if (chdir(startDirectory.c_str()) != 0) {
    std::perror(startDirectory.c_str());
    std::abort();
  }
  return 0;
}
