#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/dispatch/queue_impl_linux.h"
#include "platform/dispatch/semaphore.h"
#include "platform/dispatch/steady_deadline_linux.h"

namespace platform::dispatch {

using base::MutexLock;

namespace {

// The queue whose work the current thread is running, for isCurrent().
thread_local const SerialQueue::Impl* currentQueue = nullptr;

// An exception escaping a work item has no one to report to: noexcept turns it into terminate.
void runWork(const std::function<void()>& work) noexcept {
  work();
}

}  // namespace

SerialQueue::Impl::Impl(std::string queueLabel, std::shared_ptr<Clock> queueClock)
    : label(std::move(queueLabel)),
      clock(std::move(queueClock)),
      manualClock_(dynamic_cast<ManualClock*>(clock.get())) {
  if (manualClock_ != nullptr) manualClock_->addListener(this);
}

SerialQueue::Impl::~Impl() {
  if (worker_.joinable()) worker_.detach();  // only when the worker itself released the last ref
}

void SerialQueue::Impl::startWorker(std::shared_ptr<Impl> self) {
  worker_ = std::thread([self = std::move(self)]() mutable {
    self->runWorker();
    // The last reference may be this one; the queue is then destroyed here, on its own thread.
    self.reset();
  });
}

void SerialQueue::Impl::enqueue(std::function<void()> work) {
  {
    MutexLock lock(mutex);
    ready_.push_back(std::move(work));
  }
  workAvailable_.notify_one();
}

void SerialQueue::Impl::enqueueAfter(uint64_t deadlineNanos, std::function<void()> work) {
  std::function<void()> refused;  // destroyed after the lock is released
  MutexLock lock(mutex);
  if (stopping_) {
    refused = std::move(work);
    return;
  }
  insertLocked(deadlineNanos, Delayed{std::move(work), nullptr});
}

void SerialQueue::Impl::armTimerLocked(uint64_t deadlineNanos, TimerSource::Impl* timer) {
  if (stopping_) return;
  insertLocked(deadlineNanos, Delayed{nullptr, timer});
}

void SerialQueue::Impl::withdrawTimerLocked(const TimerSource::Impl* timer) {
  std::erase_if(delayed_, [timer](const auto& entry) { return entry.second.timer == timer; });
}

void SerialQueue::Impl::insertLocked(uint64_t deadlineNanos, Delayed delayed) {
  delayed_.emplace(deadlineNanos, std::move(delayed));
  // A ManualClock stands still: work already due joins the FIFO now, so a sync() submitted next
  // runs after it. With real time the worker picks it up.
  if (manualClock_ != nullptr) promoteDueLocked();
  workAvailable_.notify_one();
}

void SerialQueue::Impl::promoteDueLocked() {
  const uint64_t now = clock->nowNanos();
  while (!delayed_.empty() && delayed_.begin()->first <= now) {
    auto due = delayed_.extract(delayed_.begin());
    TimerSource::Impl* timer = due.mapped().timer;
    if (timer == nullptr) {
      ready_.push_back(std::move(due.mapped().work));
      continue;
    }
    timer->assertArmedOn(*this);
    if (manualClock_ != nullptr || !timer->firePending) ready_.push_back(timer->fireWorkLocked());
    if (auto next = timer->nextDeadlineAfterLocked(now)) {
      due.key() = *next;
      delayed_.insert(std::move(due));
    }
  }
}

void SerialQueue::Impl::clockMoved() {
  {
    MutexLock lock(mutex);
    promoteDueLocked();
  }
  workAvailable_.notify_one();
}

bool SerialQueue::Impl::isCurrent() const {
  return currentQueue == this;
}

void SerialQueue::Impl::stop() {
  if (manualClock_ != nullptr) manualClock_->removeListener(this);
  std::multimap<uint64_t, Delayed> dropped;  // destroyed after the worker has finished
  {
    MutexLock lock(mutex);
    promoteDueLocked();
    dropped.swap(delayed_);
    stopping_ = true;
  }
  workAvailable_.notify_one();
  if (!isCurrent()) {
    worker_.join();
    return;
  }
  // Released by its own work: what was submitted runs now, while the owner that is being
  // destroyed still holds what that work may touch; then the worker ends on its own.
  runReadyInline();
  worker_.detach();
}

void SerialQueue::Impl::runReadyInline() {
  MutexLock lock(mutex);
  while (!ready_.empty()) {
    std::function<void()> work = std::move(ready_.front());
    ready_.pop_front();
    lock.unlock();
    runWork(work);
    work = nullptr;
    lock.lock();
  }
}

void SerialQueue::Impl::runWorker() {
  currentQueue = this;
  MutexLock lock(mutex);
  while (true) {
    // Real time passes while work runs; a ManualClock's moves promote due work themselves.
    if (manualClock_ == nullptr) promoteDueLocked();
    if (!ready_.empty()) {
      std::function<void()> work = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      runWork(work);
      work = nullptr;  // captured state is released outside the lock
      lock.lock();
      continue;
    }
    if (stopping_) return;
    if (delayed_.empty() || manualClock_ != nullptr) {
      lock.wait(workAvailable_);
    } else {
      lock.waitUntil(workAvailable_, steadyDeadline(*clock, delayed_.begin()->first));
    }
  }
}

SerialQueue::SerialQueue(std::string label, std::shared_ptr<Clock> clock)
    : impl_(std::make_shared<Impl>(std::move(label), std::move(clock))) {
  impl_->startWorker(impl_);
}

SerialQueue::~SerialQueue() {
  impl_->stop();
}

const std::string& SerialQueue::label() const {
  return impl_->label;
}

const std::shared_ptr<Clock>& SerialQueue::clock() const {
  return impl_->clock;
}

void SerialQueue::async(std::function<void()> work) {
  impl_->enqueue(std::move(work));
}

void confinementBroken(const SerialQueue& queue) {
  std::fprintf(stderr, "SerialQueue \"%s\": queue-bound code called from another thread\n",
               queue.label().c_str());
  std::abort();
}

void SerialQueue::sync(const std::function<void()>& work) {
  if (impl_->isCurrent()) {
    std::fprintf(stderr, "SerialQueue \"%s\": sync() from its own work would deadlock\n",
                 impl_->label.c_str());
    std::abort();
  }
  Semaphore done;
  impl_->enqueue([&] {
    runWork(work);
    done.signal();
  });
  done.wait();
}

void SerialQueue::asyncAfter(uint64_t deadlineNanos, std::function<void()> work) {
  impl_->enqueueAfter(deadlineNanos, std::move(work));
}

bool SerialQueue::isCurrent() const {
  return impl_->isCurrent();
}

}  // namespace platform::dispatch
