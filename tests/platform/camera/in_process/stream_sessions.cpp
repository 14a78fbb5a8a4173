#include "tests/platform/camera/in_process/stream_sessions.h"

#include <algorithm>

namespace platform::camera::in_process {

bool StreamSessions::isStreaming(ObjectID stream, const ExtensionClientRef& client) const {
  auto found = streaming_.find(stream);
  if (found == streaming_.end()) return false;
  return std::find(found->second.begin(), found->second.end(), client) != found->second.end();
}

bool StreamSessions::anyStreaming(ObjectID stream) const {
  auto found = streaming_.find(stream);
  return found != streaming_.end() && !found->second.empty();
}

std::vector<ExtensionClientRef> StreamSessions::streaming(ObjectID stream) const {
  auto found = streaming_.find(stream);
  return found == streaming_.end() ? std::vector<ExtensionClientRef>{} : found->second;
}

bool StreamSessions::start(ObjectID stream, const ExtensionClientRef& client) {
  std::vector<ExtensionClientRef>& clients = streaming_[stream];
  const bool wasIdle = clients.empty();
  clients.push_back(client);
  return wasIdle;
}

std::optional<bool> StreamSessions::stop(ObjectID stream, const ExtensionClientRef& client) {
  auto found = streaming_.find(stream);
  if (found == streaming_.end()) return std::nullopt;
  auto listed = std::find(found->second.begin(), found->second.end(), client);
  if (listed == found->second.end()) return std::nullopt;
  found->second.erase(listed);
  return found->second.empty();
}

std::vector<ObjectID> StreamSessions::removeClient(const ExtensionClientRef& client) {
  std::vector<ObjectID> leftIdle;
  for (auto& [stream, clients] : streaming_) {
    if (std::erase(clients, client) > 0 && clients.empty()) leftIdle.push_back(stream);
  }
  std::erase_if(outputQueues_,
                [&](const auto& entry) { return entry.first.second == client.get(); });
  return leftIdle;
}

bool StreamSessions::removeStream(ObjectID stream) {
  const bool wasStreaming = anyStreaming(stream);
  streaming_.erase(stream);
  std::erase_if(outputQueues_, [&](const auto& entry) { return entry.first.first == stream; });
  return wasStreaming;
}

media::SimpleQueueRef StreamSessions::outputQueue(ObjectID stream,
                                                  const ExtensionClientRef& client) const {
  auto found = outputQueues_.find({stream, client.get()});
  return found == outputQueues_.end() ? nullptr : found->second.queue;
}

void StreamSessions::setOutputQueue(ObjectID stream, const ExtensionClientRef& client,
                                    media::SimpleQueueRef queue,
                                    std::function<void()> queueAltered) {
  outputQueues_[{stream, client.get()}] = OutputQueue{std::move(queue), std::move(queueAltered)};
}

std::vector<std::function<void()>> StreamSessions::send(ObjectID stream,
                                                        const media::SampleBufferRef& frame) {
  std::vector<std::function<void()>> alterations;
  const auto watchers = streaming_.find(stream);
  if (watchers == streaming_.end() || !frame) return alterations;
  // The host numbers the frames it sends on each stream, so that watchers see what they missed.
  const auto numbered = std::make_shared<media::SampleBuffer>(
      frame->imageBuffer(), frame->dataIsReady(), frame->formatDescription(),
      media::SampleTimingInfo{frame->duration(), frame->presentationTimeStamp(),
                              frame->decodeTimeStamp()},
      ++sent_[stream]);
  // By reference: this runs for every frame, under the host's state lock.
  for (const ExtensionClientRef& client : watchers->second) {
    auto found = outputQueues_.find({stream, client.get()});
    if (found == outputQueues_.end()) continue;
    // A slow client loses its oldest frame, never the newest and never another client's.
    found->second.queue->dequeueOldestIfFull();
    found->second.queue->enqueue(numbered);
    if (found->second.queueAltered) alterations.push_back(found->second.queueAltered);
  }
  return alterations;
}

}  // namespace platform::camera::in_process
