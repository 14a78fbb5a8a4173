#include "tests/camd/report_capture.h"

namespace camd::testing {
namespace {

std::string withoutLineFeed(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  return std::string(line);
}

}  // namespace

ReportCapture::ReportCapture() : previous_(setReportOutput(this)) {}

ReportCapture::~ReportCapture() {
  setReportOutput(previous_);
}

void ReportCapture::writeOutputLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  output_.push_back(withoutLineFeed(line));
  changed_.notify_all();
}

void ReportCapture::writeErrorLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  errors_.push_back(withoutLineFeed(line));
}

std::vector<std::string> ReportCapture::outputLines() const {
  std::lock_guard lock(mutex_);
  return output_;
}

std::vector<std::string> ReportCapture::errorLines() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::vector<nlohmann::json> ReportCapture::reports() const {
  std::vector<nlohmann::json> parsed;
  for (const std::string& line : outputLines()) parsed.push_back(nlohmann::json::parse(line));
  return parsed;
}

bool ReportCapture::waitForOutputLines(std::size_t count,
                                       std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return output_.size() >= count; });
}

}  // namespace camd::testing
