#include "tools/view/frame_statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "tools/view/view_options.h"

namespace quillane::view {
namespace {

constexpr double kNanosPerSecond = 1e9;

double rounded(double value) {
  return std::round(value * 100) / 100;
}

uint32_t saturated(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

// The nearest-rank percentile of microsecond samples, in milliseconds.
double percentileMillis(std::vector<uint32_t> samples, double percent) {
  if (samples.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(percent / 100 * samples.size()));
  const auto at = samples.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
  std::nth_element(samples.begin(), at, samples.end());
  return rounded(*at / 1000.0);
}

}  // namespace

void FrameStatistics::watchStarted(uint64_t startNanos) {
  startNanos_ = lineNanos_ = startNanos;
}

void FrameStatistics::record(const ReceivedFrame& frame) {
  if (frames_ > 0) {
    intervalsMicros_.push_back(saturated((frame.arrivalNanos - lastArrivalNanos_) / 1000));
    // A counter that went back belongs to a camera that started over; nothing was missed.
    if (frame.sequenceNumber > lastSequenceNumber_) {
      dropped_ += frame.sequenceNumber - lastSequenceNumber_ - 1;
    }
  }
  ++frames_;
  lastArrivalNanos_ = frame.arrivalNanos;
  lastSequenceNumber_ = frame.sequenceNumber;
  size_ = frame.size;
  pixelFormat_ = frame.pixelFormat;
  if (frame.latencyMicros) latenciesMicros_.push_back(saturated(*frame.latencyMicros));
  if (frame.ptsLatencyMicros) ptsLatenciesMicros_.push_back(saturated(*frame.ptsLatencyMicros));
}

nlohmann::json FrameStatistics::secondLine(uint64_t nowNanos) {
  const double seconds = (nowNanos - lineNanos_) / kNanosPerSecond;
  const double fps = seconds > 0 ? (frames_ - lineFrames_) / seconds : 0;
  lineFrames_ = frames_;
  lineNanos_ = nowNanos;
  return {{"fps", rounded(fps)}, {"frames", frames_}};
}

nlohmann::json FrameStatistics::finalLine(uint64_t endNanos) const {
  const double seconds = (endNanos - startNanos_) / kNanosPerSecond;
  nlohmann::json line = {
      {"dropped", dropped_},
      {"fps", rounded(seconds > 0 ? frames_ / seconds : 0)},
      {"frames", frames_},
      {"interval_ms_p50", percentileMillis(intervalsMicros_, 50)},
      {"interval_ms_p99", percentileMillis(intervalsMicros_, 99)},
      {"seconds", rounded(seconds)},
      {"size", tools::sizeText(size_.value_or(requested_))}};
  if (frames_ > 0) line["format"] = pixelFormatName(pixelFormat_);
  for (const auto& [name, samples] :
       {std::pair{"latency", &latenciesMicros_}, std::pair{"pts_latency", &ptsLatenciesMicros_}}) {
    if (samples->empty()) continue;
    line[std::string(name) + "_ms_p50"] = percentileMillis(*samples, 50);
    line[std::string(name) + "_ms_p99"] = percentileMillis(*samples, 99);
  }
  if (size_ && *size_ != requested_) line["requested_size"] = tools::sizeText(requested_);
  return line;
}

}  // namespace quillane::view
