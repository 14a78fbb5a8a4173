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
  pw_loop* loop = pw_thread_loop_get_loop(threadLoop_);
  context_ = pw_context_new(loop, nullptr, 0);
  if (context_ == nullptr) fail("cannot create a context");
  laterEvent_ = pw_loop_add_event(loop, onLater, this);
  if (laterEvent_ == nullptr) fail("cannot create an event source");
  if (pw_thread_loop_start(threadLoop_) != 0) fail("cannot start the loop thread");
}

PipeWireLoop::~PipeWireLoop() {
  pw_thread_loop_stop(threadLoop_);
  pw_loop_destroy_source(pw_thread_loop_get_loop(threadLoop_), laterEvent_);
  pw_context_destroy(context_);
  pw_thread_loop_destroy(threadLoop_);
}

pw_loop* PipeWireLoop::loop() const {
  return pw_thread_loop_get_loop(threadLoop_);
}

void PipeWireLoop::assertConfined() const {
#ifndef NDEBUG
  if (pw_thread_loop_in_thread(threadLoop_) ||
      holder_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    return;
  }
  fail("a PipeWire object was touched off the loop thread without the loop's lock");
#endif
}

void PipeWireLoop::later(std::function<void()> work) {
  laterWork_.push_back(std::move(work));
  pw_loop_signal_event(loop(), laterEvent_);
}

void PipeWireLoop::onLater(void* data, uint64_t) {
  auto* self = static_cast<PipeWireLoop*>(data);
  self->assertConfined();
  std::vector<std::function<void()>> work;
  work.swap(self->laterWork_);
  for (auto& step : work) step();
}

PipeWireLoop::Lock::Lock(PipeWireLoop& loop) : loop_(loop) {
  pw_thread_loop_lock(loop_.threadLoop_);
  if (loop_.depth_++ == 0)
    loop_.holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

PipeWireLoop::Lock::~Lock() {
  if (--loop_.depth_ == 0) loop_.holder_.store({}, std::memory_order_relaxed);
  pw_thread_loop_unlock(loop_.threadLoop_);
}

}  // namespace platform::camera::pipewire
