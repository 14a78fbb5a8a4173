#pragma once

#include <string_view>

#include "platform/camera/camera_host.h"
#include "platform/sysext/system_extensions.h"

namespace camd {

inline constexpr std::string_view kUsage =
    "usage: quillane-camd activate | deactivate | status | devices | run";

// Runs the command named by argv[1] (further arguments are ignored) and returns the exit status:
// 2 for a missing or unknown command, the frame pump's status for "run", 0 otherwise. The camera
// commands reach the camera through a client of `host`; activate and deactivate submit their
// requests to `extensions`. Runs on the main thread.
int runCommandLine(int argc, const char* const argv[], platform::camera::CameraHost& host,
                   platform::sysext::Manager& extensions);

}  // namespace camd
