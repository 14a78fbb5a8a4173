// Feeds arbitrary bytes as the frame stream to the frame pump, with no camera present.
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "camd/frame_pump.h"
#include "camd/reporting.h"
#include "platform/dispatch/clock.h"

namespace {

// Drops the pump's lines: only crashes, hangs and sanitizer reports matter here.
class DiscardedReports : public camd::ReportOutput {
 public:
  void writeOutputLine(std::string_view) override {}
  void writeErrorLine(std::string_view) override {}
};

void setUpOnce() {
  static const bool done = [] {
    static DiscardedReports discarded;
    camd::setReportOutput(&discarded);
    // A runtime folder of our own, so no camera running on this machine is found.
    const auto folder =
        std::filesystem::temp_directory_path() / ("camd-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setUpOnce();
  // A file, not a pipe: the input may be larger than any pipe holds, and reads still end at EOF.
  std::unique_ptr<FILE, int (*)(FILE*)> input(std::tmpfile(), &std::fclose);
  if (!input || (size > 0 && std::fwrite(data, 1, size, input.get()) != size)) std::abort();
  std::fflush(input.get());
  ::lseek(fileno(input.get()), 0, SEEK_SET);
  camd::FramePump pump(fileno(input.get()), std::make_shared<platform::dispatch::ManualClock>());
  const int32_t status = pump.run();
  if (status != 0 && status != 1) std::abort();
  return 0;
}
