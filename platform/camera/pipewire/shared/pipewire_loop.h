#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/base/mutex.h"

struct pw_context;
struct pw_loop;
struct pw_thread_loop;
struct spa_source;

namespace platform::camera::pipewire {

// Running on a PipeWire loop's thread or holding its lock: the capability clang's thread-safety
// analysis checks. PipeWire objects and the state beside them are QLN_GUARDED_BY(loopConfinement),
// a PipeWireLoop::Lock acquires it and every callback asserts it. The analysis knows one name for
// every loop; that an object is touched under its own loop is what assertConfined() checks at run
// time.
struct QLN_CAPABILITY("PipeWire loop") LoopConfinement {};
inline LoopConfinement loopConfinement;

// PipeWire's client library running on a thread of its own. Every call into a PipeWire object
// made on the loop happens on that thread (in the callbacks PipeWire makes there, with the loop's
// lock held) or on another thread that holds the loop's lock. One per camera host.
class PipeWireLoop {
 public:
  PipeWireLoop();
  ~PipeWireLoop();  // stops the thread; every PipeWire object made on the loop must be gone
  PipeWireLoop(const PipeWireLoop&) = delete;
  PipeWireLoop& operator=(const PipeWireLoop&) = delete;

  pw_context* context() const QLN_REQUIRES(loopConfinement) { return context_; }
  pw_loop* loop() const QLN_REQUIRES(loopConfinement);

  // Checks, in builds with assertions, that the caller runs on the loop thread or holds the
  // loop's lock, and tells the analysis so. The first line of every callback PipeWire makes.
  void assertConfined() const QLN_ASSERT_CAPABILITY(loopConfinement);

  // Runs `work` on the loop thread soon after, outside the event being handled: for what must not
  // happen inside an event of the object it drops.
  void later(std::function<void()> work) QLN_REQUIRES(loopConfinement);

  // Holds the loop's lock for one scope (recursive; harmless on the loop thread itself).
  class QLN_SCOPED_CAPABILITY Lock {
   public:
    explicit Lock(PipeWireLoop& loop) QLN_ACQUIRE(loopConfinement);
    ~Lock() QLN_RELEASE();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PipeWireLoop& loop_;
  };

 private:
  static void onLater(void* data, uint64_t count);

  pw_thread_loop* threadLoop_ = nullptr;
  pw_context* context_ = nullptr;
  spa_source* laterEvent_ = nullptr;
  std::vector<std::function<void()>> laterWork_ QLN_GUARDED_BY(loopConfinement);
  // The thread other than the loop's that holds the lock, and how many Lock scopes it has open
  // (under the lock). Read by assertConfined() on any thread: a thread sees its own id only
  // while it holds the lock.
  std::atomic<std::thread::id> holder_{};
  int depth_ = 0;
};

}  // namespace platform::camera::pipewire
