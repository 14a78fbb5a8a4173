#pragma once

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/camera/extension_objects.h"
#include "platform/camera/hardware.h"
#include "platform/media/simple_queue.h"

namespace platform::camera::in_process {

// Who streams on which stream, in the order they started, and each client's queue of an output
// stream, which the host fills with sent frames. Not thread-safe: the host guards it with its
// state lock.
class StreamSessions {
 public:
  bool isStreaming(ObjectID stream, const ExtensionClientRef& client) const;
  bool anyStreaming(ObjectID stream) const;
  std::vector<ExtensionClientRef> streaming(ObjectID stream) const;

  // Lists the client as streaming; true when the stream was idle before.
  bool start(ObjectID stream, const ExtensionClientRef& client);
  // Unlists the client; nullopt when it was not streaming, else whether the stream is now idle.
  std::optional<bool> stop(ObjectID stream, const ExtensionClientRef& client);
  // Unlists the client everywhere and drops its queues; returns the streams it left idle.
  std::vector<ObjectID> removeClient(const ExtensionClientRef& client);
  // Forgets the stream; true when anyone was streaming on it.
  bool removeStream(ObjectID stream);

  // The client's queue of an output stream, made by the host; null when it has none.
  media::SimpleQueueRef outputQueue(ObjectID stream, const ExtensionClientRef& client) const;
  void setOutputQueue(ObjectID stream, const ExtensionClientRef& client,
                      media::SimpleQueueRef queue, std::function<void()> queueAltered);
  // Hands the frame, numbered, to the queue of every streaming client that has one, dropping the
  // oldest frame of a full queue; returns the queue-altered callbacks to run.
  std::vector<std::function<void()>> send(ObjectID stream, const media::SampleBufferRef& frame);

 private:
  struct OutputQueue {
    media::SimpleQueueRef queue;
    std::function<void()> queueAltered;
  };
  using Key = std::pair<ObjectID, const ExtensionClient*>;

  std::map<ObjectID, std::vector<ExtensionClientRef>> streaming_;  // in the order they started
  std::map<Key, OutputQueue> outputQueues_;
  std::map<ObjectID, uint64_t> sent_;  // frames sent on each output stream
};

}  // namespace platform::camera::in_process
