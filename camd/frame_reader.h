#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "formats/frame_stream_format.h"

// Reads the frame stream (formats/frame_stream_format.h). Runs on one thread (the frame pump's
// calling thread); reads block without a time-out.
namespace camd {

class FrameReader {
 public:
  // One frame, valid until the next call of next().
  struct Frame {
    const uint8_t* rgba;
    int64_t width;
    int64_t height;
  };

  explicit FrameReader(int fd);

  // The next frame; nullopt when the stream has ended, cleanly, cut short or with a read error
  // (logged), or turned out malformed or too large for the memory at hand (failure() then says
  // how; the stream is abandoned).
  std::optional<Frame> next();

  // "bad frame magic", the "bad frame header …" text, or the "out of memory …" text once the
  // stream has been abandoned.
  const std::optional<std::string>& failure() const { return failure_; }

  // Bytes of the payload buffer, which grows to the largest frame seen and never shrinks.
  std::size_t payloadCapacity() const { return payloadCapacity_; }

 private:
  // Reads exactly `count` bytes; false at end of input or on a read error (logged).
  bool readFully(uint8_t* buffer, std::size_t count);
  // Makes the payload buffer at least `length` bytes, zero-filled when it grows; false when the
  // memory cannot be had.
  bool reservePayload(std::size_t length);

  struct FreeDeleter {
    void operator()(uint8_t* bytes) const;
  };

  int fd_;
  quillane::frame_stream::HeaderBytes header_{};
  std::unique_ptr<uint8_t[], FreeDeleter> payload_;
  std::size_t payloadCapacity_ = 0;
  std::optional<std::string> failure_;
};

}  // namespace camd
