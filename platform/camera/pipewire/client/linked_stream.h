#pragma once

#include <spa/utils/hook.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/camera/hardware.h"
#include "platform/camera/pipewire/shared/daemon_connection.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/camera/pipewire/shared/video_stream.h"

struct pw_proxy;
struct pw_proxy_events;

namespace platform::camera::pipewire {

// A client's own stream, linked to a camera's node through the daemon's link factory, so that no
// session manager is needed: a producer's output into a sink node, or a watcher's input from an
// output node. The link lives as long as the stream (or the connection); its state is the one
// the registry lists. A stream that fails loses its link and takes nothing more; start() says so.
// Subclasses say what the stream is and handle its buffers on the loop thread; one whose hooks
// touch its own members calls destroyLocked() in its destructor, so that no event finds it gone.
class LinkedStream : protected VideoStream::Owner {
 public:
  LinkedStream(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
               uint32_t peerNode, bool output);
  virtual ~LinkedStream();  // takes the loop's lock; not on the loop thread
  LinkedStream(const LinkedStream&) = delete;
  LinkedStream& operator=(const LinkedStream&) = delete;

  // Makes the stream, waits for its port and links it to the peer node. kNoError once the
  // daemon made the link and it runs, kIllegalOperation when it refused, the stream failed or
  // nothing answered in time. Any thread but the loop thread, without the loop's lock.
  Status start() QLN_EXCLUDES(loopConfinement);

  // The connection went away, and with it the stream and the link; the stream is over, and
  // start() fails from now on: the registry it was made with is gone.
  void connectionLost() QLN_REQUIRES(loopConfinement);

 protected:
  // What the stream is, and the formats it offers; called under the loop's lock.
  virtual VideoStreamSetup setup() const QLN_REQUIRES(loopConfinement) = 0;
  virtual void offer(VideoParams& formats) const QLN_REQUIRES(loopConfinement) = 0;
  // The link is made; what waited for it may go. The thread that called start().
  virtual void linked() {}
  // The stream is about to go, with the connection or the object.
  virtual void streamGoing() QLN_REQUIRES(loopConfinement) {}
  // Drops the link and the stream.
  void destroyLocked() QLN_REQUIRES(loopConfinement);
  // Whether the link carries data now: the daemon made it and it is active; false once it is
  // gone or failed.
  bool linkReadyLocked() const QLN_REQUIRES(loopConfinement);

  PipeWireLoop& loop_;
  std::unique_ptr<VideoStream> video_ QLN_GUARDED_BY(loopConfinement);  // null once gone

 private:
  // VideoStream::Owner: the link goes; the stream stays, in error, until the object goes. The
  // client is told by start(), not on standard error: its program's lines there are its own.
  void failed(VideoStream& stream, const char* reason) final;

  static void onLinkBound(void* data, uint32_t global);
  static void onLinkError(void* data, int seq, int res, const char* message);
  static const pw_proxy_events kLinkEvents;
  // The node to link to: for a producer, an unlinked inlet of the sink node when it has one
  // (PipeWire keeps a port's buffers for its first link only).
  uint32_t linkTargetLocked() const QLN_REQUIRES(loopConfinement);
  // Asks the daemon for the link once both ports show; false when it cannot be asked.
  bool requestLinkLocked() QLN_REQUIRES(loopConfinement);
  void dropLinkLocked() QLN_REQUIRES(loopConfinement);
  bool linkFailedLocked() const QLN_REQUIRES(loopConfinement);

  DaemonConnection& connection_;
  RegistryView& registry_;  // the connection's, while it lasts; unused once the stream is over
  const uint32_t peerNode_;
  const bool output_;
  pw_proxy* link_ QLN_GUARDED_BY(loopConfinement) = nullptr;
  spa_hook linkListener_ QLN_GUARDED_BY(loopConfinement){};
  std::optional<uint32_t> linkID_ QLN_GUARDED_BY(loopConfinement);  // its global ID, once bound
  bool linkRefused_ QLN_GUARDED_BY(loopConfinement) = false;
  bool connectionLost_ QLN_GUARDED_BY(loopConfinement) = false;
};

}  // namespace platform::camera::pipewire
