#include "platform/dispatch/clock.h"
#include "tests/platform/camera/host_test_support.h"
#include "tests/platform/camera/in_process/in_process_host.h"

namespace platform::camera::testing {
namespace {

// The in-process host on a ManualClock: time passes only when a test says so, and every answer
// has been delivered once flush() returns, so conditions hold at once or never.
class InProcessHarness final : public HostHarness {
 public:
  CameraHost& host() override { return host_; }
  uint64_t nowNanos() override { return clock_->nowNanos(); }
  void elapse(uint64_t nanos) override {
    clock_->advance(nanos);
    host_.flush();
  }
  bool eventually(const std::function<bool()>& condition) override {
    host_.flush();
    return condition();
  }
  void settle() override { host_.flush(); }

 private:
  std::shared_ptr<dispatch::ManualClock> clock_ = std::make_shared<dispatch::ManualClock>();
  InProcessCameraHost host_{clock_};
};

}  // namespace

std::unique_ptr<HostHarness> makeHostHarness() {
  return std::make_unique<InProcessHarness>();
}

}  // namespace platform::camera::testing
