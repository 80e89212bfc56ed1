// Buffered streams over file handles, and the console-output functions.
//
// A Stream is one allocation: the header and one buffer that serves reading
// and writing alike. The buffer holds the file bytes from bufferOffset on;
// bytes written into it set `dirty`, and a flush writes the whole valid part
// back at bufferOffset (standard output is never seeked: it may be a pipe or
// a console). Writes and reads larger than the buffer bypass it after the
// buffer has been flushed; seeks that land inside the valid bytes only move
// the position, every other seek flushes and empties the buffer. putByte
// never fills the last buffer byte itself but hands it to writeItems, which
// fills the buffer and flushes it in one go. Offsets are 64-bit.
//
// Errors are kept in `error` and reported as 0 items or -1; a reader sees a
// failed read like the end of the data. The console-output functions do not
// leave a failed write of standard output to their callers: the first one
// drops the buffer, which could only fail again, and calls the handler the
// program installed, so a report cannot silently vanish into a full disk or a
// closed pipe. Tested by stream_test.cpp.
#include "console/stream.h"

#include <cstring>

#include "files/file_handles.h"
#include "support/memory_pool.h"

Stream* stdoutStream = nullptr;

namespace {

constexpr int32_t STATUS_BAD_MODE = -52;
constexpr int32_t STATUS_NO_MEMORY = -8;
constexpr int32_t STATUS_SHORT_TRANSFER = -53;
constexpr FileHandle STANDARD_ERROR = 2;
// fileRead and fileWrite take 32-bit counts: larger transfers are split.
constexpr int64_t LARGEST_TRANSFER = 0x40000000;

struct ModeCode {
  const char* text;
  int32_t code;
};

constexpr ModeCode MODE_CODES[] = {
    {"rb", OPEN_READ}, {"wb", OPEN_WRITE}, {"a+", OPEN_READ_WRITE},
    {"a", OPEN_UPDATE}, {"wbx", OPEN_CREATE_NEW},
};

int32_t modeCode(const char* mode) {
  if (mode == nullptr) return -1;
  for (const ModeCode& entry : MODE_CODES) {
    if (std::strcmp(mode, entry.text) == 0) return entry.code;
  }
  return -1;
}

int64_t validBytes(const Stream* stream) { return stream->validEnd - stream->bufferStart; }

void emptyBuffer(Stream* stream) {
  stream->position = stream->bufferStart;
  stream->validEnd = stream->bufferStart;
}

// Moves count bytes straight between the file and memory, in parts that fit
// the file layer's 32-bit counts. Returns the bytes moved, or the negative
// status of the first call that failed before anything was moved. A short
// read ends the transfer; a short write is followed by another write of the
// rest, so a failure is seen with the system's own reason (a pipe whose
// reader has gone may first take part of a large write).
template <typename Bytes, typename Transfer>
int64_t transferDirect(Stream* stream, Bytes* data, int64_t count, Transfer transfer,
                       bool retryShort) {
  int64_t done = 0;
  while (done < count) {
    int64_t part = count - done < LARGEST_TRANSFER ? count - done : LARGEST_TRANSFER;
    int32_t moved = transfer(stream->handle, data + done, static_cast<int32_t>(part));
    if (moved < 0) return done > 0 ? done : moved;
    done += moved;
    if (moved < part && (!retryShort || moved == 0)) break;
  }
  return done;
}

int64_t writeDirect(Stream* stream, const uint8_t* data, int64_t count) {
  return transferDirect(stream, data, count, fileWrite, true);
}

int64_t readDirect(Stream* stream, uint8_t* data, int64_t count) {
  return transferDirect(stream, data, count, fileRead, false);
}

}  // namespace

Stream* openStream(const char* name, const char* mode, int32_t* status, int32_t capacity) {
  int32_t ignored;
  if (status == nullptr) status = &ignored;
  int32_t code = modeCode(mode);
  if (code < 0) {
    *status = STATUS_BAD_MODE;
    return nullptr;
  }
  if (capacity < 0) capacity = 0;
  auto* stream = static_cast<Stream*>(memAlloc(static_cast<uint32_t>(sizeof(Stream)) +
                                               static_cast<uint32_t>(capacity)));
  if (stream == nullptr) {
    *status = STATUS_NO_MEMORY;
    return nullptr;
  }
  stream->bufferStart = reinterpret_cast<uint8_t*>(stream + 1);
  stream->position = stream->bufferStart;
  stream->validEnd = stream->bufferStart;
  stream->bufferEnd = stream->bufferStart + capacity;
  stream->capacity = capacity;
  stream->dirty = 0;
  if (name != nullptr) {
    FileHandle handle = fileOpen(name, code);
    if (handle < 0) {
      memFree(stream);
      *status = handle;
      return nullptr;
    }
    stream->handle = handle;
  } else {
    stream->handle = code == OPEN_READ ? 0 : 1;
  }
  stream->error = 0;
  stream->bufferOffset = 0;
  *status = 0;
  return stream;
}

Stream* openStreamDefault(const char* name, const char* mode) {
  int32_t status;
  return openStream(name, mode, &status, STREAM_STDOUT_CAPACITY);
}

int32_t closeStream(Stream* stream) {
  if (stream == nullptr) return -1;
  int32_t result = flushStream(stream, 0) < 0 ? -1 : 0;
  if (stream->handle != 0 && stream->handle != 1) {
    if (fileClose(stream->handle, -1) < 0) result = -1;
  }
  memFree(stream);
  return result;
}

int32_t putByte(int32_t c, Stream* stream) {
  auto byte = static_cast<uint8_t>(c);
  if (stream->position + 1 >= stream->bufferEnd) {
    return writeItems(&byte, 1, 1, stream) == 1 ? byte : -1;
  }
  *stream->position++ = byte;
  if (stream->position > stream->validEnd) stream->validEnd = stream->position;
  stream->dirty = 1;
  return byte;
}

int64_t writeItems(const void* data, int32_t size, int64_t count, Stream* stream) {
  if (size <= 0 || count <= 0) return 0;
  const int64_t total = size * count;
  auto* bytes = static_cast<const uint8_t*>(data);

  if (total < stream->bufferEnd - stream->position) {
    std::memcpy(stream->position, bytes, static_cast<size_t>(total));
    stream->dirty = 1;
    stream->position += total;
    if (stream->position > stream->validEnd) stream->validEnd = stream->position;
    return count;
  }

  int64_t filled = stream->bufferEnd - stream->position;
  if (filled > 0) {
    std::memcpy(stream->position, bytes, static_cast<size_t>(filled));
    stream->position = stream->bufferEnd;
    stream->validEnd = stream->bufferEnd;
    stream->dirty = 1;
  }
  if (flushStream(stream, 0) != 0) return 0;

  const int64_t rest = total - filled;
  if (rest > stream->capacity) {
    int64_t written = writeDirect(stream, bytes + filled, rest);
    if (written < 0) {
      stream->error = static_cast<int32_t>(written);
      return 0;
    }
    if (written < rest) stream->error = STATUS_SHORT_TRANSFER;
    stream->bufferOffset += stream->capacity + written;
    emptyBuffer(stream);
    return (filled + written) / size;
  }

  stream->bufferOffset += stream->capacity;
  std::memcpy(stream->bufferStart, bytes + filled, static_cast<size_t>(rest));
  stream->position = stream->bufferStart + rest;
  stream->validEnd = stream->position;
  stream->dirty = rest > 0 ? 1 : 0;
  return count;
}

int32_t getByte(Stream* stream) {
  if (stream->position < stream->validEnd) return *stream->position++;
  uint8_t byte;
  return readItems(&byte, 1, 1, stream) == 1 ? byte : -1;
}

int64_t readItems(void* destination, int32_t size, int64_t count, Stream* stream) {
  if (size <= 0 || count <= 0) return 0;
  const int64_t total = size * count;
  auto* bytes = static_cast<uint8_t*>(destination);

  int64_t buffered = stream->validEnd - stream->position;
  int64_t copied = total < buffered ? total : buffered;
  std::memcpy(bytes, stream->position, static_cast<size_t>(copied));
  stream->position += copied;
  if (copied == total) return count;

  if (flushStream(stream, 0) != 0) return 0;

  const int64_t rest = total - copied;
  if (rest > stream->capacity) {
    int64_t read = readDirect(stream, bytes + copied, rest);
    if (read < 0) {
      stream->error = static_cast<int32_t>(read);
      return 0;
    }
    stream->bufferOffset += validBytes(stream) + read;
    emptyBuffer(stream);
    if (copied + read < total) stream->error = STATUS_SHORT_TRANSFER;
    return (copied + read) / size;
  }

  stream->bufferOffset += validBytes(stream);
  emptyBuffer(stream);
  int32_t read = fileRead(stream->handle, stream->bufferStart, stream->capacity);
  if (read < 0) {
    stream->error = read;
    return 0;
  }
  stream->validEnd = stream->bufferStart + read;
  int64_t taken = rest < read ? rest : read;
  std::memcpy(bytes + copied, stream->bufferStart, static_cast<size_t>(taken));
  stream->position = stream->bufferStart + taken;
  if (copied + taken < total) stream->error = STATUS_SHORT_TRANSFER;
  return (copied + taken) / size;
}

int32_t seekStream(Stream* stream, int64_t offset, int32_t origin) {
  if (origin == 1) {
    int64_t target = (stream->position - stream->bufferStart) + offset;
    if (target >= 0 && target < validBytes(stream)) {
      stream->position = stream->bufferStart + target;
      return 0;
    }
    offset = tellStream(stream) + offset;
    origin = 0;
  }
  if (origin != 2) {
    origin = 0;
    if (offset >= stream->bufferOffset && offset < stream->bufferOffset + validBytes(stream)) {
      stream->position = stream->bufferStart + (offset - stream->bufferOffset);
      return 0;
    }
  }
  int32_t flushed = flushStream(stream, 0);
  if (flushed != 0) return flushed;
  int64_t reached = fileSeek(stream->handle, offset, origin);
  if (reached < 0) return static_cast<int32_t>(reached);
  emptyBuffer(stream);
  stream->bufferOffset = reached;
  return 0;
}

int64_t tellStream(const Stream* stream) {
  return (stream->position - stream->bufferStart) + stream->bufferOffset;
}

int32_t flushStream(Stream* stream, int32_t resetOutput) {
  if (stream->dirty == 0) return 0;
  if (stream->handle != 1) {
    int64_t reached = fileSeek(stream->handle, stream->bufferOffset, 0);
    if (reached < 0) {
      stream->error = static_cast<int32_t>(reached);
      return -1;
    }
  }
  int32_t count = static_cast<int32_t>(validBytes(stream));
  int64_t moved = writeDirect(stream, stream->bufferStart, count);
  if (moved < 0) {
    stream->error = static_cast<int32_t>(moved);
    return -1;
  }
  int32_t written = static_cast<int32_t>(moved);
  if (written < count) {
    stream->error = STATUS_SHORT_TRANSFER;
    return -1;
  }
  stream->dirty = 0;
  if (stream->handle == 1 && resetOutput != 0) {
    // The bytes are in the file now: the buffer starts where they end.
    stream->bufferOffset += count;
    emptyBuffer(stream);
  }
  return 0;
}

int32_t streamError(const Stream* stream) { return stream->error; }

void clearStreamError(Stream* stream) { stream->error = 0; }

namespace {

OutputFailureHandler outputFailureHandler = nullptr;

// Console output goes nowhere once standard output has failed.
bool outputUsable() { return stdoutStream != nullptr && stdoutStream->error == 0; }

// The buffered bytes can never be written: they are dropped rather than sent
// again with every later byte.
void failOutput() {
  if (stdoutStream->error == 0) stdoutStream->error = STATUS_SHORT_TRANSFER;
  stdoutStream->dirty = 0;
  emptyBuffer(stdoutStream);
  if (outputFailureHandler != nullptr) outputFailureHandler(stdoutStream->error);
}

}  // namespace

void setOutputFailureHandler(OutputFailureHandler handler) { outputFailureHandler = handler; }

void writeBytes(const char* text, int64_t length) {
  if (!outputUsable() || text == nullptr || length <= 0) return;
  if (writeItems(text, 1, length, stdoutStream) != length) failOutput();
}

void writeText(const char* text) {
  if (text == nullptr) return;
  writeBytes(text, static_cast<int64_t>(std::strlen(text)));
}

void flushOutput() {
  if (!outputUsable()) return;
  if (flushStream(stdoutStream, 1) != 0) failOutput();
}

void printMessageLine(const char* text) {
  writeText(text);
  writeText("\r\n");
  flushOutput();
}

void writeTextWithCr(const char* text, int64_t length) {
  if (text == nullptr) return;
  for (int64_t i = 0; i < length && outputUsable(); ++i) {
    if (text[i] == '\n' && putByte('\r', stdoutStream) < 0) {
      failOutput();
      return;
    }
    if (putByte(static_cast<uint8_t>(text[i]), stdoutStream) < 0) failOutput();
  }
}

void printErrorLine(const char* text) {
  if (text != nullptr) fileWrite(STANDARD_ERROR, text, static_cast<int32_t>(std::strlen(text)));
  fileWrite(STANDARD_ERROR, "\r\n", 2);
}
