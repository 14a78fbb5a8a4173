#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Locking annotations that clang's thread-safety analysis (-Wthread-safety) checks at compile
// time; other compilers ignore them. The analysis does not look into lambdas: a lambda that
// touches a guarded field takes the lock itself.
#if defined(__clang__)
#define QLN_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define QLN_THREAD_ANNOTATION(attribute)
#endif

// A type that is a lock, and a type that holds one for its lifetime.
#define QLN_CAPABILITY(name) QLN_THREAD_ANNOTATION(capability(name))
#define QLN_SCOPED_CAPABILITY QLN_THREAD_ANNOTATION(scoped_lockable)
// A field read and written only with the mutex held.
#define QLN_GUARDED_BY(mutex) QLN_THREAD_ANNOTATION(guarded_by(mutex))
// A function called only with the mutexes held, or only without them (it takes them itself).
#define QLN_REQUIRES(...) QLN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QLN_EXCLUDES(...) QLN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes, or lets go of, the mutexes.
#define QLN_ACQUIRE(...) QLN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QLN_RELEASE(...) QLN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function whose result is the mutex named: the analysis takes the two as one lock.
#define QLN_RETURN_CAPABILITY(mutex) QLN_THREAD_ANNOTATION(lock_returned(mutex))
// A function that checks (in builds with assertions) that the mutex is held, for a lock the
// analysis cannot tell is the one the caller holds; it takes the mutex as held from then on.
#define QLN_ASSERT_CAPABILITY(mutex) QLN_THREAD_ANNOTATION(assert_capability(mutex))

namespace platform::base {

// A std::mutex that the analysis knows as a lock. Taken only through MutexLock.
class QLN_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex until the end of its scope, or until unlock(). Waiting on a condition variable
// lets go of the mutex while asleep and holds it again on return; wake-ups may be spurious, so
// callers loop on their condition: `while (!ready_) lock.wait(changed_);`.
class QLN_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QLN_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() QLN_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() QLN_ACQUIRE() { lock_.lock(); }
  void unlock() QLN_RELEASE() { lock_.unlock(); }

  void wait(std::condition_variable& changed) { changed.wait(lock_); }
  // As wait(); false once `deadline` has passed.
  bool waitUntil(std::condition_variable& changed, std::chrono::steady_clock::time_point deadline) {
    return changed.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace platform::base
