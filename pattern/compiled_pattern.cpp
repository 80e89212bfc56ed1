// The process-wide compiled-pattern block and text-source table.
//
// `compiledPattern` holds everything a compiled regular expression needs;
// callers that keep a second pattern take the whole block out with its
// buffers and put it back later. `textSource` is the one table of text
// operations through which both search functions read: the file text window
// fills it for files, the in-memory search for strings.
#include "pattern/compiled_pattern.h"

#include "pattern/literal_trie.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"
#include "support/memory_pool.h"

CompiledPattern compiledPattern;
TextSource textSource;

CompiledPattern takeCompiledPattern() {
  CompiledPattern taken = compiledPattern;
  compiledPattern = CompiledPattern{};
  return taken;
}

void releaseCompiledPattern(CompiledPattern* pattern) {
  memFree(pattern->program);
  memFree(pattern->firstCharTable);
  memFree(pattern->markBuffer);
  freeLiteralTrie(pattern->literalTrie);
  if (pattern->firstCharSet != nullptr) {
    unicodeSetFree(pattern->firstCharSet);
    memFree(pattern->firstCharSet);
  }
  *pattern = CompiledPattern{};
}
