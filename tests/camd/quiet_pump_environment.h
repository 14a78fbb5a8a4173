#pragma once

#include <memory>
#include <string_view>

#include "camd/reporting.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace camd::testing {

// Drops every line the pump writes: for runs where only crashes, hangs and speed matter.
class DiscardedReports : public ReportOutput {
 public:
  void writeOutputLine(std::string_view) override {}
  void writeErrorLine(std::string_view) override {}
};

// Once per process: discards the pump's lines. Returns a camera host with no camera in it, which
// lives as long as the process.
inline platform::camera::CameraHost& quietPumpEnvironment() {
  static DiscardedReports discarded;
  static platform::camera::InProcessCameraHost* const host = [] {
    setReportOutput(&discarded);
    return new platform::camera::InProcessCameraHost;
  }();
  return *host;
}

}  // namespace camd::testing
