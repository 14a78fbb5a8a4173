#include "extension/device_source.h"

#include <string>

#include "extension/app_id.h"
#include "extension/camera_ids.h"
#include "extension/fatal_error.h"
#include "extension/video_format.h"

namespace quillane {
namespace {

using platform::camera::ExtensionDevice;
using platform::camera::ExtensionDeviceProperties;
using platform::camera::PropertyKey;
using platform::camera::PropertySet;
using platform::camera::StreamDirection;
using platform::media::MediaTime;
using platform::media::PixelBufferRef;

constexpr char kDeviceName[] = "Quillane Camera";
constexpr char kDeviceModel[] = "Quillane Virtual Camera";
constexpr char kOutputStreamName[] = "Quillane Camera";
constexpr char kSinkStreamName[] = "Quillane Camera Sink";

constexpr uint64_t kTickIntervalNanos = static_cast<uint64_t>(VideoFormat::frameInterval * 1e9);
constexpr uint64_t kTickLeewayNanos = 2'000'000;

}  // namespace

DeviceSource::DeviceSource(std::shared_ptr<platform::dispatch::Clock> clock)
    : clock_(std::move(clock)),
      device_(
          ExtensionDevice::create(kDeviceName, CameraIDs::device(), CameraIDs::deviceUID(), *this)),
      source_(std::make_shared<SourceStreamSource>(*this, kOutputStreamName, CameraIDs::source(),
                                                   StreamDirection::Source)),
      sink_(std::make_shared<SinkStreamSource>(*this, kSinkStreamName, CameraIDs::sink(),
                                               StreamDirection::Sink)),
      phaseLock_(kTickIntervalNanos),
      queue_(std::string(APP_ID) + ".camera.frames", clock_) {
  for (const auto& stream : {source_->stream(), sink_->stream()}) {
    if (auto error = device_->addStream(stream)) {
      fatalError("the device refused a stream: " + error->description);
    }
  }
}

void DeviceSource::sinkFrameArrived(uint64_t arrivalNanos) {
  platform::dispatch::assertOnQueue(queue_);
  phaseLock_.frameArrived(arrivalNanos);
}

void DeviceSource::sourceStateChanged() {
  queue_.async([self = shared_from_this()] { self->updateClock(); });
}

bool DeviceSource::isSinkFrameFresh(bool sinkStreaming, bool hasLatestBuffer, uint64_t nowNanos,
                                    uint64_t latestArrivalNanos) {
  return sinkStreaming && hasLatestBuffer && nowNanos - latestArrivalNanos < kStaleAfterNanos;
}

PropertySet DeviceSource::availableProperties() {
  return {PropertyKey::DeviceTransportType, PropertyKey::DeviceModel};
}

ExtensionDeviceProperties DeviceSource::deviceProperties(const PropertySet& keys) {
  ExtensionDeviceProperties properties;
  if (keys.contains(PropertyKey::DeviceTransportType)) {
    properties.transportType = platform::camera::kTransportTypeVirtual;
  }
  if (keys.contains(PropertyKey::DeviceModel)) properties.model = kDeviceModel;
  return properties;
}

void DeviceSource::setDeviceProperties(const ExtensionDeviceProperties&) {}

void DeviceSource::updateClock() {
  platform::dispatch::assertOnQueue(queue_);
  // The flag is read now, not when the update was enqueued.
  const bool streaming = source_->isStreaming();
  if (streaming && !timer_) {
    timer_ = std::make_unique<platform::dispatch::TimerSource>(queue_);
    const uint64_t now = clock_->nowNanos();
    timer_->schedule(now, kTickIntervalNanos, kTickLeewayNanos);
    phaseLock_.clockStarted(now);
    timer_->setEventHandler([weakSelf = weak_from_this()] {
      if (auto self = weakSelf.lock()) self->tick();
    });
    timer_->resume();
  } else if (!streaming && timer_) {
    timer_->cancel();
    timer_.reset();
  }
}

void DeviceSource::tick() {
  platform::dispatch::assertOnQueue(queue_);
  // Read once: a format change mid-tick applies from the next tick.
  const int64_t formatIndex = source_->activeFormatIndex();
  const uint64_t now = clock_->nowNanos();
  if (auto moved = phaseLock_.tickFired(now)) {
    timer_->schedule(*moved, kTickIntervalNanos, kTickLeewayNanos);
  }
  PixelBufferRef frame = liveFrame(formatIndex, now);
  if (!frame) frame = frames_.placeholder(formatIndex);
  if (!frame) return;
  auto sample =
      FrameFactory::sampleBuffer(std::move(frame), formatIndex, MediaTime::fromNanos(now));
  if (!sample) return;
  source_->stream()->sendSampleBuffer(std::move(sample), platform::camera::kDiscontinuityNone, now);
}

PixelBufferRef DeviceSource::liveFrame(int64_t formatIndex, uint64_t nowNanos) {
  const SinkStreamSource::LatestFrame& latest = sink_->latestFrame();
  if (!isSinkFrameFresh(sink_->isStreaming(), latest.buffer != nullptr, nowNanos,
                        latest.arrivalNanos)) {
    return nullptr;
  }
  const PixelBufferRef& picture = latest.buffer->imageBuffer();
  return picture ? frames_.conform(picture, formatIndex) : nullptr;
}

}  // namespace quillane
