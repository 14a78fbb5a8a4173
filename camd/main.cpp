#include "camd/command_line.h"
#include "platform/camera/camera_host.h"

int main(int argc, char* argv[]) {
  const auto host = platform::camera::createSystemCameraHost();
  return camd::runCommandLine(argc, argv, *host);
}
