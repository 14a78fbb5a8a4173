#pragma once

#include <spa/utils/hook.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/camera/extension_objects.h"
#include "platform/camera/pipewire/shared/pipewire_loop.h"
#include "platform/camera/pipewire/shared/registry_view.h"
#include "platform/dispatch/serial_queue.h"

struct pw_core;
struct pw_stream;

namespace platform::camera::pipewire {

// One published stream of an extension as a PipeWire node: what output and sink nodes share. The
// node exists while the daemon is connected; the clients that stream on it are the links to or
// from it, each one client, and the stream's source hears of the first that comes and the last
// that goes on the publisher's callback queue, never on PipeWire's thread.
class PublishedStream : public StreamEndpoint,
                        public std::enable_shared_from_this<PublishedStream> {
 public:
  PublishedStream(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                  std::shared_ptr<ExtensionStream> stream, const ExtensionDevice& device,
                  int index);
  ~PublishedStream() override;

  ExtensionStream& stream() const { return *stream_; }

  // Makes the node on a new connection, or drops it with the connection. Loop thread.
  void connect(pw_core* core, RegistryView& registry);
  void disconnect();
  // The node's global ID in the daemon; SPA_ID_INVALID while it has none. Loop thread.
  uint32_t nodeID() const;

  // The stream is being withdrawn: what waits for it is answered with an error. Callback queue.
  virtual void withdrawn() {}

  // A link to or from the node came or went: its client starts or stops. Loop thread.
  void linked(uint32_t link);
  void unlinked(uint32_t link);
  // Every client stops, as when the daemon went away or the stream is withdrawn. Loop thread.
  void unlinkAll();

  // StreamEndpoint.
  std::vector<ExtensionClientRef> streamingClients() const override;

 protected:
  // The node's media class and the properties only this kind of node has.
  virtual Properties kindProperties() const = 0;
  // The stream's flags and parameters for pw_stream_connect(). Loop thread.
  virtual void connectStream(pw_stream* stream) = 0;
  // The stream is about to go. Loop thread.
  virtual void streamGoing() {}
  // The client stopped streaming; runs on the callback queue.
  virtual void clientStopped(const ExtensionClientRef& client) { (void)client; }
  // Cuts the links of every client, as for a peer that broke the rules. Loop thread.
  void dropLinks();

  PipeWireLoop& loop_;
  dispatch::SerialQueue& callbacks_;
  pw_stream* pwStream_ = nullptr;  // loop thread or under the loop's lock
  spa_hook streamListener_{};
  RegistryView* registry_ = nullptr;  // while connected; loop thread
  std::vector<uint32_t> links_;       // the links to or from the node; loop thread

 private:
  Properties nodeProperties() const;

  const std::shared_ptr<ExtensionStream> stream_;
  const std::string deviceUID_;
  const std::string deviceName_;
  const int index_;

  mutable base::Mutex clientsMutex_;
  // By link, in the order they started.
  std::vector<std::pair<uint32_t, ExtensionClientRef>> clients_ QLN_GUARDED_BY(clientsMutex_);
};

}  // namespace platform::camera::pipewire
