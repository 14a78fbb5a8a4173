#include "platform/camera/pipewire/publisher/published_stream.h"

#include <pipewire/pipewire.h>

#include <algorithm>

#include "platform/camera/pipewire/shared/camera_node_keys.h"

namespace platform::camera::pipewire {

PublishedStream::PublishedStream(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                                 std::shared_ptr<ExtensionStream> stream,
                                 const ExtensionDevice& device, int index)
    : loop_(loop),
      callbacks_(callbacks),
      stream_(std::move(stream)),
      deviceUID_(device.uid()),
      deviceName_(device.localizedName()),
      index_(index) {}

PublishedStream::~PublishedStream() = default;

Properties PublishedStream::nodeProperties() const {
  Properties properties = kindProperties();
  // A node name that stays the same across restarts, so applications remember the camera.
  std::string name = "camera-" + stream_->streamID().toString();
  std::transform(name.begin(), name.end(), name.begin(), ::tolower);
  properties[PW_KEY_NODE_NAME] = name;
  properties[keys::kDeviceUID] = deviceUID_;
  properties[keys::kDeviceName] = deviceName_;
  properties[keys::kStreamName] = stream_->localizedName();
  properties[keys::kStreamDirection] =
      std::to_string(stream_->direction() == StreamDirection::Sink ? 0 : 1);
  properties[keys::kStreamIndex] = std::to_string(index_);
  return properties;
}

void PublishedStream::connect(pw_core* core, RegistryView& registry) {
  registry_ = &registry;
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  for (const auto& [key, value] : nodeProperties()) {
    pw_properties_set(props, key.c_str(), value.c_str());
  }
  pwStream_ = pw_stream_new(core, stream_->localizedName().c_str(), props);
  if (pwStream_ == nullptr) return;
  connectStream(pwStream_);
}

void PublishedStream::disconnect() {
  if (pwStream_ == nullptr) return;
  streamGoing();
  spa_hook_remove(&streamListener_);
  pw_stream_destroy(pwStream_);
  pwStream_ = nullptr;
  registry_ = nullptr;
}

void PublishedStream::dropLinks() {
  if (registry_ == nullptr) return;
  for (uint32_t link : links_) registry_->destroy(link);
}

uint32_t PublishedStream::nodeID() const {
  return pwStream_ != nullptr ? pw_stream_get_node_id(pwStream_) : SPA_ID_INVALID;
}

void PublishedStream::linked(uint32_t link) {
  links_.push_back(link);
  auto client = std::make_shared<const ExtensionClient>(ExtensionClient{Uuid::random(), 0, ""});
  callbacks_.async([self = shared_from_this(), link, client] {
    // A client the source refuses is not listed; its link carries nothing the source takes.
    if (!self->stream_->source().authorizedToStartStream(client)) return;
    bool wasIdle = false;
    {
      base::MutexLock lock(self->clientsMutex_);
      wasIdle = self->clients_.empty();
      self->clients_.emplace_back(link, client);
    }
    if (wasIdle) self->stream_->source().startStream();
  });
}

void PublishedStream::unlinked(uint32_t link) {
  if (std::erase(links_, link) == 0) return;  // a link of another node
  callbacks_.async([self = shared_from_this(), link] {
    ExtensionClientRef client;
    bool nowIdle = false;
    {
      base::MutexLock lock(self->clientsMutex_);
      auto found = std::find_if(self->clients_.begin(), self->clients_.end(),
                                [&](const auto& entry) { return entry.first == link; });
      if (found == self->clients_.end()) return;
      client = found->second;
      self->clients_.erase(found);
      nowIdle = self->clients_.empty();
    }
    self->clientStopped(client);
    if (nowIdle) self->stream_->source().stopStream();
  });
}

void PublishedStream::unlinkAll() {
  links_.clear();
  callbacks_.async([self = shared_from_this()] {
    std::vector<std::pair<uint32_t, ExtensionClientRef>> stopped;
    {
      base::MutexLock lock(self->clientsMutex_);
      stopped.swap(self->clients_);
    }
    for (const auto& [link, client] : stopped) self->clientStopped(client);
    if (!stopped.empty()) self->stream_->source().stopStream();
  });
}

std::vector<ExtensionClientRef> PublishedStream::streamingClients() const {
  base::MutexLock lock(clientsMutex_);
  std::vector<ExtensionClientRef> clients;
  for (const auto& [link, client] : clients_) clients.push_back(client);
  return clients;
}

}  // namespace platform::camera::pipewire
