#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/camera/host_connection.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/media/simple_queue.h"

// The camera host of this process: the object tree of the published providers, the clients,
// who streams on which stream, the clients' buffer queues and the extension's consume requests.
// Transports (HostConnection implementations) reach it on behalf of one client each.
namespace platform::camera {

// Threads: three serial queues of the host's own.
// - callback queue: every call into an extension's sources, and the client operations that make
//   them (they wait for it with sync(); a call made on the queue itself runs inline);
// - delivery queue: consume completions and queue-altered callbacks;
// - timeout queue: consume timeouts, on the host clock.
// The tree and per-stream state are guarded by stateMutex_, which is never held while the host
// calls into a source or a completion, so the extension may call back into the host (send,
// consume, streamingClients) from anywhere, also from inside a callback or a completion.
class HostRuntime {
 public:
  // A consume request waits this long for a buffer before it completes with an error.
  static constexpr uint64_t kConsumeTimeoutNanos = 1'000'000'000;
  // Capacity of an output stream's client queue; also of a sink queue whose stream advertises
  // no usable size.
  static constexpr int32_t kDefaultQueueCapacity = 4;
  // An advertised sink queue size above this is clamped to it.
  static constexpr int32_t kMaxQueueCapacity = 64;

  // The process's host; created on first use and never destroyed, so the queues and callbacks
  // it hands out may refer to it.
  static HostRuntime& processRuntime();

  HostRuntime(const HostRuntime&) = delete;
  HostRuntime& operator=(const HostRuntime&) = delete;

  // Measures consume timeouts on `clock` from now on; waiting requests are re-armed on it.
  void setClock(std::shared_ptr<dispatch::Clock> clock);

  // Extension side. publish/withdraw wait for the callback queue (withdraw also for the delivery
  // queue, so the errors of the requests it ended have been delivered when it returns); the
  // others only take stateMutex_ and never wait. Any thread.
  void publish(const std::shared_ptr<ExtensionProvider>& provider);
  void withdraw(const std::shared_ptr<ExtensionProvider>& provider);
  void sendSampleBuffer(const ExtensionStream& stream, media::SampleBufferRef sampleBuffer);
  void consumeSampleBuffer(const ExtensionStream& stream, const ExtensionClientRef& client,
                           ExtensionStream::ConsumeCompletion completion);
  void notifyScheduledOutputChanged(const ExtensionStream& stream,
                                    const ExtensionScheduledOutput& output);
  std::vector<ExtensionClientRef> streamingClients(const ExtensionStream& stream) const;

  // Client side, for transports. Each waits for the callback queue. Any thread.
  ExtensionClientRef attachClient();
  // Stops the client's streams, ends its waiting consume requests and disconnects it from the
  // providers it contacted. Unknown or already detached clients are ignored.
  void detachClient(const ExtensionClientRef& client);
  PropertyResult readProperty(const ExtensionClientRef& client, ObjectID object, uint32_t selector);
  Status writeProperty(const ExtensionClientRef& client, ObjectID object, uint32_t selector,
                       const std::vector<uint8_t>& data);
  Status copyBufferQueue(const ExtensionClientRef& client, ObjectID stream,
                         std::function<void()> queueAltered, media::SimpleQueueRef* queue);
  Status startStream(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  Status stopStream(const ExtensionClientRef& client, ObjectID device, ObjectID stream);

  // For tests: the last output the extension confirmed on a stream.
  std::optional<ExtensionScheduledOutput> lastScheduledOutput(ObjectID stream) const;
  // For tests: waits until the host's queues are idle: callbacks, due timeouts and completions,
  // also those that completions caused, have run. Not from a host queue.
  void flush();

 private:
  struct PendingConsume {
    uint64_t id = 0;
    ExtensionStream::ConsumeCompletion completion;
  };
  // One client's side of one stream.
  struct ClientStream {
    media::SimpleQueueRef queue;
    std::function<void()> queueAltered;
    std::deque<PendingConsume> pending;
  };
  struct StreamRecord {
    ObjectID device = kObjectUnknown;
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionStream> stream;
    std::vector<ExtensionClientRef> streaming;  // in the order they started
    std::map<const ExtensionClient*, ClientStream> clients;
    uint64_t nextSequenceNumber = 1;
    std::optional<ExtensionScheduledOutput> lastScheduledOutput;
  };
  struct DeviceRecord {
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionDevice> device;
    std::vector<ObjectID> streams;
  };
  struct ProviderRecord {
    std::shared_ptr<ExtensionProvider> provider;
    std::vector<ObjectID> devices;
    std::vector<ExtensionClientRef> connected;  // clients whose connectClient() was accepted
  };
  // What one client operation found in the tree before it calls into a source.
  struct StreamLookup {
    Status status = status::kNoError;
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionStream> stream;
  };

  explicit HostRuntime(std::shared_ptr<dispatch::Clock> clock);
  ~HostRuntime();

  template <typename Work>
  auto onCallbackQueue(Work&& work) -> decltype(work());

  // The following run on the callback queue.
  void publishOnCallbackQueue(const std::shared_ptr<ExtensionProvider>& provider);
  void withdrawOnCallbackQueue(const ExtensionProvider* provider);
  void detachOnCallbackQueue(const ExtensionClientRef& client);
  Status startOnCallbackQueue(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  Status stopOnCallbackQueue(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  PropertyResult readOnCallbackQueue(const ExtensionClientRef& client, ObjectID object,
                                     uint32_t selector);
  Status writeOnCallbackQueue(const ExtensionClientRef& client, ObjectID object, uint32_t selector,
                              const std::vector<uint8_t>& data);
  Status copyQueueOnCallbackQueue(const ExtensionClientRef& client, ObjectID stream,
                                  std::function<void()> queueAltered, media::SimpleQueueRef* queue);
  // Calls connectClient() on the provider's source at the client's first contact with it.
  bool ensureConnected(const ExtensionClientRef& client, const ExtensionProvider* provider);
  StreamLookup lookUpStreamOfDevice(const ExtensionClientRef& client, ObjectID device,
                                    ObjectID stream);

  // The following need stateMutex_ held.
  StreamRecord* findPublished(const ExtensionStream& stream);
  // The stream's record and the client's state on it; nulls when either has gone.
  std::pair<StreamRecord*, ClientStream*> findClientStream(
      ObjectID stream, const std::weak_ptr<const ExtensionClient>& client);
  static bool isStreaming(const StreamRecord& record, const ExtensionClient* client);
  void deliverWaitingBuffers(StreamRecord& record, ClientStream& clientStream);
  void failPending(ClientStream& clientStream, int64_t code, const char* description);
  void armTimeout(ObjectID stream, const ExtensionClientRef& client, uint64_t requestID);

  // Submits a completion or queue-altered callback to the delivery queue. Any thread.
  void deliver(std::function<void()> work);

  // Runs on the client's thread after it enqueued into a sink queue.
  void sinkBufferEnqueued(ObjectID stream, const std::weak_ptr<const ExtensionClient>& client);
  // Runs on the timeout queue.
  void expireConsume(ObjectID stream, const std::weak_ptr<const ExtensionClient>& client,
                     uint64_t requestID);

  mutable std::mutex stateMutex_;
  std::map<const ExtensionProvider*, ProviderRecord> providers_;
  std::map<ObjectID, DeviceRecord> devices_;  // ascending IDs: the order of publication
  std::map<ObjectID, StreamRecord> streams_;
  std::map<const ExtensionStream*, ObjectID> streamIDs_;
  std::map<const ExtensionClient*, ExtensionClientRef> clients_;
  uint64_t nextConsumeID_ = 1;
  std::atomic<uint64_t> deliveriesPosted_{0};  // lets flush() see that a round posted more

  // Declared last, so they are joined before the state their work touches is destroyed.
  std::unique_ptr<dispatch::SerialQueue> deliveryQueue_;
  std::shared_ptr<dispatch::SerialQueue> timeoutQueue_;  // replaced by setClock, under stateMutex_
  std::unique_ptr<dispatch::SerialQueue> callbackQueue_;
};

}  // namespace platform::camera
