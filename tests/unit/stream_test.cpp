// Tests of the buffered streams and the console-output functions.
#include "console/stream.h"

#include <cstring>
#include <vector>

#include "console/message_catalogue.h"
#include "files/file_handles.h"
#include "tests/unit/test_support.h"

namespace {

std::string pattern(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
  return text;
}

// A file of the test's own; contents() reads it beside the stream under test.
class StreamFile : public ::testing::Test {
 protected:
  Stream* open(const char* mode, int32_t capacity) {
    int32_t status = 1;
    Stream* stream = openStream(name_.c_str(), mode, &status, capacity);
    EXPECT_EQ(status, 0);
    return stream;
  }
  std::string contents() const { return test::readFile(name_); }

  test::TempDir dir_;
  const std::string name_ = dir_ / "stream.tmp";
};

TEST_F(StreamFile, OpenModesAndTheStandardHandles) {
  test::writeFile(name_, "x");
  struct Case {
    const char* mode;
    int32_t status;
  };
  for (const Case& c : {Case{"rb", 0}, {"wb", 0}, {"a+", 0}, {"a", 0}, {"r", -52}, {"w", -52},
                        {"rb+", -52}, {"", -52}}) {
    int32_t status = 1;
    Stream* stream = openStream(name_.c_str(), c.mode, &status, 512);
    EXPECT_EQ(status, c.status) << c.mode;
    EXPECT_EQ(stream == nullptr, c.status != 0) << c.mode;
    if (stream != nullptr) {
      EXPECT_EQ(closeStream(stream), 0);
    }
  }
  int32_t status = 1;
  EXPECT_EQ(openStream(name_.c_str(), "wbx", &status, 512), nullptr) << "the file exists";
  EXPECT_LT(status, 0);
  EXPECT_EQ(openStream((dir_ / "missing/none.tmp").c_str(), "rb", &status, 512), nullptr);
  EXPECT_EQ(status, -3);

  // Without a name: standard input for reading, standard output otherwise.
  Stream* input = openStreamDefault(nullptr, "rb");
  ASSERT_NE(input, nullptr);
  EXPECT_EQ(input->handle, 0);
  EXPECT_EQ(closeStream(input), 0);
  for (const char* mode : {"wb", "a+", "a", "wbx"}) {
    Stream* output = openStreamDefault(nullptr, mode);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->handle, 1) << mode;
    EXPECT_EQ(closeStream(output), 0);
  }
}

TEST_F(StreamFile, WritesLargerThanTheBufferBypassIt) {
  Stream* stream = open("wb", 512);
  ASSERT_NE(stream, nullptr);
  const std::string text = pattern(5000);
  EXPECT_EQ(writeItems(text.data(), 1, 100, stream), 100);
  // 412 bytes fill the buffer; the other 4488 go straight to the file.
  EXPECT_EQ(writeItems(text.data() + 100, 1, 4900, stream), 4900);
  EXPECT_EQ(contents(), text);
  // A write that fits after filling the buffer stays in it.
  EXPECT_EQ(writeItems(text.data(), 100, 6, stream), 6);
  EXPECT_EQ(tellStream(stream), 5600);
  EXPECT_EQ(closeStream(stream), 0);
  EXPECT_EQ(contents(), text + text.substr(0, 600));

  // Byte by byte across several fillings of the buffer: each byte once.
  stream = open("wb", 512);
  ASSERT_NE(stream, nullptr);
  for (char c : text) ASSERT_EQ(putByte(c, stream), static_cast<uint8_t>(c));
  EXPECT_EQ(closeStream(stream), 0);
  EXPECT_EQ(contents(), text);
}

TEST_F(StreamFile, ReadsLargerThanTheBufferBypassIt) {
  const std::string text = pattern(100000);
  test::writeFile(name_, text);
  Stream* stream = open("rb", STREAM_FILE_CAPACITY);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(getByte(stream), static_cast<uint8_t>(text[0]));
  std::vector<char> destination(65536);
  EXPECT_EQ(readItems(destination.data(), 1, 65536, stream), 65536);
  EXPECT_EQ(std::string(destination.data(), 65536), text.substr(1, 65536));
  EXPECT_EQ(tellStream(stream), 65537);
  // Items that straddle the end: only whole ones count, and -53 is noted.
  EXPECT_EQ(seekStream(stream, 99990, 0), 0);
  EXPECT_EQ(readItems(destination.data(), 4, 5, stream), 2);
  EXPECT_EQ(streamError(stream), -53);
  clearStreamError(stream);
  EXPECT_EQ(streamError(stream), 0);
  EXPECT_EQ(getByte(stream), -1) << "end of file";
  EXPECT_EQ(closeStream(stream), 0);
}

TEST_F(StreamFile, ReadAndWriteShareTheBuffer) {
  test::writeFile(name_, "0123456789");
  Stream* stream = open("a", 512);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(getByte(stream), '0');
  EXPECT_EQ(seekStream(stream, 4, 0), 0);
  EXPECT_EQ(writeItems("AB", 1, 2, stream), 2);
  EXPECT_EQ(getByte(stream), '6');
  EXPECT_EQ(seekStream(stream, 0, 2), 0) << "flushes, then seeks the file";
  EXPECT_EQ(tellStream(stream), 10);
  EXPECT_EQ(writeItems("!", 1, 1, stream), 1);
  EXPECT_EQ(closeStream(stream), 0);
  EXPECT_EQ(contents(), "0123AB6789!");
}

TEST(StreamConsole, StandardOutputIsFlushedButNeverSeekedOrClosed) {
  ::testing::internal::CaptureStdout();
  // Bytes written to handle 1 behind the stream's back: a seek to the
  // stream's offset 0 before its flush would overwrite them.
  const std::string before(600, '-');
  ASSERT_EQ(fileWrite(1, before.data(), 600), 600);
  Stream* output = openStreamDefault(nullptr, "wb");
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(writeItems("first", 1, 5, output), 5);
  EXPECT_EQ(flushStream(output, 1), 0);
  EXPECT_EQ(tellStream(output), 5);
  EXPECT_EQ(writeItems(" second", 1, 7, output), 7);
  EXPECT_EQ(closeStream(output), 0);
  EXPECT_EQ(fileWrite(1, ".", 1), 1) << "handle 1 stays open";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), before + "first second.");
}

// Bytes written in place into standard output's buffer take their turn
// between the bytes written before and after them. Room is offered only
// where writeItems would have kept the bytes in the buffer (short of its last
// byte, whose write flushes it), and none once output has failed.
TEST(StreamConsole, BytesWrittenInPlaceKeepTheirTurnInTheBuffer) {
  ::testing::internal::CaptureStdout();
  Stream* const saved = stdoutStream;
  stdoutStream = openStreamDefault(nullptr, "wb");
  ASSERT_NE(stdoutStream, nullptr);
  writeText("ab");
  EXPECT_EQ(outputRoom(STREAM_STDOUT_CAPACITY - 2), nullptr);
  uint8_t* room = outputRoom(STREAM_STDOUT_CAPACITY - 3);
  ASSERT_EQ(room, stdoutStream->bufferStart + 2);
  std::memcpy(room, "cd", 2);
  takeOutput(room + 2);
  writeText("ef");
  flushOutput();
  stdoutStream->error = MSG_ACCESS_DENIED;
  EXPECT_EQ(outputRoom(1), nullptr);
  stdoutStream->error = 0;
  EXPECT_EQ(closeStream(stdoutStream), 0);
  stdoutStream = saved;
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "abcdef");
}

// Console output into a stream that cannot be written (opened for reading):
// each console function, as the first to fail, reports the stream's status
// once, leaves nothing buffered to be sent again, and drops what follows.
std::vector<int32_t> reportedFailures;
void recordFailure(int32_t status) { reportedFailures.push_back(status); }

TEST(StreamConsole, TheFirstFailedWriteIsReportedOnceAndLaterOutputDropped) {
  const std::string big(600, 'x');
  const struct {
    const char* name;
    void (*write)(const std::string& big);
  } firstFailures[] = {
      {"writeBytes past the buffer", [](const std::string& b) { writeBytes(b.data(), 600); }},
      {"writeTextWithCr past the buffer",
       [](const std::string& b) { writeTextWithCr(b.data(), 600); }},
      {"printMessageLine", [](const std::string&) { printMessageLine("short"); }},
      {"flushOutput", [](const std::string&) { writeText("short"); flushOutput(); }},
  };
  test::TempFile file("content");
  Stream* const saved = stdoutStream;
  setOutputFailureHandler(recordFailure);
  for (const auto& first : firstFailures) {
    SCOPED_TRACE(first.name);
    int32_t status = 0;
    stdoutStream = openStream(file.name().c_str(), "rb", &status, STREAM_STDOUT_CAPACITY);
    ASSERT_NE(stdoutStream, nullptr) << status;
    reportedFailures.clear();
    first.write(big);
    ASSERT_EQ(reportedFailures.size(), 1u);
    EXPECT_EQ(reportedFailures[0], MSG_ACCESS_DENIED);
    EXPECT_EQ(streamError(stdoutStream), MSG_ACCESS_DENIED);

    writeBytes(big.data(), 600);
    writeTextWithCr("a\nb", 3);
    printMessageLine("dropped");
    flushOutput();
    EXPECT_EQ(reportedFailures.size(), 1u) << "nothing is written after the failure";

    clearStreamError(stdoutStream);
    writeText("again");
    EXPECT_EQ(stdoutStream->position - stdoutStream->bufferStart, 5) << "usable once cleared";
    EXPECT_EQ(closeStream(stdoutStream), -1);
  }
  stdoutStream = saved;
  setOutputFailureHandler(nullptr);
  EXPECT_EQ(test::readFile(file.name()), "content");
}

}  // namespace
