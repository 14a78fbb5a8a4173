#include "camd/frame_pump.h"

#include <string>
#include <utility>

#include "camd/app_id.h"
#include "camd/reporting.h"
#include "platform/io/pipe.h"

namespace camd {

namespace camera = platform::camera;
namespace media = platform::media;

namespace {

constexpr uint64_t kHeartbeatIntervalNanos = 500'000'000;
constexpr uint64_t kAttachThrottleNanos = 2'000'000'000;
// Room for a whole 1080p frame in the pipe, so the producer rarely waits on the tool.
constexpr std::size_t kInputPipeBytes = 1 << 20;

}  // namespace

FramePump::FramePump(std::shared_ptr<camera::HardwareClient> client, int inputFd,
                     std::shared_ptr<platform::dispatch::Clock> clock)
    : client_(std::move(client)),
      clock_(clock),
      inputFd_(inputFd),
      reader_(inputFd),
      converter_(clock),
      statusQueue_(std::string(kAppID) + ".camd.status", clock),
      attachQueue_(std::string(kAppID) + ".camd.attach", std::move(clock)) {}

int32_t FramePump::run() {
  start();
  while (pumpFrame()) {
  }
  return finish();
}

void FramePump::start() {
  platform::io::ignoreBrokenPipeSignal();
  platform::io::enlargePipeBuffer(inputFd_, kInputPipeBytes);
  // The first line is written before start() returns, so even an input that ends at once gets
  // it ahead of the final line; the timer takes over from there.
  statusQueue_.sync([this] {
    adopt(attach());
    printJSON(status());
  });
  heartbeat_ = std::make_unique<platform::dispatch::TimerSource>(statusQueue_);
  heartbeat_->schedule(clock_->nowNanos() + kHeartbeatIntervalNanos, kHeartbeatIntervalNanos, 0);
  heartbeat_->setEventHandler([this] { printJSON(status()); });
  heartbeat_->resume();
}

bool FramePump::pumpFrame() {
  const std::optional<FrameReader::Frame> frame = reader_.next();
  if (!frame) return false;
  if (const std::optional<Sink> sink = attachedSink()) {
    enqueue(*sink, *frame);
  } else {
    // Dropped: read while detached or while a try is in flight.
    statusQueue_.sync([this] { attachIfDue(); });
  }
  return true;
}

int32_t FramePump::finish() {
  // A try in flight ends first, so the final detach stops a stream it started; the heartbeat
  // beats meanwhile.
  awaitAttachTry();
  heartbeat_->cancel();
  const std::optional<std::string>& failure = reader_.failure();
  statusQueue_.sync([&] {
    detach();
    nlohmann::json report = status();
    if (failure) {
      logError(*failure + "; stopping");
      report["ok"] = false;
      report["message"] = *failure;
    }
    printJSON(report);
  });
  return failure ? 1 : 0;
}

void FramePump::awaitAttachTry() {
  // The try hands its outcome on before it ends; statusQueue_ takes it before later work.
  attachQueue_.sync([] {});
  statusQueue_.sync([] {});
}

std::optional<FramePump::Attachment> FramePump::attach() {
  const std::optional<CMIO::ObjectID> device = CMIO::findQuillaneDevice(*client_);
  if (!device) return std::nullopt;
  const std::optional<CMIO::ObjectID> stream = CMIO::sinkStream(*client_, *device);
  if (!stream) return std::nullopt;
  media::SimpleQueueRef queue;
  media::Status status = client_->copyBufferQueue(*stream, nullptr, &queue);
  if (status != camera::status::kNoError || !queue) {
    logError("CMIOStreamCopyBufferQueue failed: " + std::to_string(status) +
             " queue=" + (queue ? "ok" : "nil"));
    return std::nullopt;
  }
  status = client_->startStream(*device, *stream);
  if (status != camera::status::kNoError) {
    logError("CMIODeviceStartStream failed: " + std::to_string(status));
    return std::nullopt;
  }
  return Attachment{*device, *stream, std::move(queue)};
}

void FramePump::adopt(std::optional<Attachment> attachment) {
  platform::dispatch::assertOnQueue(statusQueue_);
  attachInFlight_ = false;
  if (!attachment) return;
  device_ = attachment->device;
  stream_ = attachment->stream;
  queue_ = std::move(attachment->queue);
  streaming_ = true;
  platform::base::MutexLock lock(sinkMutex_);
  sink_ = Sink{stream_, queue_};
}

void FramePump::detach() {
  platform::dispatch::assertOnQueue(statusQueue_);
  if (streaming_) {
    client_->stopStream(device_, stream_);
    streaming_ = false;
  }
  queue_.reset();
  {
    platform::base::MutexLock lock(sinkMutex_);
    sink_.reset();
  }
  device_ = 0;
  stream_ = 0;
  converter_.forgetFormatDescription();
}

nlohmann::json FramePump::status() {
  platform::dispatch::assertOnQueue(statusQueue_);
  if (queue_ && CMIO::findQuillaneDevice(*client_) != device_) {
    logError("camera device disappeared; detaching");
    detach();
  }
  const bool device = queue_ != nullptr || CMIO::findQuillaneDevice(*client_).has_value();
  return {{"ok", true}, {"device", device}, {"streaming", streaming_}, {"frames", frames_.load()}};
}

void FramePump::attachIfDue() {
  platform::dispatch::assertOnQueue(statusQueue_);
  if (queue_ || attachInFlight_) return;
  // On the monotonic clock, so a change of the wall-clock time can neither stall nor hurry the
  // retries.
  const uint64_t now = clock_->nowNanos();
  if (lastAttachAttempt_ && now - *lastAttachAttempt_ <= kAttachThrottleNanos) return;
  lastAttachAttempt_ = now;
  attachInFlight_ = true;
  attachQueue_.async([this] {
    statusQueue_.async([this, attachment = attach()]() mutable { adopt(std::move(attachment)); });
  });
}

std::optional<FramePump::Sink> FramePump::attachedSink() const {
  platform::base::MutexLock lock(sinkMutex_);
  return sink_;
}

void FramePump::enqueue(const Sink& sink, const FrameReader::Frame& frame) {
  // Only this thread enqueues, so a queue with room keeps it until the enqueue below.
  if (sink.queue->count() >= sink.queue->capacity()) return;
  media::PixelBufferRef picture = client_->pictureToFill(sink.stream, static_cast<int>(frame.width),
                                                         static_cast<int>(frame.height));
  if (!picture) return;
  media::SampleBufferRef sample = converter_.makeSample(frame.rgba, std::move(picture));
  if (!sample) return;
  const media::Status status = sink.queue->enqueue(std::move(sample));
  if (status == media::kStatusOK) {
    ++frames_;
  } else {
    logError("enqueue failed: " + std::to_string(status));
  }
}

}  // namespace camd
