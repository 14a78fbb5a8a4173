#include "platform/camera/pipewire/publisher/published_node.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstdio>

namespace platform::camera::pipewire {

PublishedNode::PublishedNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                             std::shared_ptr<ExtensionStream> stream)
    : loop_(loop), callbacks_(callbacks), stream_(std::move(stream)) {}

PublishedNode::~PublishedNode() = default;

void PublishedNode::connect(pw_core* core, RegistryView& registry, Properties published) {
  core_ = core;
  registry_ = &registry;
  published_ = std::move(published);
  VideoStreamSetup setup = kind();
  setup.name = stream_->localizedName();
  setup.properties.insert(published_.begin(), published_.end());
  VideoParams formats;
  offer(formats);
  video_ = VideoStream::connect(loop_, core, std::move(setup), formats, *this);
  // Until the next connection the stream is not published, and no link can reach it.
  if (!video_) {
    std::fprintf(stderr, "camera-extension: stream \"%s\" could not be made on PipeWire\n",
                 stream_->localizedName().c_str());
    return;
  }
  streamMade();
}

void PublishedNode::disconnect() {
  if (video_) streamGoing();
  video_.reset();
  core_ = nullptr;
  registry_ = nullptr;
}

void PublishedNode::failed(VideoStream&, const char* reason) {
  loop_.assertConfined();
  std::fprintf(stderr, "camera-extension: stream \"%s\" failed (%s); made anew\n",
               stream_->localizedName().c_str(), reason);
  dropLinks();
  loop_.later([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->remakeFailedStream();
  });
}

void PublishedNode::remakeFailedStream() {
  loop_.assertConfined();
  if (video_ && video_->failed()) remakeStream();  // not when gone or made anew already
}

void PublishedNode::remakeStream() {
  loop_.assertConfined();
  if (core_ == nullptr) return;
  pw_core* core = core_;
  RegistryView* registry = registry_;
  disconnect();
  connect(core, *registry, published_);
}

void PublishedNode::dropLinks() {
  if (registry_ == nullptr) return;
  for (uint32_t link : links_) registry_->destroy(link);
}

void PublishedNode::dropLink(uint32_t link) {
  if (registry_ != nullptr) registry_->destroy(link);
}

uint32_t PublishedNode::nodeID() const {
  return video_ ? video_->nodeID() : SPA_ID_INVALID;
}

bool PublishedNode::carries(const RegistryView::Link& link) const {
  const uint32_t node = nodeID();
  return node != SPA_ID_INVALID &&
         (stream_->direction() == StreamDirection::Sink ? link.inputNode : link.outputNode) == node;
}

void PublishedNode::linked(const RegistryView::Link& came) {
  const uint32_t link = came.id;
  links_.push_back(link);
  const bool taken = linkCame(came);
  linksChanged();
  if (!taken) {
    dropLink(link);
    return;
  }
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
    // A sink's source takes from the client it allowed last, which is this one.
    if (wasIdle || self->takesNewest()) self->stream_->source().startStream();
  });
}

void PublishedNode::unlinked(uint32_t link) {
  if (std::erase(links_, link) == 0) return;  // a link of another node
  linksChanged();
  callbacks_.async([self = shared_from_this(), link] {
    ExtensionClientRef client;
    ExtensionClientRef newest;  // the one left that started last, when `client` was the newest
    bool nowIdle = false;
    {
      base::MutexLock lock(self->clientsMutex_);
      auto found = std::find_if(self->clients_.begin(), self->clients_.end(),
                                [&](const auto& entry) { return entry.first == link; });
      if (found == self->clients_.end()) return;
      client = found->second;
      const bool wasNewest = std::next(found) == self->clients_.end();
      self->clients_.erase(found);
      nowIdle = self->clients_.empty();
      if (wasNewest && !nowIdle) newest = self->clients_.back().second;
    }
    self->clientStopped(client);
    if (nowIdle) {
      self->stream_->source().stopStream();
    } else if (newest && self->takesNewest() &&
               self->stream_->source().authorizedToStartStream(newest)) {
      self->stream_->source().startStream();
    }
  });
}

bool PublishedNode::takesNewest() const {
  return stream_->direction() == StreamDirection::Sink;
}

void PublishedNode::unlinkAll() {
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

std::vector<ExtensionClientRef> PublishedNode::streamingClients() const {
  base::MutexLock lock(clientsMutex_);
  std::vector<ExtensionClientRef> clients;
  for (const auto& [link, client] : clients_) clients.push_back(client);
  return clients;
}

}  // namespace platform::camera::pipewire
