#pragma once

#include <atomic>
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
// the calling thread, which alone reads the input and converts frames. The heartbeat, the attach
// check, enqueueing, detaching and the final report run on statusQueue_, which alone touches the
// attachment state. The first attach try runs in start(), before any frame is read, so that the
// first status line reports it; later tries run on attachQueue_ and touch only the client, then
// hand their outcome to statusQueue_, so a camera slow to link holds up neither reading nor the
// heartbeat. The calling thread reads attached_ to learn whether a frame is worth converting,
// so each frame costs one hop to statusQueue_.
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

  // Waits until an attach try in flight has ended and statusQueue_ has taken its outcome.
  // Calling thread.
  void awaitAttachTry();

 private:
  // The camera's sink stream, connected and started.
  struct Attachment {
    CMIO::ObjectID device;
    CMIO::ObjectID stream;
    platform::media::SimpleQueueRef queue;
  };

  // Connects to the camera's sink stream and starts it; nullopt when there is none or a step
  // failed (logged). Touches only the client: statusQueue_ for the first try, attachQueue_ after.
  std::optional<Attachment> attach();
  // Takes a try's outcome: attached when it connected. statusQueue_, while detached.
  void adopt(std::optional<Attachment> attachment);
  // Stops the stream and lets go of the queue and the format description. statusQueue_.
  void detach();
  // Detaches when the attached device has gone or been renumbered, then builds the status
  // dictionary. statusQueue_.
  nlohmann::json status();
  // Starts a try on attachQueue_ when detached, no try is in flight and the last one began more
  // than 2 s ago. statusQueue_.
  void attachIfDue();
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
  bool attachInFlight_ = false;
  // Whether queue_ is set, stored on statusQueue_ and read by the calling thread without a hop;
  // a stale value costs one frame, converted and then dropped by enqueue(), or dropped unconverted.
  std::atomic<bool> attached_{false};

  platform::dispatch::SerialQueue statusQueue_;
  // Declared after statusQueue_, so destroyed before it: a try still queued hands its outcome to
  // a live status queue.
  platform::dispatch::SerialQueue attachQueue_;
  std::unique_ptr<platform::dispatch::TimerSource> heartbeat_;
};

}  // namespace camd
