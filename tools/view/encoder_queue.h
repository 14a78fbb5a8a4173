#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/sample_buffer.h"

namespace quillane::view {

// Encodes frames on a serial queue of its own, so the thread that receives them hands each over
// and goes on: it waits only while `capacity` frames are still being encoded (the camera's queue
// then drops frames, which the viewer counts). After the first failure the rest is skipped.
class EncoderQueue {
 public:
  // Runs on the encoder's queue; nullopt when the frame was written, else why not.
  using Encode = std::function<std::optional<std::string>(platform::media::SampleBuffer& frame,
                                                          uint64_t number)>;
  // Runs once, on the encoder's queue, after the first failure.
  using Failed = std::function<void(const std::string& message)>;

  // Destroying it finishes the frames submitted.
  EncoderQueue(std::string label, long capacity, Encode encode, Failed failed);

  // Any one thread at a time.
  void submit(platform::media::SampleBufferRef frame, uint64_t number);
  // Returns once every submitted frame is encoded or skipped. Not on the encoder's queue.
  void finish();

 private:
  Encode encode_;
  Failed failed_;
  platform::dispatch::Semaphore slots_;
  bool failing_ = false;                   // the encoder's queue
  platform::dispatch::SerialQueue queue_;  // last: its work goes before the members it uses
};

}  // namespace quillane::view
