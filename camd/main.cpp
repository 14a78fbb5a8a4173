#include "camd/command_line.h"
#include "platform/camera/camera_host.h"
#include "platform/sysext/system_extensions.h"

int main(int argc, char* argv[]) {
  const auto host = platform::camera::createSystemCameraHost();
  const auto extensions = platform::sysext::createSystemExtensionManager();
  return camd::runCommandLine(argc, argv, *host, *extensions);
}
