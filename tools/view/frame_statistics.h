#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/media/status.h"
#include "tools/arguments.h"

namespace quillane::view {

// One frame as the viewer received it.
struct ReceivedFrame {
  uint64_t sequenceNumber;  // the camera's frame counter
  uint64_t arrivalNanos;    // host clock
  tools::FrameSize size;
  platform::media::FourCC pixelFormat;
  std::optional<uint64_t> latencyMicros;  // from the producer's stamp, when it carried one
  // From the presentation time the camera gave the frame, when it gave one before the arrival.
  std::optional<uint64_t> ptsLatencyMicros;
};

// What the viewer reports about the frames it received: a line a second while it runs and a
// final line. Confined to the viewer's watch queue (the final report is made after it ended).
class FrameStatistics {
 public:
  explicit FrameStatistics(tools::FrameSize requested) : requested_(requested) {}

  // The camera streams to the viewer from `startNanos` on; before any record().
  void watchStarted(uint64_t startNanos);
  void record(const ReceivedFrame& frame);
  uint64_t frames() const { return frames_; }

  // {"fps", "frames"}: the rate since the previous line (or the watch's start), and the total.
  nlohmann::json secondLine(uint64_t nowNanos);

  // {"dropped", "fps", "frames", "interval_ms_p50", "interval_ms_p99", "seconds", "size"}, plus
  // "format" (of the last frame) once frames came, "latency_ms_p50" and "latency_ms_p99" when
  // frames carried stamps, "pts_latency_ms_p50" and "pts_latency_ms_p99" when they carried
  // presentation times, and "requested_size" when the camera sent another size than the one
  // asked for. `endNanos`: when the watch ended; the rate is the frames over the watched time, so
  // a burst at the start cannot inflate it.
  nlohmann::json finalLine(uint64_t endNanos) const;

 private:
  tools::FrameSize requested_;
  uint64_t frames_ = 0;
  uint64_t dropped_ = 0;
  std::optional<tools::FrameSize> size_;  // of the last frame
  platform::media::FourCC pixelFormat_ = 0;
  uint64_t startNanos_ = 0;
  uint64_t lastArrivalNanos_ = 0;
  uint64_t lastSequenceNumber_ = 0;
  uint64_t lineFrames_ = 0;  // frames at the previous second's line
  uint64_t lineNanos_ = 0;   // and when it was made
  std::vector<uint32_t> intervalsMicros_;
  std::vector<uint32_t> latenciesMicros_;
  std::vector<uint32_t> ptsLatenciesMicros_;
};

}  // namespace quillane::view
