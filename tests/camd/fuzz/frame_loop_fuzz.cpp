// Feeds arbitrary bytes as the frame stream to the frame pump, with no camera present.
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "camd/frame_pump.h"
#include "camd/reporting.h"
#include "platform/dispatch/clock.h"
#include "tests/camd/quiet_pump_environment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::camera::CameraHost& host = camd::testing::quietPumpEnvironment();
  // A file, not a pipe: the input may be larger than any pipe holds, and reads still end at EOF.
  std::unique_ptr<FILE, int (*)(FILE*)> input(std::tmpfile(), &std::fclose);
  if (!input || (size > 0 && std::fwrite(data, 1, size, input.get()) != size)) std::abort();
  std::fflush(input.get());
  ::lseek(fileno(input.get()), 0, SEEK_SET);
  camd::FramePump pump(host.connect(), fileno(input.get()),
                       std::make_shared<platform::dispatch::ManualClock>());
  const int32_t status = pump.run();
  if (status != 0 && status != 1) std::abort();
  return 0;
}
