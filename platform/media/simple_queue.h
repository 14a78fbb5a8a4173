#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "platform/base/mutex.h"
#include "platform/media/sample_buffer.h"
#include "platform/media/status.h"

namespace platform::media {

// A bounded FIFO of sample buffers (CMSimpleQueue). enqueue() never blocks: a full queue
// refuses with kSimpleQueueFull and keeps what it holds. Thread-safe; the listeners run on the
// thread that changed the queue, after the queue's lock is released.
class SimpleQueue {
 public:
  // nullptr when capacity < 1.
  static std::shared_ptr<SimpleQueue> create(int32_t capacity);
  explicit SimpleQueue(int32_t capacity);

  int32_t count() const;
  int32_t capacity() const;
  Status enqueue(SampleBufferRef element);  // kStatusInvalidParameter for nullptr
  SampleBufferRef dequeue();                // nullptr when empty
  SampleBufferRef head() const;             // the oldest, left in place; nullptr when empty
  SampleBufferRef dequeueOldestIfFull();    // for a producer that drops the oldest to make room

  // Called after every successful enqueue (the host uses it to hand buffers to consumers).
  void setEnqueueListener(std::function<void()> listener);

 private:
  mutable base::Mutex mutex_;
  std::deque<SampleBufferRef> elements_ QLN_GUARDED_BY(mutex_);
  int32_t capacity_;
  std::function<void()> enqueueListener_ QLN_GUARDED_BY(mutex_);
};

using SimpleQueueRef = std::shared_ptr<SimpleQueue>;

}  // namespace platform::media
