#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "platform/base/mutex.h"
#include "platform/camera/camera_host.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/simple_queue.h"

namespace platform::camera::in_process {

// The clients' sink queues and the extension's waiting consume requests. Each request is answered
// exactly once: with the oldest buffer its client enqueued, with an error once the consume timeout
// has passed on the host's clock, or with an error when its client stops or goes. Answers and
// queue-altered callbacks run one after another on the delivery queue; timeouts fire on the
// timeout queue. The maps are under the host's state lock, which the "Locked" methods need held
// and the timeout work takes.
class ConsumeDelivery {
 public:
  // `stateMutex` is the host's state lock; it outlives this object.
  ConsumeDelivery(base::Mutex& stateMutex, std::shared_ptr<dispatch::Clock> clock);

  base::Mutex& stateMutex() const QLN_RETURN_CAPABILITY(stateMutex_) { return stateMutex_; }

  // The client's queue of a sink stream; null when it has none.
  media::SimpleQueueRef sinkQueueLocked(ObjectID stream, const ExtensionClientRef& client) const
      QLN_REQUIRES(stateMutex_);
  void setSinkQueueLocked(ObjectID stream, const ExtensionClientRef& client,
                          media::SimpleQueueRef queue, std::function<void()> queueAltered)
      QLN_REQUIRES(stateMutex_);

  // Waits for the client's next buffer on the stream; answered at once when one is waiting.
  void consumeLocked(ObjectID stream, const ExtensionClientRef& client,
                     ConsumeCompletion completion) QLN_REQUIRES(stateMutex_);
  // A buffer arrived in the client's sink queue: answers its waiting requests.
  void bufferEnqueuedLocked(ObjectID stream, const ExtensionClientRef& client)
      QLN_REQUIRES(stateMutex_);
  // Ends the client's waiting requests on the stream with a host error.
  void failLocked(ObjectID stream, const ExtensionClientRef& client, int64_t code,
                  const char* description) QLN_REQUIRES(stateMutex_);
  // Ends every waiting request of the client (or of the stream) and forgets its queues.
  void removeClientLocked(const ExtensionClientRef& client, int64_t code, const char* description)
      QLN_REQUIRES(stateMutex_);
  void removeStreamLocked(ObjectID stream, int64_t code, const char* description)
      QLN_REQUIRES(stateMutex_);

  void noteScheduledOutputLocked(ObjectID stream, const ExtensionScheduledOutput& output)
      QLN_REQUIRES(stateMutex_);
  std::optional<ExtensionScheduledOutput> lastScheduledOutputLocked(ObjectID stream) const
      QLN_REQUIRES(stateMutex_);

  // Runs `work` on the delivery queue after what is already there. Any thread.
  void deliver(std::function<void()> work);
  // Waits until the answers and callbacks posted so far have run; at once on the delivery queue
  // itself (an answer that withdrew its provider).
  void drain();
  // Waits until due timeouts and every answer, also those that answers caused, have run. Not on
  // either queue; without the state lock.
  void flush();

 private:
  struct Request {
    uint64_t id = 0;
    ConsumeCompletion completion;
  };
  struct ClientSink {
    media::SimpleQueueRef queue;
    std::function<void()> queueAltered;
    std::deque<Request> waiting;
  };
  using Key = std::pair<ObjectID, const ExtensionClient*>;

  void answerWaitingLocked(ObjectID stream, ClientSink& sink) QLN_REQUIRES(stateMutex_);
  void failWaitingLocked(ClientSink& sink, int64_t code, const char* description)
      QLN_REQUIRES(stateMutex_);
  void removeSinksLocked(const std::function<bool(const Key&)>& matches, int64_t code,
                         const char* description) QLN_REQUIRES(stateMutex_);
  // Runs on the timeout queue.
  void expire(Key key, uint64_t requestID);

  base::Mutex& stateMutex_;
  std::map<Key, ClientSink> sinks_ QLN_GUARDED_BY(stateMutex_);
  std::map<ObjectID, uint64_t> nextSequenceNumber_ QLN_GUARDED_BY(stateMutex_);
  std::map<ObjectID, ExtensionScheduledOutput> lastScheduledOutput_ QLN_GUARDED_BY(stateMutex_);
  uint64_t nextRequestID_ QLN_GUARDED_BY(stateMutex_) = 1;
  std::atomic<uint64_t> deliveriesPosted_{0};  // lets flush() see that a round posted more

  // Declared last, so they are joined before the state their work touches is destroyed.
  dispatch::SerialQueue deliveryQueue_;
  dispatch::SerialQueue timeoutQueue_;
};

}  // namespace platform::camera::in_process
