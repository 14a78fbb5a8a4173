#include "camd/reporting.h"

#include <atomic>
#include <cstdio>

#include "platform/io/file_descriptor.h"

namespace camd {
namespace {

class StandardStreams : public ReportOutput {
 public:
  void writeOutputLine(std::string_view line) override {
    // Under the stream's lock, so a line from another thread cannot come between.
    flockfile(stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    funlockfile(stdout);
  }
  // Unbuffered and in one write, so lines from different threads never interleave.
  void writeErrorLine(std::string_view line) override {
    (void)platform::io::writeAll(platform::io::kStandardError, line.data(), line.size());
  }
};

StandardStreams standardStreams;
std::atomic<ReportOutput*> currentOutput{&standardStreams};

}  // namespace

std::optional<std::string> serializeJSON(const nlohmann::json& object) {
  std::string text;
  try {
    text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  // A solidus occurs only inside strings, where the escaped form is the one callers expect.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

void printJSON(const nlohmann::json& object) {
  std::optional<std::string> text = serializeJSON(object);
  if (!text) return;
  text->push_back('\n');
  currentOutput.load()->writeOutputLine(*text);
}

void logError(std::string_view message) {
  std::string line(message);
  line.push_back('\n');
  currentOutput.load()->writeErrorLine(line);
}

ReportOutput* setReportOutput(ReportOutput* output) {
  ReportOutput* previous = currentOutput.exchange(output ? output : &standardStreams);
  return previous == &standardStreams ? nullptr : previous;
}

}  // namespace camd
