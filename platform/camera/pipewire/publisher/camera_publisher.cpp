#include "platform/camera/pipewire/publisher/camera_publisher.h"

#include <cstdio>

#include "platform/camera/pipewire/publisher/node_properties.h"
#include "platform/camera/pipewire/publisher/output_node.h"
#include "platform/camera/pipewire/publisher/sink_node.h"

namespace platform::camera::pipewire {
namespace {

constexpr char kClientName[] = "camera-extension";

}  // namespace

CameraPublisher::CameraPublisher(PipeWireLoop& loop, std::shared_ptr<ExtensionProvider> provider,
                                 std::shared_ptr<dispatch::Clock> clock)
    : loop_(loop),
      provider_(std::move(provider)),
      callbacks_("platform.camera.pipewire.callbacks") {
  for (const std::shared_ptr<ExtensionDevice>& device : provider_->devices()) {
    int index = 0;
    for (const std::shared_ptr<ExtensionStream>& stream : device->streams()) {
      std::shared_ptr<PublishedNode> node;
      if (stream->direction() == StreamDirection::Sink) {
        node = std::make_shared<SinkNode>(loop_, callbacks_, stream, clock);
      } else {
        node = std::make_shared<OutputNode>(loop_, callbacks_, stream);
      }
      stream->bindEndpoint(node);
      published_.push_back({std::move(node), device, index++});
    }
  }
  PipeWireLoop::Lock lock(loop_);
  connection_ = std::make_unique<DaemonConnection>(
      loop_, kClientName,
      DaemonConnection::Events{[this](pw_core* core) { connected(core); }, [this] { lost(); }},
      /*reportFailures=*/true);
  connection_->start();
}

CameraPublisher::~CameraPublisher() {
  withdraw();
  PipeWireLoop::Lock lock(loop_);
  connection_.reset();
}

void CameraPublisher::withdraw() {
  if (withdrawn_) return;
  withdrawn_ = true;
  // No call reaches a node from now on, and the calls under way end before the connection and,
  // after it, the loop go.
  for (const Published& each : published_) {
    each.node->stream().bindEndpoint(nullptr);
    each.node->retire();
  }
  // Waiting requests learn of the withdrawal first; the clients stop after, with the nodes.
  callbacks_.async([published = published_] {
    for (const Published& each : published) each.node->withdrawn();
  });
  {
    PipeWireLoop::Lock lock(loop_);
    connection_->stop();
  }
  if (!callbacks_.isCurrent()) callbacks_.sync([] {});
}

void CameraPublisher::connected(pw_core* core) {
  loop_.assertConfined();
  registry_ = std::make_unique<RegistryView>(
      loop_, core,
      RegistryView::Events{[this](const RegistryView::Link& link) { linkAdded(link); },
                           [this](const RegistryView::Link& link) { linkFailed(link); },
                           [this](const RegistryView::Link& link) { linkRemoved(link); }});
  for (const Published& each : published_) {
    each.node->connect(
        core, *registry_,
        publishedProperties(*provider_, *each.device, each.node->stream(), each.index));
  }
}

void CameraPublisher::lost() {
  loop_.assertConfined();
  for (const Published& each : published_) {
    each.node->disconnect();
    each.node->unlinkAll();
  }
  registry_.reset();
}

void CameraPublisher::linkAdded(const RegistryView::Link& link) {
  loop_.assertConfined();
  for (const Published& each : published_) {
    if (each.node->carries(link)) each.node->linked(link);
  }
}

void CameraPublisher::linkFailed(const RegistryView::Link& link) {
  loop_.assertConfined();
  for (const Published& each : published_) {
    if (!each.node->carries(link)) continue;
    std::fprintf(stderr, "%s: a link to \"%s\" failed (%s); dropped\n", kClientName,
                 each.node->stream().localizedName().c_str(), link.error.c_str());
    registry_->destroy(link.id);
    return;
  }
}

void CameraPublisher::linkRemoved(const RegistryView::Link& link) {
  loop_.assertConfined();
  for (const Published& each : published_) each.node->unlinked(link.id);
}

}  // namespace platform::camera::pipewire
