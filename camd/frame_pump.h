#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "camd/cmio.h"
#include "camd/frame_converter.h"
#include "camd/frame_reader.h"
#include "platform/base/mutex.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer_source.h"
#include "platform/media/simple_queue.h"

namespace camd {

// Feeds the frames read from an input (standard input by default) into the camera's sink stream
// while reporting its state every 500 ms, until the input ends. run() and the frame loop run on
// the calling thread, which alone reads the input, converts frames into pictures the sink stream
// hands out and enqueues them, so that a frame is written once and hops only to the host's thread
// that sends it. The heartbeat, the attach check, detaching and the final report run on
// statusQueue_, which alone changes the attachment state. The first attach try runs in start(),
// before any frame is read, so that the first status line reports it; later tries run on
// attachQueue_ and touch only the client, then hand their outcome to statusQueue_, so a camera
// slow to link holds up neither reading nor the heartbeat.
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
  // The sink stream and its queue, while attached.
  struct Sink {
    CMIO::ObjectID stream;
    platform::media::SimpleQueueRef queue;
  };
  std::optional<Sink> attachedSink() const QLN_EXCLUDES(sinkMutex_);
  // Converts the frame into a picture of the sink stream and enqueues it; the frame is dropped
  // when the queue is full, no picture is free or a step failed. Calling thread.
  void enqueue(const Sink& sink, const FrameReader::Frame& frame);

  const std::shared_ptr<platform::camera::HardwareClient> client_;
  std::shared_ptr<platform::dispatch::Clock> clock_;
  int inputFd_;
  FrameReader reader_;
  FrameConverter converter_;

  // Attachment state: statusQueue_ only.
  CMIO::ObjectID device_ = 0;
  CMIO::ObjectID stream_ = 0;
  platform::media::SimpleQueueRef queue_;  // set exactly while attached
  bool streaming_ = false;
  std::optional<uint64_t> lastAttachAttempt_;  // clock_ nanoseconds; none: never tried
  bool attachInFlight_ = false;
  // Frames enqueued: counted by the calling thread, reported on statusQueue_.
  std::atomic<int64_t> frames_{0};
  // A copy of the attachment for the calling thread, set and cleared on statusQueue_ with queue_;
  // a stale one costs a frame enqueued into a stopped stream, or one dropped.
  mutable platform::base::Mutex sinkMutex_;
  std::optional<Sink> sink_ QLN_GUARDED_BY(sinkMutex_);

  platform::dispatch::SerialQueue statusQueue_;
  // Declared after statusQueue_, so destroyed before it: a try still queued hands its outcome to
  // a live status queue.
  platform::dispatch::SerialQueue attachQueue_;
  std::unique_ptr<platform::dispatch::TimerSource> heartbeat_;
};

}  // namespace camd
