#pragma once

struct pw_context;
struct pw_loop;
struct pw_thread_loop;

namespace platform::camera::pipewire {

// PipeWire's client library running on a thread of its own: every call into a PipeWire object
// happens on that thread (in its callbacks) or on another thread that holds the loop's lock.
// Callbacks run on the loop thread with the lock held. One per camera host.
class PipeWireLoop {
 public:
  PipeWireLoop();
  ~PipeWireLoop();  // stops the thread; every PipeWire object made on the loop must be gone
  PipeWireLoop(const PipeWireLoop&) = delete;
  PipeWireLoop& operator=(const PipeWireLoop&) = delete;

  pw_context* context() const { return context_; }
  pw_loop* loop() const;

  // Holds the loop's lock for one scope (recursive; harmless on the loop thread itself).
  class Lock {
   public:
    explicit Lock(PipeWireLoop& loop);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PipeWireLoop& loop_;
  };

 private:
  pw_thread_loop* threadLoop_ = nullptr;
  pw_context* context_ = nullptr;
};

}  // namespace platform::camera::pipewire
