#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "camd/reporting.h"

namespace camd::testing {

// Captures what printJSON and logError write while it exists. Lines arrive from any thread.
class ReportCapture : public ReportOutput {
 public:
  ReportCapture();
  ~ReportCapture() override;

  void writeOutputLine(std::string_view line) override;
  void writeErrorLine(std::string_view line) override;

  // Lines so far, without their line feeds.
  std::vector<std::string> outputLines() const;
  std::vector<std::string> errorLines() const;
  // The standard-output lines parsed as JSON.
  std::vector<nlohmann::json> reports() const;

  // Waits until at least `count` standard-output lines arrived; false when `timeout` passed first.
  bool waitForOutputLines(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> output_;  // guarded by mutex_
  std::vector<std::string> errors_;  // guarded by mutex_
  ReportOutput* previous_;
};

}  // namespace camd::testing
