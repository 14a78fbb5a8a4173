#include "tests/platform/camera/in_process/in_process_host.h"

#include <algorithm>

#include "platform/base/mutex.h"
#include "platform/dispatch/serial_queue.h"
#include "tests/platform/camera/in_process/client_registry.h"
#include "tests/platform/camera/in_process/consume_delivery.h"
#include "tests/platform/camera/in_process/host_properties.h"
#include "tests/platform/camera/in_process/object_tree.h"
#include "tests/platform/camera/in_process/stream_sessions.h"

namespace platform::camera {

using in_process::ClientRegistry;
using in_process::ConsumeDelivery;
using in_process::ObjectTree;
using in_process::StreamSessions;

// The host's state and operations, shared by the host object, its clients and the endpoints of
// the streams it publishes. The pieces (tree, clients, sessions, delivery) are under
// stateMutex(); calls into sources run on callbackQueue_ without it.
class InProcessCameraHost::Runtime : public std::enable_shared_from_this<Runtime> {
 public:
  explicit Runtime(std::shared_ptr<dispatch::Clock> clock)
      : delivery_(stateLock_, std::move(clock)), callbackQueue_("platform.camera.host.callbacks") {}

  // ---- Extension side; any thread ----

  void publish(const std::shared_ptr<ExtensionProvider>& provider);
  void withdraw(const std::shared_ptr<ExtensionProvider>& provider);
  void withdrawAll();
  void send(ObjectID stream, const media::SampleBufferRef& frame);
  void consume(ObjectID stream, const ExtensionClientRef& client, ConsumeCompletion completion);
  void notifyScheduledOutputChanged(ObjectID stream, const ExtensionScheduledOutput& output);
  std::vector<ExtensionClientRef> streamingClients(ObjectID stream) const;

  // ---- Client side; any thread, each waits for the callback queue ----

  ExtensionClientRef attachClient();
  void detachClient(const ExtensionClientRef& client);
  PropertyResult readProperty(const ExtensionClientRef& client, ObjectID object, uint32_t selector);
  Status writeProperty(const ExtensionClientRef& client, ObjectID object, uint32_t selector,
                       const PropertyValue& value);
  Status copyBufferQueue(const ExtensionClientRef& client, ObjectID stream,
                         std::function<void()> queueAltered, media::SimpleQueueRef* queue);
  Status startStream(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  Status stopStream(const ExtensionClientRef& client, ObjectID device, ObjectID stream);

  void flush();
  std::optional<ExtensionScheduledOutput> lastScheduledOutput(ObjectID stream) const;

 private:
  // What a client operation found in the tree before it calls into a source.
  struct Found {
    Status status = status::kNoError;
    const ExtensionProvider* provider = nullptr;
    std::shared_ptr<ExtensionDevice> device = nullptr;
    std::shared_ptr<ExtensionStream> stream = nullptr;
  };

  template <typename Work>
  auto onCallbackQueue(Work&& work) -> decltype(work());

  // The following run on the callback queue.
  void detachOnCallbackQueue(const ExtensionClientRef& client);
  Status startOnCallbackQueue(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  Status stopOnCallbackQueue(const ExtensionClientRef& client, ObjectID device, ObjectID stream);
  // Calls connectClient() on the provider's source at the client's first contact with it.
  bool contact(const ExtensionClientRef& client, const ExtensionProvider* provider);
  // The object as a client sees it; kBadObject, or kIllegalOperation for an ended client.
  Found find(const ExtensionClientRef& client, ObjectID object) const QLN_REQUIRES(stateMutex());
  Found findStreamOfDevice(const ExtensionClientRef& client, ObjectID device, ObjectID stream) const
      QLN_REQUIRES(stateMutex());

  // The state lock, which delivery_ shares for its maps. The analysis knows it by delivery_'s
  // name for it, so the host names it that way too.
  base::Mutex& stateMutex() const QLN_RETURN_CAPABILITY(delivery_.stateMutex()) {
    return delivery_.stateMutex();
  }

  mutable base::Mutex stateLock_;  // named stateMutex() everywhere else
  ObjectTree tree_ QLN_GUARDED_BY(stateMutex());
  ClientRegistry clients_ QLN_GUARDED_BY(stateMutex());
  StreamSessions sessions_ QLN_GUARDED_BY(stateMutex());
  ConsumeDelivery delivery_;  // its maps are under stateMutex() too
  dispatch::SerialQueue callbackQueue_;
};

namespace {

// What a published stream asks of the in-process host; holds the runtime while published.
class InProcessEndpoint final : public StreamEndpoint {
 public:
  InProcessEndpoint(std::shared_ptr<InProcessCameraHost::Runtime> runtime, ObjectID stream)
      : runtime_(std::move(runtime)), stream_(stream) {}

  void send(media::SampleBufferRef sampleBuffer, uint64_t) override {
    runtime_->send(stream_, sampleBuffer);
  }
  void consume(const ExtensionClientRef& client, ConsumeCompletion completion) override {
    runtime_->consume(stream_, client, std::move(completion));
  }
  void notifyScheduledOutputChanged(const ExtensionScheduledOutput& output) override {
    runtime_->notifyScheduledOutputChanged(stream_, output);
  }
  std::vector<ExtensionClientRef> streamingClients() const override {
    return runtime_->streamingClients(stream_);
  }

 private:
  const std::shared_ptr<InProcessCameraHost::Runtime> runtime_;
  const ObjectID stream_;
};

// A client's connection by direct calls: a new client identity attached at construction and
// detached by disconnect() or destruction. Thread-safe; each call runs on the caller's thread and
// waits for the host's callback queue.
class InProcessClient final : public HardwareClient {
 public:
  explicit InProcessClient(std::shared_ptr<InProcessCameraHost::Runtime> runtime)
      : runtime_(std::move(runtime)), client_(runtime_->attachClient()) {}
  ~InProcessClient() override { disconnect(); }

  PropertyResult readProperty(ObjectID object, const PropertyAddress& address) override {
    return runtime_->readProperty(client_, object, address.selector);
  }
  Status writeProperty(ObjectID object, const PropertyAddress& address,
                       const PropertyValue& value) override {
    return runtime_->writeProperty(client_, object, address.selector, value);
  }
  Status copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                         media::SimpleQueueRef* queue) override {
    if (queue == nullptr) return status::kIllegalOperation;
    return runtime_->copyBufferQueue(client_, stream, std::move(queueAltered), queue);
  }
  Status startStream(ObjectID device, ObjectID stream) override {
    return runtime_->startStream(client_, device, stream);
  }
  Status stopStream(ObjectID device, ObjectID stream) override {
    return runtime_->stopStream(client_, device, stream);
  }
  void disconnect() override {
    if (!disconnected_.exchange(true)) runtime_->detachClient(client_);
  }

 private:
  const std::shared_ptr<InProcessCameraHost::Runtime> runtime_;
  const ExtensionClientRef client_;
  std::atomic<bool> disconnected_{false};
};

}  // namespace

template <typename Work>
auto InProcessCameraHost::Runtime::onCallbackQueue(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  if (callbackQueue_.isCurrent()) return work();
  if constexpr (std::is_void_v<Result>) {
    callbackQueue_.sync(work);
  } else {
    std::optional<Result> result;
    callbackQueue_.sync([&] { result.emplace(work()); });
    return std::move(*result);
  }
}

// ---- Extension side ----

void InProcessCameraHost::Runtime::publish(const std::shared_ptr<ExtensionProvider>& provider) {
  if (!provider) return;
  onCallbackQueue([&] {
    base::MutexLock lock(stateMutex());
    std::optional<std::vector<ObjectID>> streams = tree_.publish(provider);
    if (!streams) return;
    for (ObjectID id : *streams) {
      tree_.stream(id)->stream->bindEndpoint(
          std::make_shared<InProcessEndpoint>(shared_from_this(), id));
    }
  });
}

void InProcessCameraHost::Runtime::withdraw(const std::shared_ptr<ExtensionProvider>& provider) {
  if (!provider) return;
  onCallbackQueue([&] {
    std::vector<std::shared_ptr<ExtensionStream>> toStop;
    std::vector<ExtensionClientRef> contacted;
    {
      base::MutexLock lock(stateMutex());
      auto streams = tree_.withdraw(provider.get());
      if (!streams) return;
      for (const auto& [id, entry] : *streams) {
        // From here on the stream's calls no longer reach this host: a consume issued now is
        // answered on its caller's thread, so nothing is delivered after the drain below.
        entry.stream->bindEndpoint(nullptr);
        if (sessions_.removeStream(id)) toStop.push_back(entry.stream);
        delivery_.removeStreamLocked(id, host_error::kNotPublished, "the stream was withdrawn");
      }
      contacted = clients_.forgetProvider(provider.get());
    }
    for (const auto& stream : toStop) stream->source().stopStream();
    for (const auto& client : contacted) provider->source().disconnectClient(client);
  });
  delivery_.drain();
}

void InProcessCameraHost::Runtime::withdrawAll() {
  std::vector<std::shared_ptr<ExtensionProvider>> published;
  {
    base::MutexLock lock(stateMutex());
    published = tree_.providers();
  }
  for (const auto& provider : published) withdraw(provider);
}

void InProcessCameraHost::Runtime::send(ObjectID stream, const media::SampleBufferRef& frame) {
  std::vector<std::function<void()>> alterations;
  {
    base::MutexLock lock(stateMutex());
    alterations = sessions_.send(stream, frame);
  }
  for (auto& queueAltered : alterations) delivery_.deliver(std::move(queueAltered));
}

void InProcessCameraHost::Runtime::consume(ObjectID stream, const ExtensionClientRef& client,
                                           ConsumeCompletion completion) {
  if (!completion) return;
  {
    base::MutexLock lock(stateMutex());
    if (const ObjectTree::StreamEntry* entry = tree_.stream(stream)) {
      if (entry->stream->direction() == StreamDirection::Sink &&
          sessions_.isStreaming(stream, client)) {
        delivery_.consumeLocked(stream, client, std::move(completion));
        return;
      }
      // Answered on the delivery queue even now: the caller may ask again from its completion.
      delivery_.deliver([completion = std::move(completion),
                         error = hostError(host_error::kNotStreaming,
                                           "the client is not streaming on the sink stream")] {
        completion(nullptr, 0, kDiscontinuityNone, false, error);
      });
      return;
    }
  }
  // Withdrawn meanwhile: answered here, since the withdrawal no longer waits for deliveries.
  completion(nullptr, 0, kDiscontinuityNone, false,
             hostError(host_error::kNotPublished, "the stream is not published"));
}

void InProcessCameraHost::Runtime::notifyScheduledOutputChanged(
    ObjectID stream, const ExtensionScheduledOutput& output) {
  base::MutexLock lock(stateMutex());
  if (tree_.stream(stream) != nullptr) delivery_.noteScheduledOutputLocked(stream, output);
}

std::vector<ExtensionClientRef> InProcessCameraHost::Runtime::streamingClients(
    ObjectID stream) const {
  base::MutexLock lock(stateMutex());
  return sessions_.streaming(stream);
}

// ---- Client side ----

ExtensionClientRef InProcessCameraHost::Runtime::attachClient() {
  base::MutexLock lock(stateMutex());
  return clients_.attach();
}

void InProcessCameraHost::Runtime::detachClient(const ExtensionClientRef& client) {
  onCallbackQueue([&] { detachOnCallbackQueue(client); });
}

void InProcessCameraHost::Runtime::detachOnCallbackQueue(const ExtensionClientRef& client) {
  std::vector<std::shared_ptr<ExtensionStream>> toStop;
  std::vector<std::shared_ptr<ExtensionProvider>> toTell;
  {
    base::MutexLock lock(stateMutex());
    if (!clients_.isAttached(client)) return;
    for (ObjectID stream : sessions_.removeClient(client)) {
      if (const auto* entry = tree_.stream(stream)) toStop.push_back(entry->stream);
    }
    delivery_.removeClientLocked(client, host_error::kStreamStopped, "the client disconnected");
    for (const ExtensionProvider* provider : clients_.detach(client)) {
      if (auto published = tree_.provider(provider)) toTell.push_back(published);
    }
  }
  for (const auto& stream : toStop) stream->source().stopStream();
  for (const auto& provider : toTell) provider->source().disconnectClient(client);
}

InProcessCameraHost::Runtime::Found InProcessCameraHost::Runtime::find(
    const ExtensionClientRef& client, ObjectID object) const {
  if (!clients_.isAttached(client)) return {status::kIllegalOperation};
  if (const auto* device = tree_.device(object)) {
    return {status::kNoError, device->provider, device->device, nullptr};
  }
  if (const auto* stream = tree_.stream(object)) {
    return {status::kNoError, stream->provider, nullptr, stream->stream};
  }
  return {status::kBadObject};
}

InProcessCameraHost::Runtime::Found InProcessCameraHost::Runtime::findStreamOfDevice(
    const ExtensionClientRef& client, ObjectID device, ObjectID stream) const {
  if (!clients_.isAttached(client)) return {status::kIllegalOperation};
  const auto* entry = tree_.stream(stream);
  if (tree_.device(device) == nullptr || entry == nullptr) return {status::kBadObject};
  if (entry->device != device) return {status::kIllegalOperation};
  return {status::kNoError, entry->provider, nullptr, entry->stream};
}

bool InProcessCameraHost::Runtime::contact(const ExtensionClientRef& client,
                                           const ExtensionProvider* provider) {
  std::shared_ptr<ExtensionProvider> published;
  {
    base::MutexLock lock(stateMutex());
    if (clients_.hasContacted(client, provider)) return true;
    published = tree_.provider(provider);
  }
  if (!published || !published->source().connectClient(client)) return false;
  base::MutexLock lock(stateMutex());
  if (!clients_.isAttached(client) || !tree_.provider(provider)) return false;
  clients_.noteContact(client, provider);
  return true;
}

PropertyResult InProcessCameraHost::Runtime::readProperty(const ExtensionClientRef& client,
                                                          ObjectID object, uint32_t selector) {
  return onCallbackQueue([&]() -> PropertyResult {
    Found found;
    in_process::DeviceTreeState deviceState;
    {
      base::MutexLock lock(stateMutex());
      if (object == kSystemObject && clients_.isAttached(client)) {
        if (selector != selector::kDevices) return {status::kUnknownProperty, {}};
        return {status::kNoError, tree_.deviceIDs()};
      }
      found = find(client, object);
      if (found.status != status::kNoError) return {found.status, {}};
      if (found.device) {
        deviceState.provider = tree_.provider(found.provider);
        deviceState.streams = tree_.device(object)->streams;
        for (ObjectID id : deviceState.streams) {
          if (sessions_.anyStreaming(id)) deviceState.runningSomewhere = true;
        }
      }
    }
    if (!contact(client, found.provider)) return {status::kIllegalOperation, {}};
    if (found.device) return in_process::readDeviceProperty(*found.device, deviceState, selector);
    return in_process::readStreamProperty(*found.stream, selector);
  });
}

Status InProcessCameraHost::Runtime::writeProperty(const ExtensionClientRef& client,
                                                   ObjectID object, uint32_t selector,
                                                   const PropertyValue& value) {
  return onCallbackQueue([&]() -> Status {
    Found found;
    {
      base::MutexLock lock(stateMutex());
      if (object == kSystemObject && clients_.isAttached(client)) {
        return selector == selector::kDevices ? status::kIllegalOperation
                                              : status::kUnknownProperty;
      }
      found = find(client, object);
      if (found.status != status::kNoError) return found.status;
      if (found.device) return in_process::writeDeviceProperty(selector);
    }
    if (!contact(client, found.provider)) return status::kIllegalOperation;
    return in_process::writeStreamProperty(*found.stream, selector, value);
  });
}

Status InProcessCameraHost::Runtime::copyBufferQueue(const ExtensionClientRef& client,
                                                     ObjectID stream,
                                                     std::function<void()> queueAltered,
                                                     media::SimpleQueueRef* queue) {
  return onCallbackQueue([&]() -> Status {
    Found found;
    {
      base::MutexLock lock(stateMutex());
      found = find(client, stream);
      if (found.status != status::kNoError) return found.status;
      if (!found.stream) return status::kBadObject;
      const bool sink = found.stream->direction() == StreamDirection::Sink;
      media::SimpleQueueRef existing =
          sink ? delivery_.sinkQueueLocked(stream, client) : sessions_.outputQueue(stream, client);
      if (existing) {
        // The client's one queue of this stream, with the newer callback.
        if (sink) {
          delivery_.setSinkQueueLocked(stream, client, existing, std::move(queueAltered));
        } else {
          sessions_.setOutputQueue(stream, client, existing, std::move(queueAltered));
        }
        *queue = std::move(existing);
        return status::kNoError;
      }
    }
    if (!contact(client, found.provider)) return status::kIllegalOperation;
    const bool sink = found.stream->direction() == StreamDirection::Sink;
    auto created = media::SimpleQueue::create(
        sink ? sinkQueueCapacity(found.stream->source()
                                     .streamProperties({PropertyKey::StreamSinkBufferQueueSize})
                                     .sinkBufferQueueSize)
             : kDefaultQueueCapacity);
    if (sink) {
      created->setEnqueueListener(
          [weakSelf = weak_from_this(), stream, weakClient = std::weak_ptr(client)] {
            auto self = weakSelf.lock();
            auto enqueuing = weakClient.lock();
            if (!self || !enqueuing) return;
            base::MutexLock lock(self->stateMutex());
            self->delivery_.bufferEnqueuedLocked(stream, enqueuing);
          });
    }
    base::MutexLock lock(stateMutex());
    if (!clients_.isAttached(client) || tree_.stream(stream) == nullptr) return status::kBadObject;
    if (sink) {
      delivery_.setSinkQueueLocked(stream, client, created, std::move(queueAltered));
    } else {
      sessions_.setOutputQueue(stream, client, created, std::move(queueAltered));
    }
    *queue = std::move(created);
    return status::kNoError;
  });
}

Status InProcessCameraHost::Runtime::startStream(const ExtensionClientRef& client, ObjectID device,
                                                 ObjectID stream) {
  return onCallbackQueue([&] { return startOnCallbackQueue(client, device, stream); });
}

Status InProcessCameraHost::Runtime::startOnCallbackQueue(const ExtensionClientRef& client,
                                                          ObjectID device, ObjectID stream) {
  Found found;
  {
    base::MutexLock lock(stateMutex());
    found = findStreamOfDevice(client, device, stream);
    if (found.status != status::kNoError) return found.status;
    if (sessions_.isStreaming(stream, client)) return status::kNoError;
  }
  if (!contact(client, found.provider)) return status::kIllegalOperation;
  if (!found.stream->source().authorizedToStartStream(client)) return status::kIllegalOperation;
  bool wasIdle = false;
  {
    base::MutexLock lock(stateMutex());
    if (!clients_.isAttached(client) || tree_.stream(stream) == nullptr) return status::kBadObject;
    if (sessions_.isStreaming(stream, client)) return status::kNoError;
    // Listed before startStream(), so the stream's source finds the client that started it.
    wasIdle = sessions_.start(stream, client);
  }
  if (wasIdle) found.stream->source().startStream();
  return status::kNoError;
}

Status InProcessCameraHost::Runtime::stopStream(const ExtensionClientRef& client, ObjectID device,
                                                ObjectID stream) {
  return onCallbackQueue([&] { return stopOnCallbackQueue(client, device, stream); });
}

Status InProcessCameraHost::Runtime::stopOnCallbackQueue(const ExtensionClientRef& client,
                                                         ObjectID device, ObjectID stream) {
  Found found;
  bool nowIdle = false;
  {
    base::MutexLock lock(stateMutex());
    found = findStreamOfDevice(client, device, stream);
    if (found.status != status::kNoError) return found.status;
    std::optional<bool> stopped = sessions_.stop(stream, client);
    if (!stopped) return status::kNotRunning;
    delivery_.failLocked(stream, client, host_error::kStreamStopped,
                         "the client stopped the stream");
    nowIdle = *stopped;
  }
  if (nowIdle) found.stream->source().stopStream();
  return status::kNoError;
}

void InProcessCameraHost::Runtime::flush() {
  callbackQueue_.sync([] {});
  delivery_.flush();
}

std::optional<ExtensionScheduledOutput> InProcessCameraHost::Runtime::lastScheduledOutput(
    ObjectID stream) const {
  base::MutexLock lock(stateMutex());
  return delivery_.lastScheduledOutputLocked(stream);
}

// ---- The host object ----

InProcessCameraHost::InProcessCameraHost(std::shared_ptr<dispatch::Clock> clock)
    : runtime_(std::make_shared<Runtime>(std::move(clock))) {}

InProcessCameraHost::~InProcessCameraHost() {
  runtime_->withdrawAll();
}

void InProcessCameraHost::startService(const std::shared_ptr<ExtensionProvider>& provider) {
  runtime_->publish(provider);
}

void InProcessCameraHost::stopService(const std::shared_ptr<ExtensionProvider>& provider) {
  runtime_->withdraw(provider);
}

std::shared_ptr<HardwareClient> InProcessCameraHost::connect() {
  return std::make_shared<InProcessClient>(runtime_);
}

void InProcessCameraHost::flush() {
  runtime_->flush();
}

std::optional<ExtensionScheduledOutput> InProcessCameraHost::lastScheduledOutput(
    ObjectID stream) const {
  return runtime_->lastScheduledOutput(stream);
}

}  // namespace platform::camera
