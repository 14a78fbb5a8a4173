#include "platform/camera/pipewire/client/pipewire_client.h"

#include <pipewire/pipewire.h>

#include "platform/camera/camera_host.h"
#include "platform/camera/pipewire/client/sink_pusher.h"
#include "platform/camera/pipewire/client/source_watcher.h"

namespace platform::camera::pipewire {
namespace {

PropertyResult publishedProperty(const std::map<uint32_t, PropertyValue>& published,
                                 uint32_t selector) {
  auto found = published.find(selector);
  return found != published.end() ? PropertyResult::of(found->second)
                                  : PropertyResult::failed(status::kUnknownProperty);
}

// What a watcher of `stream` asks for: the offered format at `preferred` first, then its pixel
// format at the other sizes, so that a camera already running for another watcher in that pixel
// format keeps its size. A stream that lists no formats is asked for BGRA at 1920x1080.
std::vector<VideoFormat> watchedFormats(const CameraTree::Stream& stream, uint32_t preferred) {
  if (stream.formats.empty()) return {VideoFormat{media::kPixelFormat32BGRA, {1920, 1080}}};
  const VideoFormat& asked = stream.formats[preferred < stream.formats.size() ? preferred : 0];
  std::vector<VideoFormat> formats{asked};
  for (const VideoFormat& format : stream.formats) {
    if (format.pixelFormat == asked.pixelFormat && format != asked) formats.push_back(format);
  }
  return formats;
}

}  // namespace

PipeWireClient::PipeWireClient(PipeWireLoop& loop, std::shared_ptr<dispatch::Clock> clock)
    : loop_(loop), clock_(std::move(clock)) {}

PipeWireClient::~PipeWireClient() {
  disconnect();
}

void PipeWireClient::start() {
  {
    PipeWireLoop::Lock lock(loop_);
    connection_ = std::make_unique<DaemonConnection>(
        loop_, "camera-client",
        DaemonConnection::Events{[this](pw_core* core) { connected(core); }, [this] { lost(); }},
        /*reportFailures=*/false);
    connection_->start();
  }
  // The first answer lists the nodes; the second brings each node's own properties.
  if (connection_->awaitFirstTry() && connection_->roundTrip()) connection_->roundTrip();
}

void PipeWireClient::connected(pw_core* core) {
  loop_.assertConfined();
  registry_ = std::make_unique<RegistryView>(loop_, core);
}

void PipeWireClient::lost() {
  loop_.assertConfined();
  // The streams go with the connection; their objects stay until stopped, since destroying a
  // producer here would wait for its worker, which may be waiting for this very thread.
  for (auto& [stream, started] : started_) started->connectionLost();
  registry_.reset();
  lostSinceTree_ = true;
}

CameraTree PipeWireClient::treeLocked() {
  if (!registry_) return {};
  const std::optional<uint32_t> cookie = connection_->daemonCookie();
  if (!cookie) return {};
  if (*cookie != daemon_.cookie) {
    daemon_ = {.cookie = *cookie, .returns = 0};
  } else if (lostSinceTree_) {
    ++daemon_.returns;
  }
  lostSinceTree_ = false;
  return CameraTree::build(*registry_, daemon_);
}

PropertyResult PipeWireClient::readProperty(ObjectID object, const PropertyAddress& address) {
  if (disconnected_) return PropertyResult::failed(status::kIllegalOperation);
  PipeWireLoop::Lock lock(loop_);
  const CameraTree tree = treeLocked();
  const uint32_t selector = address.selector;
  if (object == kSystemObject) {
    if (selector != selector::kDevices) return PropertyResult::failed(status::kUnknownProperty);
    std::vector<ObjectID> ids;
    for (const CameraTree::Device& device : tree.devices) ids.push_back(device.id);
    return PropertyResult::of(std::move(ids));
  }
  if (const CameraTree::Device* device = tree.device(object)) {
    switch (selector) {
      case selector::kStreams: {
        std::vector<ObjectID> ids;
        for (const CameraTree::Stream& stream : device->streams) ids.push_back(stream.id);
        return PropertyResult::of(std::move(ids));
      }
      case selector::kDeviceUID:
        return PropertyResult::of(device->uid);
      case selector::kName:
        return PropertyResult::of(device->name);
      case selector::kIsRunningSomewhere:
        return PropertyResult::of(uint32_t{device->running ? 1u : 0u});
      default:
        return publishedProperty(device->published, selector);
    }
  }
  const auto [owner, stream] = tree.stream(object);
  if (stream == nullptr) return PropertyResult::failed(status::kBadObject);
  switch (selector) {
    case selector::kName:
      return PropertyResult::of(stream->name);
    case selector::kDirection:
      return PropertyResult::of(stream->direction);
    case selector::kFormats: {
      std::vector<StreamFormatInfo> formats;
      for (const VideoFormat& format : stream->formats) {
        formats.push_back({format.pixelFormat, static_cast<int32_t>(format.size.width),
                           static_cast<int32_t>(format.size.height), 1, 30});
      }
      return PropertyResult::of(std::move(formats));
    }
    case selector::kActiveFormatIndex: {
      // The camera's own while it streams to watchers; else what this client asks for.
      if (stream->activeFormat) return PropertyResult::of(*stream->activeFormat);
      auto preferred = preferredFormat_.find(object);
      return PropertyResult::of(preferred != preferredFormat_.end() ? preferred->second : 0u);
    }
    default:
      return publishedProperty(stream->published, selector);
  }
}

Status PipeWireClient::writeProperty(ObjectID object, const PropertyAddress& address,
                                     const PropertyValue& written) {
  if (disconnected_) return status::kIllegalOperation;
  PipeWireLoop::Lock lock(loop_);
  const CameraTree tree = treeLocked();
  const auto [owner, stream] = tree.stream(object);
  if (stream == nullptr) {
    return object == kSystemObject || tree.device(object) != nullptr ? status::kIllegalOperation
                                                                     : status::kBadObject;
  }
  if (address.selector != selector::kActiveFormatIndex) return status::kIllegalOperation;
  // The format a watcher of this client asks for first; the camera takes the one it negotiates.
  const auto* index = std::get_if<uint32_t>(&written);
  if (index == nullptr) return status::kBadPropertySize;
  if (*index < stream->formats.size()) preferredFormat_[object] = *index;
  return status::kNoError;
}

Status PipeWireClient::copyBufferQueue(ObjectID stream, std::function<void()> queueAltered,
                                       media::SimpleQueueRef* queue) {
  if (queue == nullptr || disconnected_) return status::kIllegalOperation;
  std::optional<int64_t> advertised;
  bool sink = false;
  {
    PipeWireLoop::Lock lock(loop_);
    const CameraTree tree = treeLocked();
    const auto [owner, found] = tree.stream(stream);
    if (found == nullptr) return status::kBadObject;
    sink = found->direction == 0;
    auto size = found->published.find(selector::kSinkBufferQueueSize);
    if (size != found->published.end()) advertised = std::get<uint32_t>(size->second);
  }
  base::MutexLock lock(streamsMutex_);
  QueueEntry& entry = queues_[stream];
  entry.queueAltered = std::move(queueAltered);
  if (!entry.queue) {
    entry.queue =
        media::SimpleQueue::create(sink ? sinkQueueCapacity(advertised) : kDefaultQueueCapacity);
  }
  *queue = entry.queue;
  return status::kNoError;
}

Status PipeWireClient::startStream(ObjectID device, ObjectID stream) {
  if (disconnected_) return status::kIllegalOperation;
  base::MutexLock operations(operationsMutex_);
  std::shared_ptr<LinkedStream> started;
  media::SimpleQueueRef queue;
  {
    PipeWireLoop::Lock lock(loop_);
    const CameraTree tree = treeLocked();
    const auto [owner, found] = tree.stream(stream);
    if (tree.device(device) == nullptr || found == nullptr) return status::kBadObject;
    if (owner->id != device) return status::kIllegalOperation;
    if (started_.count(stream) != 0) return status::kNoError;
    if (!registry_ || connection_->core() == nullptr) return status::kIllegalOperation;
    QueueEntry entry;
    {
      base::MutexLock queues(streamsMutex_);
      entry = queues_[stream];
      if (!entry.queue)
        entry.queue = queues_[stream].queue = media::SimpleQueue::create(kDefaultQueueCapacity);
    }
    queue = entry.queue;
    if (found->direction == 0) {
      auto pusher =
          std::make_shared<SinkPusher>(loop_, *connection_, *registry_, found->node, queue, clock_);
      queue->setEnqueueListener([weak = std::weak_ptr<SinkPusher>(pusher)] {
        if (auto live = weak.lock()) live->wake();
      });
      started = pusher;
    } else {
      auto preferred = preferredFormat_.find(stream);
      started = std::make_shared<SourceWatcher>(
          loop_, *connection_, *registry_, found->node,
          watchedFormats(*found, preferred != preferredFormat_.end() ? preferred->second : 0),
          queue, entry.queueAltered, clock_);
    }
    started_[stream] = started;
  }
  const Status status = started->start();
  if (status != status::kNoError) {
    PipeWireLoop::Lock lock(loop_);
    started_.erase(stream);
  }
  return status;
}

Status PipeWireClient::stopStream(ObjectID device, ObjectID stream) {
  if (disconnected_) return status::kIllegalOperation;
  base::MutexLock operations(operationsMutex_);
  std::shared_ptr<LinkedStream> stopped;
  bool listed = true;
  {
    PipeWireLoop::Lock lock(loop_);
    const CameraTree tree = treeLocked();
    const auto [owner, found] = tree.stream(stream);
    auto started = started_.find(stream);
    if (started == started_.end()) {
      if (found == nullptr || tree.device(device) == nullptr) return status::kBadObject;
      return owner->id == device ? status::kNotRunning : status::kIllegalOperation;
    }
    stopped = std::move(started->second);
    started_.erase(started);
    // A stream no longer listed: a client that finds its camera again asks for a queue again.
    listed = found != nullptr;
    if (!listed) preferredFormat_.erase(stream);
  }
  {
    base::MutexLock queues(streamsMutex_);
    auto entry = queues_.find(stream);
    if (entry != queues_.end() && entry->second.queue) entry->second.queue->setEnqueueListener({});
    // Its queue may hold pictures the stream never took.
    if (!listed && entry != queues_.end()) queues_.erase(entry);
  }
  stopped.reset();  // the link goes with the stream
  return status::kNoError;
}

void PipeWireClient::disconnect() {
  if (disconnected_.exchange(true)) return;
  base::MutexLock operations(operationsMutex_);
  {
    base::MutexLock queues(streamsMutex_);
    for (auto& [stream, entry] : queues_) {
      if (entry.queue) entry.queue->setEnqueueListener({});
    }
  }
  std::map<ObjectID, std::shared_ptr<LinkedStream>> started;
  {
    PipeWireLoop::Lock lock(loop_);
    started.swap(started_);
  }
  started.clear();
  PipeWireLoop::Lock lock(loop_);
  if (connection_) connection_->stop();
  connection_.reset();
}

}  // namespace platform::camera::pipewire
