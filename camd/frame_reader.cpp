#include "camd/frame_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "camd/reporting.h"

namespace camd {
namespace {

int64_t littleEndian32(const uint8_t* bytes) {
  return int64_t(bytes[0]) | int64_t(bytes[1]) << 8 | int64_t(bytes[2]) << 16 |
         int64_t(bytes[3]) << 24;
}

bool validDimension(int64_t value) {
  return value >= 1 && value <= FrameReader::kMaxDimension;
}

}  // namespace

void FrameReader::FreeDeleter::operator()(uint8_t* bytes) const {
  std::free(bytes);
}

FrameReader::FrameReader(int fd) : fd_(fd) {}

std::optional<FrameReader::Frame> FrameReader::next() {
  if (failure_ || !readFully(header_.data(), header_.size())) return std::nullopt;
  if (header_[0] != 'Q' || header_[1] != 'L' || header_[2] != 'N' || header_[3] != '1') {
    failure_ = "bad frame magic";
    return std::nullopt;
  }
  const int64_t width = littleEndian32(&header_[4]);
  const int64_t height = littleEndian32(&header_[8]);
  const int64_t length = littleEndian32(&header_[12]);
  if (!validDimension(width) || !validDimension(height) || length != width * 4 * height) {
    failure_ = "bad frame header " + std::to_string(width) + "x" + std::to_string(height) +
               " len=" + std::to_string(length);
    return std::nullopt;
  }
  if (!reservePayload(static_cast<std::size_t>(length))) {
    failure_ = "out of memory for a frame of " + std::to_string(length) + " bytes";
    return std::nullopt;
  }
  if (!readFully(payload_.get(), static_cast<std::size_t>(length))) {
    logError("EOF mid-frame (writer stopped abruptly)");
    return std::nullopt;
  }
  return Frame{payload_.get(), width, height};
}

bool FrameReader::readFully(uint8_t* buffer, std::size_t count) {
  std::size_t total = 0;
  while (total < count) {
    const ssize_t got = ::read(fd_, buffer + total, count - total);
    if (got > 0) {
      total += static_cast<std::size_t>(got);
    } else if (got == 0) {
      return false;
    } else if (errno != EINTR) {
      logError("stdin read error " + std::to_string(errno));
      return false;
    }
  }
  return true;
}

bool FrameReader::reservePayload(std::size_t length) {
  if (length <= payloadCapacity_) return true;
  // calloc: large zero-filled blocks come straight from fresh pages, without a pass over them.
  payload_.reset();
  payloadCapacity_ = 0;
  payload_.reset(static_cast<uint8_t*>(std::calloc(length, 1)));
  if (!payload_) return false;
  payloadCapacity_ = length;
  return true;
}

}  // namespace camd
