#include "platform/camera/pipewire/client/linked_stream.h"

#include <pipewire/pipewire.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/camera/pipewire/shared/camera_node_keys.h"

namespace platform::camera::pipewire {
namespace {

// How long start() waits for the stream's port to show and for the daemon to make the link, and
// how often it looks.
constexpr std::chrono::seconds kLinkTimeout{3};
constexpr std::chrono::milliseconds kPollInterval{2};

}  // namespace

const pw_proxy_events LinkedStream::kLinkEvents = {
    .version = PW_VERSION_PROXY_EVENTS, .bound = onLinkBound, .error = onLinkError};

LinkedStream::LinkedStream(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
                           uint32_t peerNode, bool output)
    : loop_(loop),
      connection_(connection),
      registry_(registry),
      peerNode_(peerNode),
      output_(output) {}

LinkedStream::~LinkedStream() {
  PipeWireLoop::Lock lock(loop_);
  destroyLocked();
}

void LinkedStream::dropLinkLocked() {
  if (link_ != nullptr) {
    spa_hook_remove(&linkListener_);
    pw_proxy_destroy(link_);
    link_ = nullptr;
  }
  linkID_.reset();
}

void LinkedStream::destroyLocked() {
  dropLinkLocked();
  linkRefused_ = false;
  if (video_) streamGoing();
  video_.reset();
}

void LinkedStream::connectionLost() {
  connectionLost_ = true;
  destroyLocked();
}

void LinkedStream::failed(VideoStream&, const char*) {
  loop_.assertConfined();
  dropLinkLocked();
}

Status LinkedStream::start() {
  {
    PipeWireLoop::Lock lock(loop_);
    if (connectionLost_ || connection_.core() == nullptr) return status::kIllegalOperation;
    VideoParams formats;
    offer(formats);
    video_ = VideoStream::connect(loop_, connection_.core(), setup(), formats, *this);
    if (!video_) return status::kIllegalOperation;
  }

  // The stream's port shows in the registry a little after the stream connected, and the
  // link a little after it was asked for.
  const auto deadline = std::chrono::steady_clock::now() + kLinkTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!connection_.roundTrip()) return status::kIllegalOperation;
    bool ready = false;
    {
      PipeWireLoop::Lock lock(loop_);
      if (!video_ || video_->failed() || linkFailedLocked()) return status::kIllegalOperation;
      // Made and running: a renegotiation asked for from now on is the only one in flight.
      ready = linkReadyLocked();
      if (!ready && link_ == nullptr && !requestLinkLocked()) return status::kIllegalOperation;
    }
    if (ready) {
      linked();
      return status::kNoError;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return status::kIllegalOperation;
}

bool LinkedStream::linkReadyLocked() const {
  if (!video_ || video_->failed() || !linkID_) return false;
  const RegistryView::Link* link = registry_.link(*linkID_);
  return link != nullptr && link->state == RegistryView::Link::State::Active;
}

bool LinkedStream::linkFailedLocked() const {
  if (linkRefused_) return true;
  const RegistryView::Link* link = linkID_ ? registry_.link(*linkID_) : nullptr;
  return link != nullptr && link->state == RegistryView::Link::State::Failed;
}

uint32_t LinkedStream::linkTargetLocked() const {
  if (!output_) return peerNode_;
  const auto sink = registry_.nodes().find(peerNode_);
  if (sink == registry_.nodes().end()) return peerNode_;
  const std::optional<std::string> uid = propertyOf(sink->second.properties, keys::kDeviceUID);
  const std::optional<std::string> index = propertyOf(sink->second.properties, keys::kStreamIndex);
  if (!uid || !index) return peerNode_;
  const std::string tag = keys::sinkInletTag(*uid, *index);
  for (const auto& [id, node] : registry_.nodes()) {
    if (propertyOf(node.properties, keys::kSinkInletOf) == tag && !registry_.linked(id) &&
        registry_.portOf(id, /*output=*/false)) {
      return id;
    }
  }
  return peerNode_;
}

bool LinkedStream::requestLinkLocked() {
  const uint32_t peerNode = linkTargetLocked();
  const uint32_t ownNode = video_->nodeID();
  const std::optional<uint32_t> ownPort = registry_.portOf(ownNode, output_);
  const std::optional<uint32_t> peerPort = registry_.portOf(peerNode, !output_);
  if (ownNode == SPA_ID_INVALID || !ownPort || !peerPort) return true;  // not yet: ask later
  const uint32_t outputNode = output_ ? ownNode : peerNode;
  const uint32_t inputNode = output_ ? peerNode : ownNode;
  const uint32_t outputPort = output_ ? *ownPort : *peerPort;
  const uint32_t inputPort = output_ ? *peerPort : *ownPort;
  pw_properties* props = pw_properties_new(
      PW_KEY_LINK_OUTPUT_NODE, std::to_string(outputNode).c_str(), PW_KEY_LINK_OUTPUT_PORT,
      std::to_string(outputPort).c_str(), PW_KEY_LINK_INPUT_NODE, std::to_string(inputNode).c_str(),
      PW_KEY_LINK_INPUT_PORT, std::to_string(inputPort).c_str(), PW_KEY_OBJECT_LINGER, "false",
      nullptr);
  link_ = static_cast<pw_proxy*>(pw_core_create_object(connection_.core(), "link-factory",
                                                       PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
                                                       &props->dict, 0));
  pw_properties_free(props);
  if (link_ == nullptr) return false;
  pw_proxy_add_listener(link_, &linkListener_, &kLinkEvents, this);
  return true;
}

void LinkedStream::onLinkBound(void* data, uint32_t global) {
  auto* self = static_cast<LinkedStream*>(data);
  self->loop_.assertConfined();
  self->linkID_ = global;
}

void LinkedStream::onLinkError(void* data, int, int, const char*) {
  auto* self = static_cast<LinkedStream*>(data);
  self->loop_.assertConfined();
  self->linkRefused_ = true;
}

}  // namespace platform::camera::pipewire
