#include <chrono>
#include <thread>

#include "platform/camera/camera_host.h"
#include "platform/dispatch/clock.h"
#include "tests/platform/camera/host_test_support.h"

namespace platform::camera::testing {
namespace {

// The system's host, PipeWire, against the private daemon the test group started: time is real,
// and what crosses the daemon arrives a little later, so conditions are awaited with a deadline.
class PipeWireHarness final : public HostHarness {
 public:
  CameraHost& host() override { return *host_; }
  uint64_t nowNanos() override { return dispatch::hostClock()->nowNanos(); }
  void elapse(uint64_t nanos) override {
    std::this_thread::sleep_for(std::chrono::nanoseconds(nanos));
  }
  bool eventually(const std::function<bool()>& condition) override { return pollFor(condition); }
  // Something that should not happen would have happened within a few of the daemon's cycles.
  void settle() override { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

 private:
  std::unique_ptr<CameraHost> host_ = createSystemCameraHost();
};

}  // namespace

std::unique_ptr<HostHarness> makeHostHarness() {
  return std::make_unique<PipeWireHarness>();
}

}  // namespace platform::camera::testing
