#include "platform/camera/hardware.h"

namespace platform::camera {

// Out of line: inlined into the hosts' property switches, GCC 12 at -O1 (the sanitizer builds)
// warns falsely that the moved variant may be uninitialised.
PropertyResult PropertyResult::of(PropertyValue read) {
  return {status::kNoError, std::move(read)};
}

PropertyResult PropertyResult::failed(Status why) {
  return {why, std::monostate{}};
}

media::PixelBufferRef HardwareClient::pictureToFill(ObjectID, int width, int height) {
  return media::PixelBuffer::create(width, height, media::kPixelFormat32BGRA);
}

}  // namespace platform::camera
