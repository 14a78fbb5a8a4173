#include "platform/camera/pipewire/shared/pipewire_loop.h"

#include <pipewire/pipewire.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform::camera::pipewire {
namespace {

// The library's process-wide set-up; it is never undone, since other loops may come later.
void initialiseLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "PipeWire: %s\n", what);
  std::abort();
}

}  // namespace

PipeWireLoop::PipeWireLoop() {
  initialiseLibraryOnce();
  threadLoop_ = pw_thread_loop_new("camera-host", nullptr);
  if (threadLoop_ == nullptr) fail("cannot create the loop thread");
  context_ = pw_context_new(pw_thread_loop_get_loop(threadLoop_), nullptr, 0);
  if (context_ == nullptr) fail("cannot create a context");
  if (pw_thread_loop_start(threadLoop_) != 0) fail("cannot start the loop thread");
}

PipeWireLoop::~PipeWireLoop() {
  pw_thread_loop_stop(threadLoop_);
  pw_context_destroy(context_);
  pw_thread_loop_destroy(threadLoop_);
}

pw_loop* PipeWireLoop::loop() const {
  return pw_thread_loop_get_loop(threadLoop_);
}

PipeWireLoop::Lock::Lock(PipeWireLoop& loop) : loop_(loop) {
  pw_thread_loop_lock(loop_.threadLoop_);
}

PipeWireLoop::Lock::~Lock() {
  pw_thread_loop_unlock(loop_.threadLoop_);
}

}  // namespace platform::camera::pipewire
