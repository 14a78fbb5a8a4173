#include "camd/frame_reader.h"

#include <cstdlib>

#include "camd/reporting.h"
#include "platform/io/file_descriptor.h"

namespace camd {

namespace frame_stream = quillane::frame_stream;

void FrameReader::FreeDeleter::operator()(uint8_t* bytes) const {
  std::free(bytes);
}

FrameReader::FrameReader(int fd) : fd_(fd) {}

std::optional<FrameReader::Frame> FrameReader::next() {
  if (failure_ || !readFully(header_.data(), header_.size())) return std::nullopt;
  if (!frame_stream::hasMagic(header_)) {
    failure_ = "bad frame magic";
    return std::nullopt;
  }
  const frame_stream::FrameHeader fields = frame_stream::decodeHeader(header_);
  if (!frame_stream::isValid(fields)) {
    failure_ = "bad frame header " + std::to_string(fields.width) + "x" +
               std::to_string(fields.height) + " len=" + std::to_string(fields.length);
    return std::nullopt;
  }
  if (!reservePayload(fields.length)) {
    failure_ = "out of memory for a frame of " + std::to_string(fields.length) + " bytes";
    return std::nullopt;
  }
  if (!readFully(payload_.get(), fields.length)) {
    logError("EOF mid-frame (writer stopped abruptly)");
    return std::nullopt;
  }
  return Frame{payload_.get(), fields.width, fields.height};
}

bool FrameReader::readFully(uint8_t* buffer, std::size_t count) {
  const platform::io::ReadResult read = platform::io::readFully(fd_, buffer, count);
  if (read.error != 0) logError("stdin read error " + std::to_string(read.error));
  return read.bytesRead == count;
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
