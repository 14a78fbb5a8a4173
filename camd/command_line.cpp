#include "camd/command_line.h"

#include "camd/activation.h"
#include "camd/frame_pump.h"
#include "camd/reporting.h"
#include "camd/reports.h"

namespace camd {

int runCommandLine(int argc, const char* const argv[], platform::camera::CameraHost& host,
                   platform::sysext::Manager& extensions) {
  if (argc < 2) {
    logError(kUsage);
    return 2;
  }
  const std::string_view command = argv[1];
  if (command == "activate" || command == "deactivate") {
    printJSON(ActivationDelegate::run(command == "activate", extensions,
                                      platform::dispatch::hostClock()));
    return 0;
  }
  if (command == "status") {
    printJSON(statusReport(*host.connect()));
    return 0;
  }
  if (command == "devices") {
    printDeviceReports(*host.connect());
    return 0;
  }
  if (command == "run") {
    FramePump pump(host.connect());
    return pump.run();
  }
  logError(kUsage);
  return 2;
}

}  // namespace camd
