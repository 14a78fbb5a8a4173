#include "platform/camera/host_runtime.h"

#include <unistd.h>
#include <algorithm>

#include "platform/camera/host_properties.h"

namespace platform::camera {
namespace {

// Object IDs of devices and streams, process-wide and never reused; 1 is the system object.
std::atomic<ObjectID> nextObjectID{kSystemObject + 1};

ObjectID allocateObjectID() {
  return nextObjectID.fetch_add(1, std::memory_order_relaxed);
}

ExtensionError hostError(int64_t code, const char* description) {
  return ExtensionError{kHostErrorDomain, code, description};
}

int32_t sinkQueueCapacity(std::optional<int64_t> advertised) {
  if (!advertised || *advertised < 1) return HostRuntime::kDefaultQueueCapacity;
  return static_cast<int32_t>(std::min<int64_t>(*advertised, HostRuntime::kMaxQueueCapacity));
}

template <typename T>
bool removeFirst(std::vector<T>& items, const T& item) {
  auto it = std::find(items.begin(), items.end(), item);
  if (it == items.end()) return false;
  items.erase(it);
  return true;
}

}  // namespace

HostRuntime& HostRuntime::processRuntime() {
  // Never destroyed: clients and extensions may still call in while the process exits.
  static HostRuntime* runtime = new HostRuntime(dispatch::hostClock());
  return *runtime;
}

HostRuntime::HostRuntime(std::shared_ptr<dispatch::Clock> clock)
    : deliveryQueue_(std::make_unique<dispatch::SerialQueue>("platform.camera.host.delivery")),
      timeoutQueue_(std::make_shared<dispatch::SerialQueue>("platform.camera.host.timeouts",
                                                            std::move(clock))),
      callbackQueue_(std::make_unique<dispatch::SerialQueue>("platform.camera.host.callbacks")) {}

HostRuntime::~HostRuntime() = default;

template <typename Work>
auto HostRuntime::onCallbackQueue(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  if (callbackQueue_->isCurrent()) return work();
  if constexpr (std::is_void_v<Result>) {
    callbackQueue_->sync(work);
  } else {
    std::optional<Result> result;
    callbackQueue_->sync([&] { result.emplace(work()); });
    return std::move(*result);
  }
}

void HostRuntime::setClock(std::shared_ptr<dispatch::Clock> clock) {
  auto replacement =
      std::make_shared<dispatch::SerialQueue>("platform.camera.host.timeouts", std::move(clock));
  std::shared_ptr<dispatch::SerialQueue> previous;
  {
    std::lock_guard lock(stateMutex_);
    previous = std::exchange(timeoutQueue_, replacement);
    for (auto& [streamID, record] : streams_) {
      for (auto& [key, clientStream] : record.clients) {
        auto client = clients_.find(key);
        if (client == clients_.end()) continue;
        for (const PendingConsume& request : clientStream.pending) {
          armTimeout(streamID, client->second, request.id);
        }
      }
    }
  }
  // Joined outside the lock: its running work may be waiting for the lock.
  previous.reset();
}

// ---- Extension side ----

void HostRuntime::publish(const std::shared_ptr<ExtensionProvider>& provider) {
  if (!provider) return;
  onCallbackQueue([&] { publishOnCallbackQueue(provider); });
}

void HostRuntime::publishOnCallbackQueue(const std::shared_ptr<ExtensionProvider>& provider) {
  std::lock_guard lock(stateMutex_);
  if (providers_.count(provider.get()) != 0) return;
  ProviderRecord providerRecord{provider, {}, {}};
  for (const std::shared_ptr<ExtensionDevice>& device : provider->devices()) {
    ObjectID deviceID = allocateObjectID();
    DeviceRecord deviceRecord{provider.get(), device, {}};
    for (const std::shared_ptr<ExtensionStream>& stream : device->streams()) {
      ObjectID streamID = allocateObjectID();
      StreamRecord streamRecord;
      streamRecord.device = deviceID;
      streamRecord.provider = provider.get();
      streamRecord.stream = stream;
      streams_.emplace(streamID, std::move(streamRecord));
      streamIDs_[stream.get()] = streamID;
      deviceRecord.streams.push_back(streamID);
    }
    devices_.emplace(deviceID, std::move(deviceRecord));
    providerRecord.devices.push_back(deviceID);
  }
  providers_.emplace(provider.get(), std::move(providerRecord));
}

void HostRuntime::withdraw(const std::shared_ptr<ExtensionProvider>& provider) {
  if (!provider) return;
  onCallbackQueue([&] { withdrawOnCallbackQueue(provider.get()); });
  if (!deliveryQueue_->isCurrent()) deliveryQueue_->sync([] {});
}

void HostRuntime::withdrawOnCallbackQueue(const ExtensionProvider* provider) {
  std::vector<std::shared_ptr<ExtensionStream>> streamsToStop;
  ProviderRecord providerRecord;
  {
    std::lock_guard lock(stateMutex_);
    auto found = providers_.find(provider);
    if (found == providers_.end()) return;
    providerRecord = std::move(found->second);
    providers_.erase(found);
    for (ObjectID deviceID : providerRecord.devices) {
      for (ObjectID streamID : devices_[deviceID].streams) {
        StreamRecord& record = streams_[streamID];
        if (!record.streaming.empty()) streamsToStop.push_back(record.stream);
        for (auto& [key, clientStream] : record.clients) {
          failPending(clientStream, host_error::kNotPublished, "the stream was withdrawn");
        }
        streamIDs_.erase(record.stream.get());
        streams_.erase(streamID);
      }
      devices_.erase(deviceID);
    }
  }
  for (const auto& stream : streamsToStop) stream->source().stopStream();
  for (const ExtensionClientRef& client : providerRecord.connected) {
    providerRecord.provider->source().disconnectClient(client);
  }
}

void HostRuntime::sendSampleBuffer(const ExtensionStream& stream,
                                   media::SampleBufferRef sampleBuffer) {
  if (!sampleBuffer) return;
  std::lock_guard lock(stateMutex_);
  StreamRecord* record = findPublished(stream);
  if (record == nullptr || stream.direction() != StreamDirection::Source) return;
  for (const ExtensionClientRef& client : record->streaming) {
    auto clientStream = record->clients.find(client.get());
    if (clientStream == record->clients.end() || !clientStream->second.queue) continue;
    ClientStream& target = clientStream->second;
    // A slow client loses its oldest frame; the sender never waits.
    target.queue->dequeueOldestIfFull();
    if (target.queue->enqueue(sampleBuffer) == media::kStatusOK && target.queueAltered) {
      deliver(target.queueAltered);
    }
  }
}

void HostRuntime::consumeSampleBuffer(const ExtensionStream& stream,
                                      const ExtensionClientRef& client,
                                      ExtensionStream::ConsumeCompletion completion) {
  if (!completion) return;
  std::lock_guard lock(stateMutex_);
  StreamRecord* record = findPublished(stream);
  ExtensionError error;
  if (record == nullptr) {
    error = hostError(host_error::kNotPublished, "the stream is not published");
  } else if (stream.direction() != StreamDirection::Sink) {
    error = hostError(host_error::kNotStreaming, "buffers are consumed only from sink streams");
  } else if (!client || !isStreaming(*record, client.get())) {
    error = hostError(host_error::kNotStreaming, "the client is not streaming on the stream");
  } else {
    ClientStream& clientStream = record->clients[client.get()];
    uint64_t requestID = nextConsumeID_++;
    clientStream.pending.push_back(PendingConsume{requestID, std::move(completion)});
    deliverWaitingBuffers(*record, clientStream);
    if (!clientStream.pending.empty() && clientStream.pending.back().id == requestID) {
      armTimeout(streamIDs_[&stream], client, requestID);
    }
    return;
  }
  // Completed on the delivery queue even now: the caller may re-issue from its completion.
  deliver([completion = std::move(completion), error] {
    completion(nullptr, 0, kDiscontinuityNone, false, error);
  });
}

void HostRuntime::notifyScheduledOutputChanged(const ExtensionStream& stream,
                                               const ExtensionScheduledOutput& output) {
  std::lock_guard lock(stateMutex_);
  if (StreamRecord* record = findPublished(stream)) record->lastScheduledOutput = output;
}

std::vector<ExtensionClientRef> HostRuntime::streamingClients(const ExtensionStream& stream) const {
  std::lock_guard lock(stateMutex_);
  auto id = streamIDs_.find(&stream);
  if (id == streamIDs_.end()) return {};
  return streams_.at(id->second).streaming;
}

// ---- Client side ----

ExtensionClientRef HostRuntime::attachClient() {
  auto client = std::make_shared<const ExtensionClient>(
      ExtensionClient{Uuid::random(), static_cast<int32_t>(getpid()), {}});
  std::lock_guard lock(stateMutex_);
  clients_.emplace(client.get(), client);
  return client;
}

void HostRuntime::detachClient(const ExtensionClientRef& client) {
  if (!client) return;
  onCallbackQueue([&] { detachOnCallbackQueue(client); });
}

void HostRuntime::detachOnCallbackQueue(const ExtensionClientRef& client) {
  std::vector<std::shared_ptr<ExtensionStream>> streamsToStop;
  std::vector<std::shared_ptr<ExtensionProvider>> providersToTell;
  {
    std::lock_guard lock(stateMutex_);
    if (clients_.erase(client.get()) == 0) return;
    for (auto& [streamID, record] : streams_) {
      if (removeFirst(record.streaming, client) && record.streaming.empty()) {
        streamsToStop.push_back(record.stream);
      }
      auto clientStream = record.clients.find(client.get());
      if (clientStream == record.clients.end()) continue;
      failPending(clientStream->second, host_error::kStreamStopped, "the client disconnected");
      record.clients.erase(clientStream);
    }
    for (auto& [key, providerRecord] : providers_) {
      if (removeFirst(providerRecord.connected, client)) {
        providersToTell.push_back(providerRecord.provider);
      }
    }
  }
  for (const auto& stream : streamsToStop) stream->source().stopStream();
  for (const auto& provider : providersToTell) provider->source().disconnectClient(client);
}

PropertyResult HostRuntime::readProperty(const ExtensionClientRef& client, ObjectID object,
                                         uint32_t selector) {
  return onCallbackQueue([&] { return readOnCallbackQueue(client, object, selector); });
}

PropertyResult HostRuntime::readOnCallbackQueue(const ExtensionClientRef& client, ObjectID object,
                                                uint32_t selector) {
  const ExtensionProvider* provider = nullptr;
  std::shared_ptr<ExtensionDevice> device;
  DeviceTreeState deviceState;
  std::shared_ptr<ExtensionStream> stream;
  {
    std::lock_guard lock(stateMutex_);
    if (clients_.count(client.get()) == 0) return {status::kIllegalOperation, {}};
    if (object == kSystemObject) {
      if (selector != selector::kDevices) return {status::kUnknownProperty, {}};
      std::vector<ObjectID> ids;
      for (const auto& [id, record] : devices_) ids.push_back(id);
      return {status::kNoError, std::move(ids)};
    }
    if (auto found = devices_.find(object); found != devices_.end()) {
      provider = found->second.provider;
      device = found->second.device;
      deviceState.streams = found->second.streams;
      deviceState.runningSomewhere =
          std::any_of(deviceState.streams.begin(), deviceState.streams.end(),
                      [&](ObjectID id) { return !streams_.at(id).streaming.empty(); });
    } else if (auto foundStream = streams_.find(object); foundStream != streams_.end()) {
      provider = foundStream->second.provider;
      stream = foundStream->second.stream;
    } else {
      return {status::kBadObject, {}};
    }
  }
  if (!ensureConnected(client, provider)) return {status::kIllegalOperation, {}};
  if (device) return readDeviceProperty(*device, deviceState, selector);
  return readStreamProperty(*stream, selector);
}

Status HostRuntime::writeProperty(const ExtensionClientRef& client, ObjectID object,
                                  uint32_t selector, const std::vector<uint8_t>& data) {
  return onCallbackQueue([&] { return writeOnCallbackQueue(client, object, selector, data); });
}

Status HostRuntime::writeOnCallbackQueue(const ExtensionClientRef& client, ObjectID object,
                                         uint32_t selector, const std::vector<uint8_t>& data) {
  const ExtensionProvider* provider = nullptr;
  std::shared_ptr<ExtensionStream> stream;
  {
    std::lock_guard lock(stateMutex_);
    if (clients_.count(client.get()) == 0) return status::kIllegalOperation;
    if (object == kSystemObject) {
      return selector == selector::kDevices ? status::kIllegalOperation : status::kUnknownProperty;
    }
    if (auto found = devices_.find(object); found != devices_.end()) {
      return writeDeviceProperty(selector);
    }
    auto found = streams_.find(object);
    if (found == streams_.end()) return status::kBadObject;
    provider = found->second.provider;
    stream = found->second.stream;
  }
  if (!ensureConnected(client, provider)) return status::kIllegalOperation;
  return writeStreamProperty(*stream, selector, data);
}

Status HostRuntime::copyBufferQueue(const ExtensionClientRef& client, ObjectID stream,
                                    std::function<void()> queueAltered,
                                    media::SimpleQueueRef* queue) {
  if (queue == nullptr) return status::kIllegalOperation;
  return onCallbackQueue(
      [&] { return copyQueueOnCallbackQueue(client, stream, std::move(queueAltered), queue); });
}

Status HostRuntime::copyQueueOnCallbackQueue(const ExtensionClientRef& client, ObjectID streamID,
                                             std::function<void()> queueAltered,
                                             media::SimpleQueueRef* queue) {
  const ExtensionProvider* provider = nullptr;
  std::shared_ptr<ExtensionStream> stream;
  {
    std::lock_guard lock(stateMutex_);
    if (clients_.count(client.get()) == 0) return status::kIllegalOperation;
    auto found = streams_.find(streamID);
    if (found == streams_.end()) return status::kBadObject;
    auto existing = found->second.clients.find(client.get());
    if (existing != found->second.clients.end() && existing->second.queue) {
      existing->second.queueAltered = std::move(queueAltered);
      *queue = existing->second.queue;
      return status::kNoError;
    }
    provider = found->second.provider;
    stream = found->second.stream;
  }
  if (!ensureConnected(client, provider)) return status::kIllegalOperation;
  bool sink = stream->direction() == StreamDirection::Sink;
  media::SimpleQueueRef created = media::SimpleQueue::create(
      sink ? sinkQueueCapacity(advertisedSinkQueueSize(*stream)) : kDefaultQueueCapacity);
  if (sink) {
    created->setEnqueueListener(
        [this, streamID, weakClient = std::weak_ptr<const ExtensionClient>(client)] {
          sinkBufferEnqueued(streamID, weakClient);
        });
  }
  std::lock_guard lock(stateMutex_);
  auto found = streams_.find(streamID);
  if (found == streams_.end() || clients_.count(client.get()) == 0) return status::kBadObject;
  ClientStream& clientStream = found->second.clients[client.get()];
  clientStream.queue = created;
  clientStream.queueAltered = std::move(queueAltered);
  *queue = std::move(created);
  return status::kNoError;
}

Status HostRuntime::startStream(const ExtensionClientRef& client, ObjectID device,
                                ObjectID stream) {
  return onCallbackQueue([&] { return startOnCallbackQueue(client, device, stream); });
}

Status HostRuntime::startOnCallbackQueue(const ExtensionClientRef& client, ObjectID deviceID,
                                         ObjectID streamID) {
  StreamLookup lookup = lookUpStreamOfDevice(client, deviceID, streamID);
  if (lookup.status != status::kNoError) return lookup.status;
  {
    std::lock_guard lock(stateMutex_);
    auto found = streams_.find(streamID);
    if (found == streams_.end()) return status::kBadObject;
    if (isStreaming(found->second, client.get())) return status::kNoError;
  }
  if (!ensureConnected(client, lookup.provider)) return status::kIllegalOperation;
  if (!lookup.stream->source().authorizedToStartStream(client)) {
    return status::kIllegalOperation;
  }
  bool wasIdle = false;
  {
    std::lock_guard lock(stateMutex_);
    auto found = streams_.find(streamID);
    if (found == streams_.end() || clients_.count(client.get()) == 0) return status::kBadObject;
    StreamRecord& record = found->second;
    if (isStreaming(record, client.get())) return status::kNoError;
    wasIdle = record.streaming.empty();
    // Listed before startStream(), so the stream's source finds the client that started it.
    record.streaming.push_back(client);
    record.clients.try_emplace(client.get());
  }
  if (wasIdle) lookup.stream->source().startStream();
  return status::kNoError;
}

Status HostRuntime::stopStream(const ExtensionClientRef& client, ObjectID device, ObjectID stream) {
  return onCallbackQueue([&] { return stopOnCallbackQueue(client, device, stream); });
}

Status HostRuntime::stopOnCallbackQueue(const ExtensionClientRef& client, ObjectID deviceID,
                                        ObjectID streamID) {
  StreamLookup lookup = lookUpStreamOfDevice(client, deviceID, streamID);
  if (lookup.status != status::kNoError) return lookup.status;
  bool nowIdle = false;
  {
    std::lock_guard lock(stateMutex_);
    auto found = streams_.find(streamID);
    if (found == streams_.end()) return status::kBadObject;
    StreamRecord& record = found->second;
    if (!removeFirst(record.streaming, client)) return status::kNotRunning;
    failPending(record.clients[client.get()], host_error::kStreamStopped,
                "the client stopped the stream");
    nowIdle = record.streaming.empty();
  }
  if (nowIdle) lookup.stream->source().stopStream();
  return status::kNoError;
}

HostRuntime::StreamLookup HostRuntime::lookUpStreamOfDevice(const ExtensionClientRef& client,
                                                            ObjectID deviceID, ObjectID streamID) {
  std::lock_guard lock(stateMutex_);
  if (clients_.count(client.get()) == 0) return {status::kIllegalOperation, nullptr, nullptr};
  auto found = streams_.find(streamID);
  if (devices_.count(deviceID) == 0 || found == streams_.end()) {
    return {status::kBadObject, nullptr, nullptr};
  }
  if (found->second.device != deviceID) return {status::kIllegalOperation, nullptr, nullptr};
  return {status::kNoError, found->second.provider, found->second.stream};
}

bool HostRuntime::ensureConnected(const ExtensionClientRef& client,
                                  const ExtensionProvider* provider) {
  std::shared_ptr<ExtensionProvider> owner;
  {
    std::lock_guard lock(stateMutex_);
    auto found = providers_.find(provider);
    if (found == providers_.end()) return false;
    const auto& connected = found->second.connected;
    if (std::find(connected.begin(), connected.end(), client) != connected.end()) return true;
    owner = found->second.provider;
  }
  if (!owner->source().connectClient(client)) return false;
  std::lock_guard lock(stateMutex_);
  auto found = providers_.find(provider);
  if (found == providers_.end() || clients_.count(client.get()) == 0) return false;
  found->second.connected.push_back(client);
  return true;
}

// ---- Sink buffers and consume requests ----

void HostRuntime::sinkBufferEnqueued(ObjectID streamID,
                                     const std::weak_ptr<const ExtensionClient>& weakClient) {
  std::lock_guard lock(stateMutex_);
  auto [record, clientStream] = findClientStream(streamID, weakClient);
  if (clientStream) deliverWaitingBuffers(*record, *clientStream);
}

std::pair<HostRuntime::StreamRecord*, HostRuntime::ClientStream*> HostRuntime::findClientStream(
    ObjectID streamID, const std::weak_ptr<const ExtensionClient>& weakClient) {
  ExtensionClientRef client = weakClient.lock();
  if (!client) return {};
  auto record = streams_.find(streamID);
  if (record == streams_.end()) return {};
  auto clientStream = record->second.clients.find(client.get());
  if (clientStream == record->second.clients.end()) return {};
  return {&record->second, &clientStream->second};
}

void HostRuntime::deliverWaitingBuffers(StreamRecord& record, ClientStream& clientStream) {
  while (!clientStream.pending.empty() && clientStream.queue) {
    media::SampleBufferRef buffer = clientStream.queue->dequeue();
    if (!buffer) return;
    PendingConsume request = std::move(clientStream.pending.front());
    clientStream.pending.pop_front();
    uint64_t sequenceNumber = record.nextSequenceNumber++;
    bool hasMore = clientStream.queue->count() > 0;
    deliver([completion = std::move(request.completion), buffer = std::move(buffer), sequenceNumber,
             hasMore] {
      completion(buffer, sequenceNumber, kDiscontinuityNone, hasMore, std::nullopt);
    });
    if (clientStream.queueAltered) deliver(clientStream.queueAltered);
  }
}

void HostRuntime::failPending(ClientStream& clientStream, int64_t code, const char* description) {
  for (PendingConsume& request : clientStream.pending) {
    deliver([completion = std::move(request.completion), error = hostError(code, description)] {
      completion(nullptr, 0, kDiscontinuityNone, false, error);
    });
  }
  clientStream.pending.clear();
}

void HostRuntime::armTimeout(ObjectID streamID, const ExtensionClientRef& client,
                             uint64_t requestID) {
  uint64_t deadline = timeoutQueue_->clock()->nowNanos() + kConsumeTimeoutNanos;
  timeoutQueue_->asyncAfter(
      deadline, [this, streamID, weakClient = std::weak_ptr<const ExtensionClient>(client),
                 requestID] { expireConsume(streamID, weakClient, requestID); });
}

void HostRuntime::expireConsume(ObjectID streamID,
                                const std::weak_ptr<const ExtensionClient>& weakClient,
                                uint64_t requestID) {
  std::lock_guard lock(stateMutex_);
  ClientStream* clientStream = findClientStream(streamID, weakClient).second;
  if (!clientStream) return;
  auto& pending = clientStream->pending;
  auto request = std::find_if(pending.begin(), pending.end(),
                              [&](const PendingConsume& p) { return p.id == requestID; });
  if (request == pending.end()) return;
  deliver([completion = std::move(request->completion),
           error = hostError(host_error::kTimedOut, "no buffer came in time")] {
    completion(nullptr, 0, kDiscontinuityNone, false, error);
  });
  pending.erase(request);
}

HostRuntime::StreamRecord* HostRuntime::findPublished(const ExtensionStream& stream) {
  auto id = streamIDs_.find(&stream);
  return id == streamIDs_.end() ? nullptr : &streams_.at(id->second);
}

bool HostRuntime::isStreaming(const StreamRecord& record, const ExtensionClient* client) {
  return std::any_of(record.streaming.begin(), record.streaming.end(),
                     [&](const ExtensionClientRef& c) { return c.get() == client; });
}

// ---- Tests ----

std::optional<ExtensionScheduledOutput> HostRuntime::lastScheduledOutput(ObjectID stream) const {
  std::lock_guard lock(stateMutex_);
  auto found = streams_.find(stream);
  if (found == streams_.end()) return std::nullopt;
  return found->second.lastScheduledOutput;
}

void HostRuntime::flush() {
  // Completions may post further completions (a consume re-issued with buffers waiting), so
  // repeat until a round posted nothing new.
  uint64_t posted = 0;
  do {
    posted = deliveriesPosted_.load();
    callbackQueue_->sync([] {});
    std::shared_ptr<dispatch::SerialQueue> timeouts;
    {
      std::lock_guard lock(stateMutex_);
      timeouts = timeoutQueue_;
    }
    timeouts->sync([] {});
    deliveryQueue_->sync([] {});
  } while (deliveriesPosted_.load() != posted);
}

void HostRuntime::deliver(std::function<void()> work) {
  ++deliveriesPosted_;
  deliveryQueue_->async(std::move(work));
}

}  // namespace platform::camera
