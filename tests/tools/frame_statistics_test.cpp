#include "tools/view/frame_statistics.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quillane::view {
namespace {

constexpr uint64_t kStart = 5'000'000'000;
constexpr uint64_t kMillis = 1'000'000;
constexpr tools::FrameSize kSize{1920, 1080};

ReceivedFrame frameAt(uint64_t sequenceNumber, uint64_t arrivalNanos) {
  return {sequenceNumber, arrivalNanos, kSize, platform::media::kPixelFormat32BGRA, std::nullopt,
          std::nullopt};
}

TEST(FrameStatisticsTest, RateIsTheFramesOverTheWatchedTimeEvenForABurst) {
  FrameStatistics statistics(kSize);
  statistics.watchStarted(kStart);
  // Three frames at once, 900 ms into the watch, then one a second later.
  for (uint64_t i = 0; i < 3; ++i) statistics.record(frameAt(10 + i, kStart + 900 * kMillis + i));
  const nlohmann::json first = statistics.secondLine(kStart + 1000 * kMillis);
  EXPECT_EQ(first["fps"], 3.0) << first;
  EXPECT_EQ(first["frames"], 3);
  const nlohmann::json burst = statistics.finalLine(kStart + 1000 * kMillis);
  EXPECT_EQ(burst["fps"], 3.0) << burst;
  EXPECT_EQ(burst["seconds"], 1.0) << burst;

  statistics.record(frameAt(13, kStart + 1900 * kMillis));
  EXPECT_EQ(statistics.secondLine(kStart + 2000 * kMillis)["fps"], 1.0);
  const nlohmann::json last = statistics.finalLine(kStart + 2500 * kMillis);
  EXPECT_EQ(last["fps"], 1.6) << last;
  EXPECT_EQ(last["seconds"], 2.5) << last;
  EXPECT_EQ(last["dropped"], 0) << last;
}

}  // namespace
}  // namespace quillane::view
