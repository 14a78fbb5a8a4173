#include "tools/view/viewer.h"

#include <algorithm>
#include <cstdio>

#include "tools/frame_stamp.h"

namespace quillane::view {
namespace {

using platform::media::BaseAddressLock;
using platform::media::PixelBuffer;
using platform::media::SampleBufferRef;

constexpr uint64_t kNanosPerSecond = 1'000'000'000;
// How often the camera is looked for while it is not there.
constexpr uint64_t kLookIntervalNanos = 20'000'000;
// Frames waiting for the PNG encoder, which writes only every K-th frame, and for the Y4M one.
constexpr long kPngBacklog = 2;
constexpr long kY4mBacklog = 4;

std::string sizeName(const OfferedFormat& format) {
  return tools::sizeText(format.size);
}
std::string formatName(const OfferedFormat& format) {
  return std::string(pixelFormatName(format.pixelFormat));
}

// The names of what the camera offers, each once, in its order: " 1920x1080 1280x720 640x480".
std::string listed(const std::vector<OfferedFormat>& offered,
                   std::string (*name)(const OfferedFormat&)) {
  std::vector<std::string> names;
  for (const OfferedFormat& format : offered) {
    if (std::find(names.begin(), names.end(), name(format)) == names.end()) {
      names.push_back(name(format));
    }
  }
  std::string list;
  for (const std::string& each : names) list.append(" ").append(each);
  return list;
}

std::string pngPath(const std::string& folder, uint64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame-%06llu.png", static_cast<unsigned long long>(number));
  return folder + name;
}

}  // namespace

Viewer::Viewer(std::shared_ptr<platform::camera::HardwareClient> client, std::string deviceUID,
               ViewOptions options, std::unique_ptr<Y4mStream> y4m, FILE* lines,
               std::shared_ptr<platform::dispatch::Clock> clock, std::function<void()> ended)
    : deviceUID_(std::move(deviceUID)),
      options_(std::move(options)),
      lines_(lines),
      ended_(std::move(ended)),
      session_(std::move(client)),
      statistics_(options_.size),
      queue_("quillane-view.watch", std::move(clock)),
      timer_(queue_) {
  const auto failed = [this](const std::string& message) { encoderFailed(message); };
  if (options_.pngFolder) {
    pngEncoder_ = std::make_unique<EncoderQueue>(
        "quillane-view.png", kPngBacklog,
        [folder = *options_.pngFolder](platform::media::SampleBuffer& frame, uint64_t number) {
          return writePng(*frame.imageBuffer(), pngPath(folder, number));
        },
        failed);
  }
  if (y4m) {
    y4mEncoder_ = std::make_unique<EncoderQueue>(
        "quillane-view.y4m", kY4mBacklog,
        [stream = std::shared_ptr<Y4mStream>(std::move(y4m))](platform::media::SampleBuffer& frame,
                                                              uint64_t) {
          return stream->append(*frame.imageBuffer());
        },
        failed);
  }
}

Viewer::~Viewer() = default;

void Viewer::start() {
  queue_.async([this] {
    waitDeadlineNanos_ = nowNanos() + static_cast<uint64_t>(options_.waitSeconds * kNanosPerSecond);
    lookForCamera();
  });
}

void Viewer::lookForCamera() {
  platform::dispatch::assertOnQueue(queue_);
  if (outcome_) return;
  if (session_.find(deviceUID_)) {
    startWatching();
  } else if (nowNanos() < waitDeadlineNanos_) {
    queue_.asyncAfter(nowNanos() + kLookIntervalNanos, [this] { lookForCamera(); });
  } else {
    end(1, "camera not found");
  }
}

std::optional<uint32_t> Viewer::formatToAskFor() {
  platform::dispatch::assertOnQueue(queue_);
  const std::vector<OfferedFormat>& offered = session_.offeredFormats();
  if (std::none_of(offered.begin(), offered.end(),
                   [&](const OfferedFormat& format) { return format.size == options_.size; })) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about "text" + std::string.
    std::string message = "size ";
    message.append(tools::sizeText(options_.size)).append(" is not offered; the camera offers");
    end(2, message.append(listed(offered, sizeName)));
    return std::nullopt;
  }
  const platform::media::FourCC pixelFormat = options_.pixelFormat.value_or(
      session_.runningPixelFormat().value_or(platform::media::kPixelFormat32BGRA));
  const auto found =
      std::find(offered.begin(), offered.end(), OfferedFormat{pixelFormat, options_.size});
  if (found == offered.end()) {
    std::string message = "format ";
    message.append(pixelFormatName(pixelFormat)).append(" is not offered; the camera offers");
    end(2, message.append(listed(offered, formatName)));
    return std::nullopt;
  }
  return static_cast<uint32_t>(found - offered.begin());
}

void Viewer::startWatching() {
  platform::dispatch::assertOnQueue(queue_);
  const std::optional<uint32_t> index = formatToAskFor();
  if (!index) return;
  // Runs on a host thread: only hops over.
  if (!session_.start(*index, [this] { queue_.async([this] { drain(); }); })) {
    // The daemon refuses a watcher in another pixel format than the camera runs in.
    const std::optional<platform::media::FourCC> running = session_.runningPixelFormat();
    std::string message = "the camera did not start streaming";
    if (running && *running != session_.offeredFormats()[*index].pixelFormat) {
      message.append(": it streams ")
          .append(pixelFormatName(*running))
          .append(" to another watcher");
    }
    end(1, message);
    return;
  }
  // Frames that came while the stream was starting waited unobserved, so their arrival times are
  // unknown: the watch begins with the next one.
  while (session_.nextFrame()) {
  }
  streaming_ = true;
  const uint64_t started = nowNanos();
  statistics_.watchStarted(started);
  timer_.schedule(started + kNanosPerSecond, kNanosPerSecond, kNanosPerSecond / 100);
  timer_.setEventHandler([this] { everySecond(); });
  timer_.resume();
  if (options_.seconds) {
    queue_.asyncAfter(started + static_cast<uint64_t>(*options_.seconds * kNanosPerSecond),
                      [this] { end(0); });
  }
}

void Viewer::drain() {
  platform::dispatch::assertOnQueue(queue_);
  // Only the frames waiting now: a viewer slower than the camera would otherwise never let the
  // timer, an end or finish() have the queue.
  for (int32_t waiting = session_.framesWaiting(); waiting > 0 && !outcome_; --waiting) {
    const SampleBufferRef frame = session_.nextFrame();
    if (!frame) return;
    receive(frame);
    if (options_.frames && statistics_.frames() >= *options_.frames) end(0);
  }
}

void Viewer::receive(const SampleBufferRef& frame) {
  platform::dispatch::assertOnQueue(queue_);
  const uint64_t arrival = nowNanos();
  PixelBuffer& picture = *frame->imageBuffer();
  std::optional<uint64_t> stamp;
  {
    BaseAddressLock pixels(picture, PixelBuffer::LockFlags::ReadOnly);
    if (pixels.data()) {
      stamp = tools::frame_stamp::read({pixels.data(), picture.width(), picture.height(),
                                        picture.bytesPerRow(),
                                        picture.pixelFormat() == platform::media::kPixelFormatYUY2
                                            ? tools::frame_stamp::Layout::kYuy2
                                            : tools::frame_stamp::Layout::kFourBytes});
    }
  }
  // The camera's presentation time is on the host clock, as the arrival is.
  const platform::media::MediaTime pts = frame->presentationTimeStamp();
  const bool ptsBefore = pts.valid && pts.nanos() >= 0 && uint64_t(pts.nanos()) <= arrival;
  statistics_.record(
      {frame->sequenceNumber(),
       arrival,
       {static_cast<uint32_t>(picture.width()), static_cast<uint32_t>(picture.height())},
       picture.pixelFormat(),
       stamp ? std::optional(tools::frame_stamp::ageMicros(*stamp, arrival / 1000)) : std::nullopt,
       ptsBefore ? std::optional((arrival - uint64_t(pts.nanos())) / 1000) : std::nullopt});
  const uint64_t number = statistics_.frames();
  if (pngEncoder_ && (number - 1) % options_.pngEvery == 0) pngEncoder_->submit(frame, number);
  if (y4mEncoder_) y4mEncoder_->submit(frame, number);
}

void Viewer::everySecond() {
  platform::dispatch::assertOnQueue(queue_);
  if (outcome_) return;
  printLine(statistics_.secondLine(nowNanos()));
  if (!session_.stillListed()) end(1, "camera vanished");
}

void Viewer::end(int exitStatus, std::optional<std::string> message) {
  platform::dispatch::assertOnQueue(queue_);
  if (outcome_ && (outcome_->exitStatus != 0 || exitStatus == 0)) return;
  const bool first = !outcome_;
  outcome_ = ViewOutcome{exitStatus, std::move(message)};
  if (!first) return;
  endNanos_ = nowNanos();
  timer_.cancel();
  ended_();
}

void Viewer::encoderFailed(const std::string& message) {
  queue_.async([this, message] { end(1, message); });
}

void Viewer::printLine(const nlohmann::json& line) {
  const std::string text = line.dump() + "\n";
  std::fwrite(text.data(), 1, text.size(), lines_);
  std::fflush(lines_);
}

ViewOutcome Viewer::finish() {
  queue_.sync([this] {
    if (!outcome_) {
      // Interrupted: a normal end once the camera streams, else the camera was never found.
      if (streaming_) {
        end(0);
      } else {
        end(1, "camera not found");
      }
    }
    session_.stop();
  });
  if (pngEncoder_) pngEncoder_->finish();
  if (y4mEncoder_) y4mEncoder_->finish();
  ViewOutcome outcome;
  queue_.sync([&] {
    if (streaming_) printLine(statistics_.finalLine(endNanos_));
    outcome = *outcome_;
  });
  return outcome;
}

}  // namespace quillane::view
