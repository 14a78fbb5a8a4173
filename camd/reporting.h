#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// How the tool reports to its caller: JSON objects as lines on standard output, plain text
// lines on standard error.
namespace camd {

// The object as printJSON writes it, without the line feed: compact, the keys of every object in
// ascending order, a solidus written as "\/", text as raw UTF-8. nullopt when the object holds
// text that is not UTF-8.
std::optional<std::string> serializeJSON(const nlohmann::json& object);

// Writes the object as one line on standard output and flushes it; writes nothing when it cannot
// be serialised. Any thread: the line is written whole.
void printJSON(const nlohmann::json& object);

// Writes the message and a line feed on standard error in one write. Any thread.
void logError(std::string_view message);

// Where printJSON and logError put their lines. The default writes to the process's standard
// output and standard error; tests install their own to capture the lines. Implementations are
// called from any thread.
class ReportOutput {
 public:
  virtual ~ReportOutput() = default;
  virtual void writeOutputLine(std::string_view line) = 0;  // ends in a line feed
  virtual void writeErrorLine(std::string_view line) = 0;   // ends in a line feed
};

// Installs `output` (nullptr: the standard streams) and returns the one it replaces. The output
// must outlive its use; swap it only while nothing is reporting.
ReportOutput* setReportOutput(ReportOutput* output);

}  // namespace camd
