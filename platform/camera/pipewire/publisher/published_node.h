#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/camera/pipewire/shared/video_stream.h"
#include "platform/dispatch/serial_queue.h"

namespace platform::camera::pipewire {

// One published stream of an extension as a PipeWire node: what output and sink nodes share. The
// node exists while the daemon is connected; the clients that stream on it are the links to or
// from it, each one client, and the stream's source hears of the first that comes and the last
// that goes (a sink's source also of each newest client) on the publisher's callback queue, never
// on PipeWire's thread. A node whose stream fails is said once on standard error, loses its links
// and is made anew.
class PublishedNode : public StreamEndpoint,
                      protected VideoStream::Owner,
                      public std::enable_shared_from_this<PublishedNode> {
 public:
  PublishedNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                std::shared_ptr<ExtensionStream> stream);
  ~PublishedNode() override;

  ExtensionStream& stream() const { return *stream_; }

  // Makes the node on a new connection, with `published` (the properties clients read: the
  // device's, the provider's, the stream's) among its properties, or drops it with the
  // connection. Loop thread.
  void connect(pw_core* core, RegistryView& registry, Properties published)
      QLN_REQUIRES(loopConfinement);
  void disconnect() QLN_REQUIRES(loopConfinement);
  // The node's global ID in the daemon; SPA_ID_INVALID while it has none. Loop thread.
  uint32_t nodeID() const QLN_REQUIRES(loopConfinement);
  // Whether the link carries this node's data: it ends (sink) or starts (output) at the node, or
  // at a stream the node made for it.
  virtual bool carries(const RegistryView::Link& link) const QLN_REQUIRES(loopConfinement);

  // The stream is being withdrawn: what waits for it is answered with an error. Callback queue.
  virtual void withdrawn() {}
  // Ends the calls that reach the loop from other threads (frames sent): when this returns, none
  // runs and none starts, so the loop may go. Any thread but the loop thread, without its lock.
  virtual void retire() {}

  // A link to or from the node came or went: its client starts or stops. Loop thread.
  void linked(const RegistryView::Link& link) QLN_REQUIRES(loopConfinement);
  void unlinked(uint32_t link) QLN_REQUIRES(loopConfinement);
  // Every client stops, as when the daemon went away or the stream is withdrawn. Loop thread.
  void unlinkAll() QLN_REQUIRES(loopConfinement);

  // StreamEndpoint.
  std::vector<ExtensionClientRef> streamingClients() const override;

 protected:
  // What makes this kind of node: its media class and own properties, direction, flags and
  // buffers, and the formats it offers. Loop thread.
  virtual VideoStreamSetup kind() const QLN_REQUIRES(loopConfinement) = 0;
  virtual void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) = 0;
  // The node's stream was made, or is about to go: what was kept for its buffers goes with it.
  // Loop thread.
  virtual void streamMade() QLN_REQUIRES(loopConfinement) {}
  virtual void streamGoing() QLN_REQUIRES(loopConfinement) {}
  // A link to or from the node came: whether the node takes it (one it does not take is asked to
  // go, and its client never starts). Then, or when one went, linksChanged.
  virtual bool linkCame(const RegistryView::Link& link) QLN_REQUIRES(loopConfinement) {
    (void)link;
    return true;
  }
  virtual void linksChanged() QLN_REQUIRES(loopConfinement) {}
  // The client stopped streaming; runs on the callback queue.
  virtual void clientStopped(const ExtensionClientRef& client) { (void)client; }
  // VideoStream::Owner: says so, drops the links and makes the stream anew, after the event.
  void failed(VideoStream& stream, const char* reason) override;
  // Cuts the links of every client, as for a peer that broke the rules. Loop thread.
  void dropLinks() QLN_REQUIRES(loopConfinement);
  // Cuts one link. Loop thread.
  void dropLink(uint32_t link) QLN_REQUIRES(loopConfinement);
  // Drops the stream, and with it every link, and makes it anew. Loop thread, never from inside
  // one of the stream's events.
  void remakeStream() QLN_REQUIRES(loopConfinement);

  // While connected; loop thread.
  pw_core* core() const QLN_REQUIRES(loopConfinement) { return core_; }
  // The properties clients read the node by.
  const Properties& published() const QLN_REQUIRES(loopConfinement) { return published_; }

  PipeWireLoop& loop_;
  dispatch::SerialQueue& callbacks_;
  // While connected; it may be in error until it is made anew.
  std::unique_ptr<VideoStream> video_ QLN_GUARDED_BY(loopConfinement);
  std::vector<uint32_t> links_ QLN_GUARDED_BY(loopConfinement);  // the links to or from the node

 private:
  void remakeFailedStream();
  // Whether the source starts again for each client, taking the newest: a sink's does, so that
  // the producer that started last is the one shown, and the one before it when it stops.
  bool takesNewest() const;

  const std::shared_ptr<ExtensionStream> stream_;
  // While connected; loop thread.
  pw_core* core_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  RegistryView* registry_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  Properties published_ QLN_GUARDED_BY(loopConfinement);

  mutable base::Mutex clientsMutex_;
  // By link, in the order they started.
  std::vector<std::pair<uint32_t, ExtensionClientRef>> clients_ QLN_GUARDED_BY(clientsMutex_);
};

}  // namespace platform::camera::pipewire
