#include "platform/media/simple_queue.h"

namespace platform::media {
namespace {

SampleBufferRef popOldest(std::deque<SampleBufferRef>& elements) {
  SampleBufferRef oldest = std::move(elements.front());
  elements.pop_front();
  return oldest;
}

}  // namespace

SimpleQueueRef SimpleQueue::create(int32_t capacity) {
  if (capacity < 1) return nullptr;
  return std::make_shared<SimpleQueue>(capacity);
}

SimpleQueue::SimpleQueue(int32_t capacity) : capacity_(capacity) {}

int32_t SimpleQueue::count() const {
  base::MutexLock guard(mutex_);
  return static_cast<int32_t>(elements_.size());
}

int32_t SimpleQueue::capacity() const {
  return capacity_;
}

Status SimpleQueue::enqueue(SampleBufferRef element) {
  if (!element) return kStatusInvalidParameter;
  std::function<void()> listener;
  {
    base::MutexLock guard(mutex_);
    if (static_cast<int32_t>(elements_.size()) >= capacity_) return kSimpleQueueFull;
    elements_.push_back(std::move(element));
    listener = enqueueListener_;
  }
  // Outside the lock, so the listener may dequeue or enqueue itself.
  if (listener) listener();
  return kStatusOK;
}

SampleBufferRef SimpleQueue::dequeue() {
  base::MutexLock guard(mutex_);
  if (elements_.empty()) return nullptr;
  return popOldest(elements_);
}

SampleBufferRef SimpleQueue::head() const {
  base::MutexLock guard(mutex_);
  return elements_.empty() ? nullptr : elements_.front();
}

SampleBufferRef SimpleQueue::dequeueOldestIfFull() {
  base::MutexLock guard(mutex_);
  if (elements_.empty() || static_cast<int32_t>(elements_.size()) < capacity_) return nullptr;
  return popOldest(elements_);
}

void SimpleQueue::setEnqueueListener(std::function<void()> listener) {
  base::MutexLock guard(mutex_);
  enqueueListener_ = std::move(listener);
}

}  // namespace platform::media
