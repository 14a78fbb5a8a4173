#include "platform/camera/pipewire/publisher/camera_publisher.h"

#include <pipewire/pipewire.h>

#include "platform/camera/pipewire/publisher/output_node.h"
#include "platform/camera/pipewire/publisher/sink_node.h"

namespace platform::camera::pipewire {

CameraPublisher::CameraPublisher(PipeWireLoop& loop, std::shared_ptr<ExtensionProvider> provider,
                                 std::shared_ptr<dispatch::Clock> clock)
    : loop_(loop),
      provider_(std::move(provider)),
      callbacks_("platform.camera.pipewire.callbacks") {
  for (const std::shared_ptr<ExtensionDevice>& device : provider_->devices()) {
    int index = 0;
    for (const std::shared_ptr<ExtensionStream>& stream : device->streams()) {
      std::shared_ptr<PublishedStream> node;
      if (stream->direction() == StreamDirection::Sink) {
        node = std::make_shared<SinkNode>(loop_, callbacks_, stream, *device, index++, clock);
      } else {
        node = std::make_shared<OutputNode>(loop_, callbacks_, stream, *device, index++);
      }
      stream->bindEndpoint(node);
      streams_.push_back(std::move(node));
    }
  }
  PipeWireLoop::Lock lock(loop_);
  connection_ = std::make_unique<DaemonConnection>(
      loop_, "camera-extension",
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
  for (const auto& stream : streams_) stream->stream().bindEndpoint(nullptr);
  // Waiting requests learn of the withdrawal first; the clients stop after, with the nodes.
  callbacks_.async([streams = streams_] {
    for (const auto& stream : streams) stream->withdrawn();
  });
  {
    PipeWireLoop::Lock lock(loop_);
    connection_->stop();
  }
  if (!callbacks_.isCurrent()) callbacks_.sync([] {});
}

void CameraPublisher::connected(pw_core* core) {
  registry_ = std::make_unique<RegistryView>(
      core, RegistryView::Events{[this](const RegistryView::Link& link) { linkAdded(link); },
                                 [this](const RegistryView::Link& link) { linkRemoved(link); }});
  for (const auto& stream : streams_) stream->connect(core, *registry_);
}

void CameraPublisher::lost() {
  for (const auto& stream : streams_) {
    stream->disconnect();
    stream->unlinkAll();
  }
  registry_.reset();
}

void CameraPublisher::linkAdded(const RegistryView::Link& link) {
  for (const auto& stream : streams_) {
    const bool sink = stream->stream().direction() == StreamDirection::Sink;
    if ((sink ? link.inputNode : link.outputNode) == stream->nodeID()) stream->linked(link.id);
  }
}

void CameraPublisher::linkRemoved(const RegistryView::Link& link) {
  for (const auto& stream : streams_) stream->unlinked(link.id);
}

}  // namespace platform::camera::pipewire
