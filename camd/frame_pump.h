#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "camd/cmio.h"
#include "camd/frame_converter.h"
#include "camd/frame_reader.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer_source.h"
#include "platform/media/simple_queue.h"

namespace camd {

// Feeds the frames read from an input (standard input by default) into the camera's sink stream
// while reporting its state every 500 ms, until the input ends. run() and the frame loop run on
// the calling thread, which alone reads the input and converts frames. Everything else (the
// heartbeat, attaching, detaching, enqueueing and the final report) runs on statusQueue_, which
// alone touches the attachment state.
class FramePump {
 public:
  // Reaches the camera through `client`; the clock drives the heartbeat and the attach throttle.
  explicit FramePump(
      std::shared_ptr<platform::camera::HardwareClient> client, int inputFd = 0,
      std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::hostClock());
  FramePump(const FramePump&) = delete;
  FramePump& operator=(const FramePump&) = delete;

  // Pumps until the input ends; returns the exit status: 1 after a malformed frame stream,
  // otherwise 0. Calling thread.
  int32_t run();

  // The steps of run() (start, pumpFrame until it returns false, finish), which tests drive one
  // at a time. Calling thread.
  void start();
  bool pumpFrame();  // reads and handles one frame; false once the stream has ended
  int32_t finish();

 private:
  // Connects to the camera's sink stream and starts it; no-op when attached. statusQueue_.
  bool attach();
  // Stops the stream and lets go of the queue and the format description. statusQueue_.
  void detach();
  // Detaches when the attached device has gone or been renumbered, then builds the status
  // dictionary. statusQueue_.
  nlohmann::json status();
  // Tries attach() when detached and the last try is more than 2 s ago; true when attached.
  // statusQueue_.
  bool attachIfDue();
  // Hands the sample to the sink stream's queue, dropping it when detached or the queue is full.
  // statusQueue_.
  void enqueue(platform::media::SampleBufferRef sample);

  const std::shared_ptr<platform::camera::HardwareClient> client_;
  std::shared_ptr<platform::dispatch::Clock> clock_;
  int inputFd_;
  FrameReader reader_;
  FrameConverter converter_;

  // Attachment state: statusQueue_ only.
  CMIO::ObjectID device_ = 0;
  CMIO::ObjectID stream_ = 0;
  platform::media::SimpleQueueRef queue_;  // set exactly while attached
  int64_t frames_ = 0;
  bool streaming_ = false;
  std::optional<uint64_t> lastAttachAttempt_;  // clock_ nanoseconds; none: never tried

  platform::dispatch::SerialQueue statusQueue_;
  std::unique_ptr<platform::dispatch::TimerSource> heartbeat_;
};

}  // namespace camd
