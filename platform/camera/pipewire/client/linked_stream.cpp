#include "platform/camera/pipewire/client/linked_stream.h"

#include <pipewire/pipewire.h>

#include <chrono>
#include <string>
#include <thread>

namespace platform::camera::pipewire {
namespace {

// How long start() waits for the stream's port to show and for the daemon to make the link, and
// how often it looks.
constexpr std::chrono::seconds kLinkTimeout{3};
constexpr std::chrono::milliseconds kPollInterval{2};

}  // namespace

LinkedStream::LinkedStream(PipeWireLoop& loop, DaemonConnection& connection,
                           RegistryView& registry, uint32_t peerNode, bool output)
    : loop_(loop),
      connection_(connection),
      registry_(registry),
      peerNode_(peerNode),
      output_(output) {}

LinkedStream::~LinkedStream() {
  PipeWireLoop::Lock lock(loop_);
  destroyLocked();
}

void LinkedStream::destroyLocked() {
  if (link_ != nullptr) {
    spa_hook_remove(&linkListener_);
    spa_hook_remove(&linkInfoListener_);
    pw_proxy_destroy(link_);
    link_ = nullptr;
  }
  linkBound_ = false;
  linkFailed_ = false;
  linkActive_ = false;
  if (stream_ != nullptr) {
    streamGoing();
    spa_hook_remove(&streamListener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
  }
}

void LinkedStream::connectionLost() {
  destroyLocked();
}

Status LinkedStream::start() {
  {
    PipeWireLoop::Lock lock(loop_);
    if (connection_.core() == nullptr) return status::kIllegalOperation;
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    for (const auto& [key, value] : streamProperties()) {
      pw_properties_set(props, key.c_str(), value.c_str());
    }
    stream_ = pw_stream_new(connection_.core(), "camera-client", props);
    if (stream_ == nullptr) return status::kIllegalOperation;
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents(), this);
    VideoParams params;
    fillConnectParams(params);
    pw_stream_connect(stream_, output_ ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT, PW_ID_ANY,
                      static_cast<pw_stream_flags>(streamFlags()), params.data(), params.count());
  }

  // The stream's port shows in the registry a little after the stream connected, and the
  // link a little after it was asked for.
  const auto deadline = std::chrono::steady_clock::now() + kLinkTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!connection_.roundTrip()) return status::kIllegalOperation;
    bool bound = false;
    {
      PipeWireLoop::Lock lock(loop_);
      if (stream_ == nullptr || linkFailed_) return status::kIllegalOperation;
      // Made and running: a renegotiation asked for from now on is the only one in flight.
      bound = linkBound_ && linkActive_;
      if (!bound && link_ == nullptr && !requestLinkLocked()) return status::kIllegalOperation;
    }
    if (bound) {
      linked();
      return status::kNoError;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return status::kIllegalOperation;
}

bool LinkedStream::requestLinkLocked() {
  const uint32_t ownNode = pw_stream_get_node_id(stream_);
  const std::optional<uint32_t> ownPort = registry_.portOf(ownNode, output_);
  const std::optional<uint32_t> peerPort = registry_.portOf(peerNode_, !output_);
  if (ownNode == SPA_ID_INVALID || !ownPort || !peerPort) return true;  // not yet: ask later
  const uint32_t outputNode = output_ ? ownNode : peerNode_;
  const uint32_t inputNode = output_ ? peerNode_ : ownNode;
  const uint32_t outputPort = output_ ? *ownPort : *peerPort;
  const uint32_t inputPort = output_ ? *peerPort : *ownPort;
  pw_properties* props = pw_properties_new(
      PW_KEY_LINK_OUTPUT_NODE, std::to_string(outputNode).c_str(), PW_KEY_LINK_OUTPUT_PORT,
      std::to_string(outputPort).c_str(), PW_KEY_LINK_INPUT_NODE,
      std::to_string(inputNode).c_str(), PW_KEY_LINK_INPUT_PORT, std::to_string(inputPort).c_str(),
      PW_KEY_OBJECT_LINGER, "false", nullptr);
  link_ = static_cast<pw_proxy*>(pw_core_create_object(connection_.core(), "link-factory",
                                                       PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
                                                       &props->dict, 0));
  pw_properties_free(props);
  if (link_ == nullptr) return false;
  static const pw_proxy_events events = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.bound = onLinkBound;
    e.error = onLinkError;
    e.removed = onLinkRemoved;
    return e;
  }();
  pw_proxy_add_listener(link_, &linkListener_, &events, this);
  static const pw_link_events linkEvents = [] {
    pw_link_events e{};
    e.version = PW_VERSION_LINK_EVENTS;
    e.info = onLinkInfo;
    return e;
  }();
  pw_proxy_add_object_listener(link_, &linkInfoListener_, &linkEvents, this);
  return true;
}

void LinkedStream::onLinkBound(void* data, uint32_t) {
  static_cast<LinkedStream*>(data)->linkBound_ = true;
}

void LinkedStream::onLinkInfo(void* data, const pw_link_info* info) {
  auto* self = static_cast<LinkedStream*>(data);
  if ((info->change_mask & PW_LINK_CHANGE_MASK_STATE) == 0) return;
  self->linkActive_ = info->state == PW_LINK_STATE_ACTIVE;
  if (info->state == PW_LINK_STATE_ERROR) self->linkFailed_ = true;
  self->linkStateChanged();
}

void LinkedStream::onLinkRemoved(void* data) {
  auto* self = static_cast<LinkedStream*>(data);
  self->linkActive_ = false;
  self->linkStateChanged();
}

void LinkedStream::onLinkError(void* data, int, int, const char*) {
  static_cast<LinkedStream*>(data)->linkFailed_ = true;
}

}  // namespace platform::camera::pipewire
