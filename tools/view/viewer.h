#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer_source.h"
#include "tools/view/camera_session.h"
#include "tools/view/encoder_queue.h"
#include "tools/view/frame_statistics.h"
#include "tools/view/picture_files.h"
#include "tools/view/view_options.h"

namespace quillane::view {

// How a watch ended.
struct ViewOutcome {
  int exitStatus = 0;                  // 0, 1, or 2 for a usage error
  std::optional<std::string> message;  // the line for standard error
};

// quillane-view's work: waits for the camera, watches it at the asked-for size and pixel format
// (a camera running for another watcher keeps its size), hands frames to the picture encoders,
// writes a line a second and ends when the frames or seconds asked for are reached or something
// fails. Everything but the encoding runs on its watch queue.
class Viewer {
 public:
  // `lines` takes the JSON lines; `ended` runs once, on the watch queue, when the watch ended by
  // itself. The encoders (`png`, `y4m`: null when not asked for) are fed from the watch queue.
  Viewer(std::shared_ptr<platform::camera::HardwareClient> client, std::string deviceUID,
         ViewOptions options, std::unique_ptr<Y4mStream> y4m, FILE* lines,
         std::shared_ptr<platform::dispatch::Clock> clock, std::function<void()> ended);
  ~Viewer();

  // Starts looking for the camera. Any thread but the watch queue.
  void start();
  // Stops watching, waits for the encoders, writes the final line once the camera streamed to the
  // viewer, and says how the watch ended (an interruption before the camera streamed counts as not
  // finding it). Any thread but the watch queue; once.
  ViewOutcome finish();

 private:
  uint64_t nowNanos() const { return queue_.clock()->nowNanos(); }
  // Watch queue.
  void lookForCamera();
  // The index of the offered format to ask for: the size asked for, in the pixel format asked for,
  // else the one the camera streams in, else BGRA. nullopt, with the watch ended (status 2), when
  // the camera does not offer it.
  std::optional<uint32_t> formatToAskFor();
  void startWatching();
  void drain();
  void receive(const platform::media::SampleBufferRef& frame);
  void everySecond();
  // The first end stays, except that a failure replaces a normal end.
  void end(int exitStatus, std::optional<std::string> message = std::nullopt);
  // Any thread: an encoder failed.
  void encoderFailed(const std::string& message);
  void printLine(const nlohmann::json& line);

  const std::string deviceUID_;
  const ViewOptions options_;
  FILE* const lines_;
  const std::function<void()> ended_;
  // Watch queue.
  uint64_t waitDeadlineNanos_ = 0;
  CameraSession session_;
  FrameStatistics statistics_;
  bool streaming_ = false;
  std::optional<ViewOutcome> outcome_;
  uint64_t endNanos_ = 0;
  // Fed from the watch queue.
  std::unique_ptr<EncoderQueue> pngEncoder_;
  std::unique_ptr<EncoderQueue> y4mEncoder_;
  // Declared last, so that work still queued finds the members above, and the timer goes first.
  platform::dispatch::SerialQueue queue_;
  platform::dispatch::TimerSource timer_;
};

}  // namespace quillane::view
