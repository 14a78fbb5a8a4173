#pragma once

#include <spa/utils/hook.h>

#include <cstdint>

#include "platform/camera/hardware.h"
#include "platform/camera/pipewire/shared/daemon_connection.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/camera/pipewire/shared/video_params.h"

struct pw_proxy;
struct pw_stream_events;
struct pw_link_info;
struct pw_stream;

namespace platform::camera::pipewire {

// A client's own stream, linked to a camera's node through the daemon's link factory, so that no
// session manager is needed: a producer's output into a sink node, or a watcher's input from an
// output node. The link lives as long as this object (or the connection). Subclasses handle the
// stream's events on the loop thread.
class LinkedStream {
 public:
  LinkedStream(PipeWireLoop& loop, DaemonConnection& connection, RegistryView& registry,
               uint32_t peerNode, bool output);
  virtual ~LinkedStream();  // takes the loop's lock; not on the loop thread
  LinkedStream(const LinkedStream&) = delete;
  LinkedStream& operator=(const LinkedStream&) = delete;

  // Makes the stream, waits for its port and links it to the peer node. kNoError once the
  // daemon made the link and it runs, kIllegalOperation when it refused or did not answer in
  // time. Any thread but the loop thread, without the loop's lock.
  Status start();

  // The connection went away, and with it the stream and the link. Loop thread.
  void connectionLost();

 protected:
  // The stream's properties and parameters; called once, under the loop's lock.
  virtual Properties streamProperties() const = 0;
  virtual void fillConnectParams(VideoParams& params) const = 0;
  // The events the stream needs; the listener is streamListener_.
  virtual const struct pw_stream_events& streamEvents() const = 0;
  virtual uint32_t streamFlags() const = 0;
  // The link is made; what waited for it may go. The thread that called start().
  virtual void linked() {}
  // The stream is about to go, with the connection or the object. Loop thread or under the lock.
  virtual void streamGoing() {}
  // Drops the link and the stream. Loop thread or under the lock.
  void destroyLocked();
  // Whether the link carries data now: it is active, and both ends have their buffers; false
  // once the daemon removed it. Loop thread or under the lock.
  bool linkReadyLocked() const { return stream_ != nullptr && linkActive_; }
  // The link's state changed. Loop thread.
  virtual void linkStateChanged() {}

  PipeWireLoop& loop_;
  pw_stream* stream_ = nullptr;  // loop thread or under the loop's lock; null once gone
  spa_hook streamListener_{};

 private:
  static void onLinkBound(void* data, uint32_t global);
  static void onLinkError(void* data, int seq, int res, const char* message);
  static void onLinkInfo(void* data, const struct pw_link_info* info);
  static void onLinkRemoved(void* data);
  // Asks the daemon for the link once both ports show; false when it cannot be asked.
  bool requestLinkLocked();

  DaemonConnection& connection_;
  RegistryView& registry_;
  const uint32_t peerNode_;
  const bool output_;
  pw_proxy* link_ = nullptr;
  spa_hook linkListener_{};
  spa_hook linkInfoListener_{};
  // Loop thread or under the lock.
  bool linkBound_ = false;
  bool linkFailed_ = false;
  bool linkActive_ = false;
};

}  // namespace platform::camera::pipewire
