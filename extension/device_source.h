#pragma once

#include <cstdint>
#include <memory>

#include "extension/frame_factory.h"
#include "extension/frame_phase_lock.h"
#include "extension/sink_stream_source.h"
#include "extension/source_stream_source.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/extension_sources.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer_source.h"

namespace quillane {

// The one camera device: it owns the platform device, the output and sink streams, the frame
// factory, the frame queue and the frame clock. While the output stream runs, the clock sends
// one frame per 1/30 s: the newest sink frame fitted to the active format while it is fresh,
// the placeholder otherwise; a steady producer draws the ticks to just after its frames arrive.
// Create with std::make_shared. The host calls the device-source methods on its own threads (they
// touch no mutable state); the clock, every tick and the sink's newest frame live on the frame
// queue.
class DeviceSource : public platform::camera::ExtensionDeviceSource,
                     public std::enable_shared_from_this<DeviceSource> {
 public:
  // Age from which a sink frame is no longer shown.
  static constexpr uint64_t kStaleAfterNanos = 1'500'000'000;

  // `clock` paces the frame queue and timer and stamps arrivals and presentation times.
  explicit DeviceSource(
      std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::hostClock());
  DeviceSource(const DeviceSource&) = delete;
  DeviceSource& operator=(const DeviceSource&) = delete;

  const std::shared_ptr<platform::camera::ExtensionDevice>& device() const { return device_; }
  SourceStreamSource& source() const { return *source_; }
  SinkStreamSource& sink() const { return *sink_; }
  platform::dispatch::SerialQueue& queue() { return queue_; }
  const platform::dispatch::SerialQueue& queue() const { return queue_; }
  platform::dispatch::Clock& clock() const { return *clock_; }

  // Called by the output stream after its start or stop; enqueues the clock update and returns.
  void sourceStateChanged();
  // Whether the frame clock runs; frame queue only.
  bool isClockRunning() const {
    platform::dispatch::assertOnQueue(queue_);
    return timer_ != nullptr;
  }

  // The sink stored a frame stamped `arrivalNanos`; frame queue only.
  void sinkFrameArrived(uint64_t arrivalNanos);

  // Whether the sink's newest frame may be shown at `nowNanos`: the sink runs, a frame is there,
  // and it arrived less than kStaleAfterNanos ago (wrapping subtraction).
  static bool isSinkFrameFresh(bool sinkStreaming, bool hasLatestBuffer, uint64_t nowNanos,
                               uint64_t latestArrivalNanos);

  platform::camera::PropertySet availableProperties() override;
  platform::camera::ExtensionDeviceProperties deviceProperties(
      const platform::camera::PropertySet& keys) override;
  void setDeviceProperties(const platform::camera::ExtensionDeviceProperties& properties) override;

 private:
  // Starts or stops the frame clock to match the output stream; runs on the frame queue.
  void updateClock();
  // Sends one frame on the output stream; runs on the frame queue.
  void tick();
  // The fresh sink frame fitted to the format, or null; runs on the frame queue.
  platform::media::PixelBufferRef liveFrame(int64_t formatIndex, uint64_t nowNanos);

  // Declared so that the timer goes before the queue and the queue before what its work touches.
  std::shared_ptr<platform::dispatch::Clock> clock_;
  std::shared_ptr<platform::camera::ExtensionDevice> device_;
  std::shared_ptr<SourceStreamSource> source_;
  std::shared_ptr<SinkStreamSource> sink_;
  FrameFactory frames_;
  FramePhaseLock phaseLock_;  // frame queue only
  platform::dispatch::SerialQueue queue_;
  std::unique_ptr<platform::dispatch::TimerSource> timer_;  // frame queue only
};

}  // namespace quillane
