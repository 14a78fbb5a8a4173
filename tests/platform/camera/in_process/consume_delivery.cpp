#include "tests/platform/camera/in_process/consume_delivery.h"

#include <algorithm>

namespace platform::camera::in_process {
ConsumeDelivery::ConsumeDelivery(base::Mutex& stateMutex, std::shared_ptr<dispatch::Clock> clock)
    : stateMutex_(stateMutex),
      deliveryQueue_("platform.camera.host.delivery"),
      timeoutQueue_("platform.camera.host.timeouts", std::move(clock)) {}

media::SimpleQueueRef ConsumeDelivery::sinkQueueLocked(ObjectID stream,
                                                       const ExtensionClientRef& client) const {
  auto found = sinks_.find({stream, client.get()});
  return found == sinks_.end() ? nullptr : found->second.queue;
}

void ConsumeDelivery::setSinkQueueLocked(ObjectID stream, const ExtensionClientRef& client,
                                         media::SimpleQueueRef queue,
                                         std::function<void()> queueAltered) {
  ClientSink& sink = sinks_[{stream, client.get()}];
  sink.queue = std::move(queue);
  sink.queueAltered = std::move(queueAltered);
}

void ConsumeDelivery::consumeLocked(ObjectID stream, const ExtensionClientRef& client,
                                    ConsumeCompletion completion) {
  const Key key{stream, client.get()};
  ClientSink& sink = sinks_[key];
  const uint64_t id = nextRequestID_++;
  sink.waiting.push_back(Request{id, std::move(completion)});
  answerWaitingLocked(stream, sink);
  if (sink.waiting.empty() || sink.waiting.back().id != id) return;
  timeoutQueue_.asyncAfter(timeoutQueue_.clock()->nowNanos() + kConsumeTimeoutNanos,
                           [this, key, id] { expire(key, id); });
}

void ConsumeDelivery::bufferEnqueuedLocked(ObjectID stream, const ExtensionClientRef& client) {
  auto found = sinks_.find({stream, client.get()});
  if (found != sinks_.end()) answerWaitingLocked(stream, found->second);
}

void ConsumeDelivery::failLocked(ObjectID stream, const ExtensionClientRef& client, int64_t code,
                                 const char* description) {
  auto found = sinks_.find({stream, client.get()});
  if (found != sinks_.end()) failWaitingLocked(found->second, code, description);
}

void ConsumeDelivery::removeClientLocked(const ExtensionClientRef& client, int64_t code,
                                         const char* description) {
  removeSinksLocked([&](const Key& key) { return key.second == client.get(); }, code, description);
}

void ConsumeDelivery::removeStreamLocked(ObjectID stream, int64_t code, const char* description) {
  removeSinksLocked([&](const Key& key) { return key.first == stream; }, code, description);
  nextSequenceNumber_.erase(stream);
  lastScheduledOutput_.erase(stream);
}

void ConsumeDelivery::removeSinksLocked(const std::function<bool(const Key&)>& matches,
                                        int64_t code, const char* description) {
  for (auto it = sinks_.begin(); it != sinks_.end();) {
    if (!matches(it->first)) {
      ++it;
      continue;
    }
    failWaitingLocked(it->second, code, description);
    it = sinks_.erase(it);
  }
}

void ConsumeDelivery::noteScheduledOutputLocked(ObjectID stream,
                                                const ExtensionScheduledOutput& output) {
  lastScheduledOutput_[stream] = output;
}

std::optional<ExtensionScheduledOutput> ConsumeDelivery::lastScheduledOutputLocked(
    ObjectID stream) const {
  auto found = lastScheduledOutput_.find(stream);
  if (found == lastScheduledOutput_.end()) return std::nullopt;
  return found->second;
}

void ConsumeDelivery::answerWaitingLocked(ObjectID stream, ClientSink& sink) {
  while (!sink.waiting.empty() && sink.queue) {
    media::SampleBufferRef buffer = sink.queue->dequeue();
    if (!buffer) return;
    Request request = std::move(sink.waiting.front());
    sink.waiting.pop_front();
    uint64_t& next = nextSequenceNumber_.try_emplace(stream, 1).first->second;
    const uint64_t sequenceNumber = next++;
    const bool hasMore = sink.queue->count() > 0;
    deliver([completion = std::move(request.completion), buffer = std::move(buffer), sequenceNumber,
             hasMore] {
      completion(buffer, sequenceNumber, kDiscontinuityNone, hasMore, std::nullopt);
    });
    if (sink.queueAltered) deliver(sink.queueAltered);
  }
}

void ConsumeDelivery::failWaitingLocked(ClientSink& sink, int64_t code, const char* description) {
  for (Request& request : sink.waiting) {
    deliver([completion = std::move(request.completion), error = hostError(code, description)] {
      completion(nullptr, 0, kDiscontinuityNone, false, error);
    });
  }
  sink.waiting.clear();
}

void ConsumeDelivery::expire(Key key, uint64_t requestID) {
  dispatch::assertOnQueue(timeoutQueue_);
  base::MutexLock lock(stateMutex_);
  auto found = sinks_.find(key);
  if (found == sinks_.end()) return;
  auto& waiting = found->second.waiting;
  auto request = std::find_if(waiting.begin(), waiting.end(),
                              [&](const Request& r) { return r.id == requestID; });
  if (request == waiting.end()) return;
  deliver([completion = std::move(request->completion),
           error = hostError(host_error::kTimedOut, "no buffer came in time")] {
    completion(nullptr, 0, kDiscontinuityNone, false, error);
  });
  waiting.erase(request);
}

void ConsumeDelivery::deliver(std::function<void()> work) {
  ++deliveriesPosted_;
  deliveryQueue_.async(std::move(work));
}

void ConsumeDelivery::drain() {
  if (!deliveryQueue_.isCurrent()) deliveryQueue_.sync([] {});
}

void ConsumeDelivery::flush() {
  // Answers may post further answers (a consume re-issued with buffers waiting), so repeat until
  // a round posted nothing new.
  uint64_t posted = 0;
  do {
    posted = deliveriesPosted_.load();
    timeoutQueue_.sync([] {});
    deliveryQueue_.sync([] {});
  } while (deliveriesPosted_.load() != posted);
}

}  // namespace platform::camera::in_process
