#include "camd/frame_reader.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"

namespace camd {
namespace {

using testing::frame;
using testing::frameHeader;
using testing::pipeWith;

constexpr const char* kCutPayload = "EOF mid-frame (writer stopped abruptly)";

TEST(FrameReader, ReadsConsecutiveFramesIntoABufferThatOnlyGrows) {
  testing::ReportCapture capture;
  std::string rgba = frameHeader(2, 1, 8) + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  testing::Pipe pipe = pipeWith(rgba + frame(4, 4) + frame(1, 1));
  FrameReader reader(pipe.reader.get());

  auto first = reader.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->width, 2);
  EXPECT_EQ(first->height, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->rgba), 8), rgba.substr(16));
  std::vector<std::size_t> capacities{reader.payloadCapacity()};
  std::vector<int64_t> widths;
  while (auto got = reader.next()) {
    widths.push_back(got->width);
    capacities.push_back(reader.payloadCapacity());
  }
  EXPECT_EQ(widths, (std::vector<int64_t>{4, 1}));
  EXPECT_EQ(capacities, (std::vector<std::size_t>{8, 64, 64}));
  EXPECT_FALSE(reader.failure());  // ended cleanly at a frame boundary
  EXPECT_TRUE(capture.errorLines().empty());
}

TEST(FrameReader, AcceptsTheLargestFrame) {
  // 8192 × 8192 × 4 bytes: written by a thread, since no pipe holds it. A rejected frame closes
  // the pipe, so the writer fails instead of waiting for ever.
  ::signal(SIGPIPE, SIG_IGN);
  testing::Pipe pipe;
  std::thread writer([&] {
    try {
      testing::writeAll(pipe, frameHeader(8192, 8192, 268435456));
      const std::string chunk(1 << 20, '\x11');
      for (int i = 0; i < 256; ++i) testing::writeAll(pipe, chunk);
    } catch (const std::exception&) {
    }
    pipe.writer.reset();
  });
  FrameReader reader(pipe.reader.get());
  auto got = reader.next();
  pipe.reader.reset();
  writer.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->rgba[268435455], 0x11);
  EXPECT_EQ(reader.payloadCapacity(), 268435456u);
}

// Every way a stream stops: the reader's failure for a malformed one (and nothing logged, the
// frame pump reports it), and what the reader logged for one that ends.
struct Stop {
  std::string name;
  std::string bytes;
  std::optional<std::string> failure;
  std::vector<std::string> errors;
};

// A valid frame follows the bad header: the reader must not resynchronise on it.
Stop malformed(std::string name, const std::string& header, std::string failure) {
  return {std::move(name), header + frame(1, 1), std::move(failure), {}};
}

class FrameReaderStops : public ::testing::TestWithParam<Stop> {};

TEST_P(FrameReaderStops, ForGood) {
  testing::ReportCapture capture;
  testing::Pipe pipe = pipeWith(GetParam().bytes);
  FrameReader reader(pipe.reader.get());
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(reader.failure(), GetParam().failure);
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(capture.errorLines(), GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(
    AtTheEndOfInput, FrameReaderStops,
    ::testing::Values(
        Stop{"Empty", "", std::nullopt, {}},
        Stop{"InsideTheHeader", frame(1, 1).substr(0, 10), std::nullopt, {}},
        Stop{"InsideThePayload", frame(2, 2).substr(0, 16 + 15), std::nullopt, {kCutPayload}}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    AtABadMagic, FrameReaderStops,
    ::testing::Values(malformed("LowerCase", frameHeader(1, 1, 4, "qln1"), "bad frame magic"),
                      malformed("OtherDigit", frameHeader(1, 1, 4, "QLN2"), "bad frame magic"),
                      malformed("FirstByte", frameHeader(1, 1, 4, "XLN1"), "bad frame magic"),
                      malformed("ThirdByte", frameHeader(1, 1, 4, "QLM1"), "bad frame magic"),
                      malformed("PixelBytesFirst", std::string(16, '\x80'), "bad frame magic")),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    AtABadHeader, FrameReaderStops,
    ::testing::Values(
        malformed("WidthZero", frameHeader(0, 2, 0), "bad frame header 0x2 len=0"),
        malformed("HeightZero", frameHeader(2, 0, 0), "bad frame header 2x0 len=0"),
        malformed("Width8193", frameHeader(8193, 1, 32772), "bad frame header 8193x1 len=32772"),
        malformed("Height8193", frameHeader(1, 8193, 32772), "bad frame header 1x8193 len=32772"),
        malformed("WidthAllOnes", frameHeader(0xFFFFFFFF, 1, 4),
                  "bad frame header 4294967295x1 len=4"),
        malformed("LengthOneTooMany", frameHeader(2, 2, 17), "bad frame header 2x2 len=17"),
        malformed("ThreeBytesPerPixel", frameHeader(1920, 1080, 6220800),
                  "bad frame header 1920x1080 len=6220800"),
        malformed("LengthZeroForAFullSizeFrame", frameHeader(8192, 8192, 0),
                  "bad frame header 8192x8192 len=0")),
    [](const auto& test) { return test.param.name; });

// A read error ends the stream like an end of input, after saying which error.
TEST(FrameReader, ReadErrorsAreLoggedWithTheirNumber) {
  testing::ReportCapture capture;
  {
    testing::Pipe pipe;
    FrameReader reader(pipe.writer.get());  // reading a pipe's write end fails with EBADF
    EXPECT_FALSE(reader.next());
    EXPECT_FALSE(reader.failure());
  }
  {
    // A non-blocking socket that runs dry inside the payload fails with EAGAIN.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    platform::base::UniqueFd ours(fds[0]), theirs(fds[1]);
    const std::string partial = frame(2, 2).substr(0, 20);
    ASSERT_EQ(::write(ours.get(), partial.data(), partial.size()), ssize_t(partial.size()));
    ASSERT_EQ(::fcntl(theirs.get(), F_SETFL, O_NONBLOCK), 0);
    FrameReader reader(theirs.get());
    EXPECT_FALSE(reader.next());
    EXPECT_FALSE(reader.failure());
  }
  EXPECT_EQ(capture.errorLines(),
            (std::vector<std::string>{"stdin read error " + std::to_string(EBADF),
                                      "stdin read error " + std::to_string(EAGAIN), kCutPayload}));
}

std::atomic<int> interruptions{0};

// Reads whether a thread sleeps in the kernel, i.e. is blocked in its read.
char threadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// Yields until `done` holds or 5 s have passed.
void waitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

TEST(FrameReader, AReadInterruptedByASignalIsRepeated) {
  testing::ReportCapture capture;
  struct sigaction action {};
  action.sa_handler = [](int) { interruptions.fetch_add(1); };
  action.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  testing::Pipe pipe;
  std::atomic<pid_t> readerTid{0};
  std::optional<int64_t> width;
  std::thread readerThread([&] {
    readerTid = ::gettid();
    FrameReader reader(pipe.reader.get());
    if (auto got = reader.next()) width = got->width;
  });
  waitUntil([&] { return readerTid != 0 && threadState(readerTid) == 'S'; });
  ASSERT_EQ(::pthread_kill(readerThread.native_handle(), SIGUSR1), 0);
  waitUntil([] { return interruptions != 0; });
  testing::writeAll(pipe, frame(3, 1));
  readerThread.join();
  ::sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(interruptions, 1);
  EXPECT_EQ(width, 3);
  EXPECT_TRUE(capture.errorLines().empty());
}

}  // namespace
}  // namespace camd
