// kvbc: the message catalogue compiler. Turns the plain-text message source
// into the binary catalogue that the program reads at run time:
//
//     kvbc SOURCE OUTPUT        (the build runs: kvbc messages/grep.msg grep.kvb)
//
// The source format, in short (tools/kvb_writer.h has the full rules):
//
//     # a comment
//     @-8 Not enough memory.          one-line message -8
//     @-3600                          block message -3600: the lines up to
//     Usage: ...                      "@end", joined by line feeds
//     @end
//
// Message numbers are 0 or negative and unique. A malformed source stops the
// compiler with a message naming the line and a non-zero exit status, and no
// output file is written. Tested by message_catalogue_test.cpp, which loads
// the compiled catalogue with the program's own loader.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/kvb_writer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: kvbc SOURCE OUTPUT\n"
                 "Compiles the message source SOURCE into the catalogue file OUTPUT.\n";
    return 2;
  }
  const std::string sourceName = argv[1];
  const std::string outputName = argv[2];

  std::ifstream input(sourceName, std::ios::binary);
  if (!input) {
    std::cerr << "kvbc: cannot open the message source " << sourceName << "\n";
    return 1;
  }
  std::ostringstream contents;
  contents << input.rdbuf();
  if (input.bad()) {
    std::cerr << "kvbc: cannot read the message source " << sourceName << "\n";
    return 1;
  }

  std::vector<uint8_t> image;
  std::string error;
  if (!kvb::compileSource(contents.str(), image, error)) {
    std::cerr << sourceName << ": " << error << "\n";
    return 1;
  }

  std::ofstream output(outputName, std::ios::binary | std::ios::trunc);
  if (output) {
    output.write(reinterpret_cast<const char*>(image.data()),
                 static_cast<std::streamsize>(image.size()));
    output.close();
  }
  if (!output) {
    std::cerr << "kvbc: cannot write the catalogue " << outputName << "\n";
    std::remove(outputName.c_str());
    return 1;
  }
  return 0;
}
