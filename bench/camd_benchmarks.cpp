// The frame pump's throughput on 1920 × 1080 RGBA frames arriving through a pipe, against the
// same pipe drained by a plain reader and against ffmpeg doing the same RGBA→BGRA conversion;
// and the resident memory while streaming.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "camd/frame_pump.h"
#include "camd/reporting.h"
#include "tests/camd/fake_camera.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/quiet_pump_environment.h"

extern char** environ;

namespace {

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr int kFramesPerRun = 120;
constexpr int kPipeBytes = 1 << 20;

// Resident and peak resident memory of this process, in MiB.
double statusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  }
  return 0;
}

// A pipe of the pump's size whose writer thread sends `frames` copies of `bytes`, then closes.
class Producer {
 public:
  Producer(const std::string& bytes, int frames) {
    ::fcntl(pipe_.writer.get(), F_SETPIPE_SZ, kPipeBytes);
    thread_ = std::thread([this, &bytes, frames] {
      for (int i = 0; i < frames; ++i) camd::testing::writeAll(pipe_, bytes);
      pipe_.writer.reset();
    });
  }
  ~Producer() { thread_.join(); }
  int readFd() const { return pipe_.reader.get(); }

 private:
  camd::testing::Pipe pipe_;
  std::thread thread_;
};

const std::string& frameBytes() {
  static const std::string bytes = camd::testing::frame(kWidth, kHeight, 0x5A);
  return bytes;
}

// The pump attached to a camera that takes every buffer.
void BM_FramePump1080p(benchmark::State& state) {
  platform::camera::CameraHost& host = camd::testing::quietPumpEnvironment();
  camd::testing::FakeCamera camera(host, camd::testing::FakeCamera::Options{.keepsTaken = false});
  camera.publish();
  double rss = 0;
  for (auto _ : state) {
    Producer producer(frameBytes(), kFramesPerRun);
    camd::FramePump pump(host.connect(), producer.readFd());
    pump.start();
    for (int i = 0; i < kFramesPerRun && pump.pumpFrame(); ++i) {
      if (i == kFramesPerRun / 2) rss = statusMiB("VmRSS:");  // while streaming
    }
    pump.pumpFrame();
    pump.finish();
  }
  state.SetItemsProcessed(state.iterations() * kFramesPerRun);
  state.counters["fps"] =
      benchmark::Counter(state.iterations() * kFramesPerRun, benchmark::Counter::kIsRate);
  state.counters["rss_MiB"] = rss;
  state.counters["taken"] = camera.takenCount();
}
BENCHMARK(BM_FramePump1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// The same pipe and producer, drained by a reader that only reads.
void BM_PlainReader1080p(benchmark::State& state) {
  camd::testing::quietPumpEnvironment();
  std::vector<char> buffer(frameBytes().size());
  for (auto _ : state) {
    Producer producer(frameBytes(), kFramesPerRun);
    while (::read(producer.readFd(), buffer.data(), buffer.size()) > 0) {
    }
  }
  state.counters["fps"] =
      benchmark::Counter(state.iterations() * kFramesPerRun, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainReader1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

std::string findFfmpeg() {
  for (const char* dir : {"/usr/bin", "/usr/local/bin"}) {
    const std::string path = std::string(dir) + "/ffmpeg";
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// ffmpeg converting the same raw RGBA frames to BGRA, output thrown away.
void BM_Ffmpeg1080p(benchmark::State& state) {
  const std::string ffmpeg = findFfmpeg();
  if (ffmpeg.empty()) {
    state.SkipWithError("ffmpeg not installed");
    return;
  }
  const std::string raw = frameBytes().substr(16);
  for (auto _ : state) {
    Producer producer(raw, kFramesPerRun);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, producer.readFd(), 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* args[] = {ffmpeg.c_str(), "-nostdin",  "-f", "rawvideo", "-pix_fmt", "rgba",
                          "-s",           "1920x1080", "-i", "-",        "-f",       "rawvideo",
                          "-pix_fmt",     "bgra",      "-",  nullptr};
    // -nostdin only stops ffmpeg reading keys; "-i -" still reads the frames from descriptor 0.
    pid_t pid = 0;
    posix_spawn(&pid, ffmpeg.c_str(), &actions, nullptr, const_cast<char* const*>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  state.counters["fps"] =
      benchmark::Counter(state.iterations() * kFramesPerRun, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Ffmpeg1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
