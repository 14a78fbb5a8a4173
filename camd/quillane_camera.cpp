#include "camd/quillane_camera.h"

#include <cstdlib>

#include "camd/app_id.h"

namespace camd::QuillaneCamera {

const std::string& extensionID() {
  static const std::string id = std::string(kAppID) + ".camera";
  return id;
}

const std::string& deviceUID() {
  // A function-local static is initialised once, also when threads race to it.
  static const std::string uid = [] {
    const char* override = std::getenv("QLN_DEVICE_UID");
    return std::string(override != nullptr ? override : kDefaultDeviceUID);
  }();
  return uid;
}

}  // namespace camd::QuillaneCamera
