#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "camd/reporting.h"

namespace camd::testing {

// Drops every line the pump writes: for runs where only crashes, hangs and speed matter.
class DiscardedReports : public ReportOutput {
 public:
  void writeOutputLine(std::string_view) override {}
  void writeErrorLine(std::string_view) override {}
};

// Once per process: discards the pump's lines and gives the process a runtime folder of its own
// (named after `purpose`), so no camera running on this machine is found.
inline void setUpQuietPumpEnvironment(const std::string& purpose) {
  static const bool done = [&] {
    static DiscardedReports discarded;
    setReportOutput(&discarded);
    const auto folder = std::filesystem::temp_directory_path() /
                        ("camd-" + purpose + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    return true;
  }();
  (void)done;
}

}  // namespace camd::testing
