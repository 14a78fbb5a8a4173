#include "camd/quillane_camera.h"

#include "camd/app_id.h"
#include "formats/camera_identity.h"

namespace camd::QuillaneCamera {

const std::string& extensionID() {
  static const std::string id = std::string(kAppID) + ".camera";
  return id;
}

const std::string& deviceUID() {
  // A function-local static is initialised once, also when threads race to it.
  static const std::string uid = quillane::camera_identity::deviceUIDToLookFor();
  return uid;
}

}  // namespace camd::QuillaneCamera
