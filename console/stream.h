// Buffered files over file handles, and the console-output functions that
// write the program's text to standard output. See stream.cpp.
#pragma once

#include <cstdint>

constexpr int32_t STREAM_STDOUT_CAPACITY = 512;
constexpr int32_t STREAM_STDOUT_PIPE_CAPACITY = 65536;  // standard output into a file or pipe
constexpr int32_t STREAM_FILE_CAPACITY = 10240;

// One allocation: this header directly followed by the buffer.
struct Stream {
  int32_t handle;        // 0 standard input, 1 standard output without a name
  uint8_t* bufferStart;  // directly after the header
  uint8_t* position;     // next byte to read or write
  uint8_t* validEnd;     // one past the last valid byte
  uint8_t* bufferEnd;    // bufferStart + capacity
  int32_t capacity;
  int64_t bufferOffset;  // file offset of the byte at bufferStart
  int32_t error;         // last error status, 0 when none
  uint8_t dirty;         // the buffer holds bytes not yet written
};

Stream* openStream(const char* name, const char* mode, int32_t* status, int32_t capacity);
Stream* openStreamDefault(const char* name, const char* mode);
int32_t closeStream(Stream* stream);
int32_t putByte(int32_t c, Stream* stream);
int64_t writeItems(const void* data, int32_t size, int64_t count, Stream* stream);
int32_t getByte(Stream* stream);
int64_t readItems(void* destination, int32_t size, int64_t count, Stream* stream);
int32_t seekStream(Stream* stream, int64_t offset, int32_t origin);
int64_t tellStream(const Stream* stream);
int32_t flushStream(Stream* stream, int32_t resetOutput);
int32_t streamError(const Stream* stream);
void clearStreamError(Stream* stream);

// Standard output, opened at start-up with openStreamDefault(nullptr, "wb").
extern Stream* stdoutStream;

// The console-output functions write to stdoutStream. The first of them whose
// write fails drops what is buffered, calls the output-failure handler with
// the stream's error status, and from then on, while the stream's error is
// set, every console output is dropped without a write.
void writeBytes(const char* text, int64_t length);
void writeText(const char* text);
// The text, "\r\n", and a flush: every diagnostic line goes through it.
void printMessageLine(const char* text);
// Every byte, with a carriage return put before each line feed.
void writeTextWithCr(const char* text, int64_t length);
// flushStream(stdoutStream, 1), with a failure handled as above.
void flushOutput();
// Room for `length` bytes written in place into standard output's buffer:
// where they go, or null when they do not fit in what is left of it or
// output has failed. The caller then writes through writeBytes, which fills
// the buffer and flushes it, so the flushes fall where they would anyway.
// After writing, takeOutput(end) counts the bytes up to end as written.
inline uint8_t* outputRoom(int64_t length) {
  Stream* output = stdoutStream;
  if (output == nullptr || output->error != 0 || length >= output->bufferEnd - output->position) {
    return nullptr;
  }
  return output->position;
}
inline void takeOutput(uint8_t* end) {
  Stream* output = stdoutStream;
  if (end <= output->position) return;
  output->position = end;
  if (end > output->validEnd) output->validEnd = end;
  output->dirty = 1;
}

typedef void (*OutputFailureHandler)(int32_t status);
// The function called once when standard output cannot be written; none at
// first. It may end the process.
void setOutputFailureHandler(OutputFailureHandler handler);

// The text and "\r\n" straight to standard error, unbuffered: for the one
// message that standard output can no longer carry.
void printErrorLine(const char* text);
