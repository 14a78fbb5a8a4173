#include "platform/camera/pipewire/publisher/sink_node.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "platform/base/shared_memory.h"
#include "platform/camera/camera_host.h"
#include "platform/camera/pipewire/publisher/node_properties.h"
#include "platform/camera/pipewire/shared/camera_node_keys.h"
#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/camera/pipewire/shared/picture_rows.h"
#include "platform/media/media_time.h"

namespace platform::camera::pipewire {
namespace {

// The chunk as it is now: the producer may rewrite it at any time, so each field is read once,
// and only the copy is checked and used.
spa_chunk snapshotOf(const spa_chunk& shared) {
  const volatile spa_chunk& chunk = shared;
  return spa_chunk{chunk.offset, chunk.size, chunk.stride, chunk.flags};
}

}  // namespace

// The producer's shared memory, mapped read-only once per memory block. Pictures handed to the
// extension keep it mapped, so they stay readable after PipeWire took the buffers back.
struct SinkNode::Memory {
  base::SharedMapping mapping;
};

// One buffer PipeWire lent the node: where its picture lies, and whether it is still lent.
// `lent` is read and written on the loop thread or under its lock.
struct SinkNode::Slot {
  VideoStream* stream = nullptr;  // the stream that lends it
  pw_buffer* buffer = nullptr;
  spa_meta_header* header = nullptr;  // null when the buffer has none
  bool lent QLN_GUARDED_BY(loopConfinement) = true;
  // Null when the buffer is not sealed memory that holds what it claims.
  std::shared_ptr<Memory> memory;
  const uint8_t* data = nullptr;  // the buffer's first byte, in `memory`
  uint32_t maxsize = 0;
};

SinkNode::SinkNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                   std::shared_ptr<ExtensionStream> stream, std::shared_ptr<dispatch::Clock> clock)
    : PublishedNode(loop, callbacks, std::move(stream)),
      timeouts_("platform.camera.pipewire.consume-timeouts", std::move(clock)) {}

SinkNode::~SinkNode() = default;

VideoStreamSetup SinkNode::kind() const {
  return {.properties = {{PW_KEY_MEDIA_CLASS, "Video/Sink"},
                         {PW_KEY_NODE_DESCRIPTION, stream().localizedName()}},
          .output = false,
          .flags = PW_STREAM_FLAG_NONE,
          .buffers = kSinkLinkBuffers,
          .pixelFormats = {kSinkPixelFormats.begin(), kSinkPixelFormats.end()}};
}

void SinkNode::offer(VideoParams& formats) const {
  formats.addAnySizeFormat();
}

void SinkNode::streamMade() {
  feeds_[video_.get()];
  offerInlet();
}

void SinkNode::streamGoing() {
  // The inlets go with the node's stream, and each stream takes its buffers with it: pictures
  // still held must not give them back.
  for (auto& [buffer, slot] : slots_) slot->lent = false;
  slots_.clear();
  feeds_.clear();
  memories_.clear();
}

bool SinkNode::carries(const RegistryView::Link& link) const {
  if (PublishedNode::carries(link)) return true;
  for (const auto& [video, feed] : feeds_) {
    if (feed.inlet && video->nodeID() == link.inputNode) return true;
  }
  return false;
}

SinkNode::Feed& SinkNode::feedOf(const VideoStream& video) {
  return feeds_[&video];
}

void SinkNode::offerInlet() {
  for (const auto& [video, feed] : feeds_) {
    if (feed.inlet && !feed.link) return;
  }
  VideoStreamSetup setup = kind();
  setup.name = stream().localizedName() + " inlet";
  setup.properties = {
      {PW_KEY_MEDIA_CLASS, "Video/Sink"},
      {PW_KEY_NODE_DESCRIPTION, setup.name},
      {keys::kSinkInletOf,
       keys::sinkInletTag(propertyOf(published(), keys::kDeviceUID).value_or(""),
                          propertyOf(published(), keys::kStreamIndex).value_or(""))}};
  VideoParams formats;
  offer(formats);
  std::unique_ptr<VideoStream> inlet =
      VideoStream::connect(loop_, core(), std::move(setup), formats, *this);
  if (!inlet) {
    // Producers link to the node's own stream meanwhile; the next link asks again.
    std::fprintf(stderr, "camera-extension: an inlet of \"%s\" could not be made on PipeWire\n",
                 stream().localizedName().c_str());
    return;
  }
  const VideoStream* made = inlet.get();
  feeds_[made].inlet = std::move(inlet);
}

bool SinkNode::linkCame(const RegistryView::Link& link) {
  for (auto& [video, feed] : feeds_) {
    if (video->nodeID() != link.inputNode) continue;
    if (feed.link) {
      // PipeWire may no longer tell this stream when its buffers go: none of them is touched
      // again, and the stream goes with every link it has.
      remake(video);
      return false;
    }
    feed.link = link.id;
    feed.since = ++linksCame_;
    if (feed.inlet) offerInlet();
    return true;
  }
  return true;
}

void SinkNode::linksChanged() {
  std::vector<const VideoStream*> surplus;
  int unlinkedInlets = 0;
  for (auto& [video, feed] : feeds_) {
    if (feed.link && std::find(links_.begin(), links_.end(), *feed.link) == links_.end()) {
      feed.link.reset();
      feed.since = 0;
    }
    // A producer that makes its stream anew may link to its old inlet at once: two stay.
    if (feed.inlet && !feed.link && ++unlinkedInlets > 2) surplus.push_back(video);
  }
  for (const VideoStream* video : surplus) remake(video);
}

void SinkNode::remake(const VideoStream* video) {
  if (video == video_.get()) {
    remakeStream();
    return;
  }
  for (auto& [buffer, slot] : slots_) {
    if (slot->stream == video) slot->lent = false;
  }
  std::erase_if(slots_, [&](const auto& entry) { return entry.second->stream == video; });
  feeds_.erase(video);
  std::erase_if(memories_, [](const auto& entry) { return entry.second.expired(); });
  offerInlet();
}

const VideoStream* SinkNode::taken() const {
  const VideoStream* newest = nullptr;
  uint64_t since = 0;
  for (const auto& [video, feed] : feeds_) {
    if (feed.since > since) {
      since = feed.since;
      newest = video;
    }
  }
  return newest;
}

void SinkNode::failed(VideoStream& video, const char* reason) {
  loop_.assertConfined();
  if (&video == video_.get()) {
    PublishedNode::failed(video, reason);
    return;
  }
  std::fprintf(stderr, "camera-extension: an inlet of \"%s\" failed (%s); made anew\n",
               stream().localizedName().c_str(), reason);
  loop_.later([weakSelf = std::weak_ptr<SinkNode>(
                   std::static_pointer_cast<SinkNode>(shared_from_this())),
               failed = &video] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->loop_.assertConfined();
    auto found = self->feeds_.find(failed);
    if (found != self->feeds_.end() && found->second.inlet && found->second.inlet->failed()) {
      self->remake(failed);
    }
  });
}

void SinkNode::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  media::FormatDescriptionRef& description = feedOf(video).description;
  description.reset();
  if (!video.negotiated()) return;
  description = media::FormatDescription::createVideo(
      media::kPixelFormat32BGRA, static_cast<int>(video.negotiated()->size.width),
      static_cast<int>(video.negotiated()->size.height));
}

void SinkNode::bufferAdded(VideoStream& video, pw_buffer* buffer) {
  loop_.assertConfined();
  auto slot = std::make_shared<Slot>();
  slot->stream = &video;
  slot->buffer = buffer;
  slot->header = FrameHeader::of(*buffer->buffer);
  slots_[buffer] = slot;
  if (buffer->buffer->n_datas < 1) return;
  const spa_data data = buffer->buffer->datas[0];  // checked and used as it is now
  slot->memory = memoryOf(data);
  if (!slot->memory) return;
  slot->data = slot->memory->mapping.data() + data.mapoffset;
  slot->maxsize = data.maxsize;
}

std::shared_ptr<SinkNode::Memory> SinkNode::memoryOf(const spa_data& data) {
  if (data.type != SPA_DATA_MemFd || data.fd < 0) return nullptr;
  // The memory must be sealed against shrinking, or a producer could cut it short under a
  // reader, and long enough for what the buffer claims to hold.
  base::UniqueFd fd(::fcntl(static_cast<int>(data.fd), F_DUPFD_CLOEXEC, 0));
  const std::optional<std::size_t> size = base::sealedMemorySize(fd);
  if (!size || data.mapoffset > *size || data.maxsize > *size - data.mapoffset) return nullptr;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return nullptr;
  std::weak_ptr<Memory>& known = memories_[{status.st_dev, status.st_ino}];
  std::shared_ptr<Memory> memory = known.lock();
  if (!memory || memory->mapping.size() < *size) {
    std::optional<base::SharedMapping> mapping = base::SharedMapping::mapReadOnly(fd, *size);
    if (!mapping) return nullptr;
    memory = std::make_shared<Memory>(Memory{std::move(*mapping)});
    known = memory;
  }
  return memory;
}

void SinkNode::bufferRemoved(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  auto found = slots_.find(buffer);
  if (found == slots_.end()) return;
  found->second->lent = false;
  slots_.erase(found);
  std::erase_if(memories_, [](const auto& entry) { return entry.second.expired(); });
}

void SinkNode::process(VideoStream& video) {
  loop_.assertConfined();
  const Feed& feed = feedOf(video);
  const bool isTaken = taken() == &video;
  while (pw_buffer* buffer = video.dequeue()) {
    if (!isTaken) {
      video.queue(buffer);  // a producer that linked before the one shown
      continue;
    }
    const auto found = slots_.find(buffer);
    const std::shared_ptr<Slot> slot = found != slots_.end() ? found->second : nullptr;
    media::SampleBufferRef sample =
        slot && video.negotiated() && buffer->buffer->n_datas >= 1
            ? sampleOf(*video.negotiated(), feed.description,
                       snapshotOf(*buffer->buffer->datas[0].chunk), slot)
            : nullptr;
    // A picture keeps its buffer until the extension lets go of it.
    if (!sample) {
      video.queue(buffer);
      // The link whose buffers these are.
      if (feed.link) {
        dropLink(*feed.link);
      } else {
        dropLinks();
      }
      continue;
    }
    base::MutexLock lock(requestsMutex_);
    arrived_.push_back(std::move(sample));
    answerLocked();
  }
}

media::SampleBufferRef SinkNode::sampleOf(const VideoFormat& format,
                                          const media::FormatDescriptionRef& description,
                                          const spa_chunk& chunk,
                                          const std::shared_ptr<Slot>& slot) {
  if (!slot->memory || !description) return nullptr;
  // Every number here comes from the producer: checked before a byte is read. A wrapped picture
  // also needs whole pixels per row.
  const std::optional<ChunkRows> rows = rowsInChunk(chunk, slot->maxsize, format);
  if (!rows || rows->stride % 4 != 0) return nullptr;
  std::weak_ptr<SinkNode> weakSelf = std::static_pointer_cast<SinkNode>(shared_from_this());
  media::PixelBufferRef picture = media::PixelBuffer::wrap(
      slot->memory, slot->data + rows->offset, static_cast<int>(format.size.width),
      static_cast<int>(format.size.height), media::kPixelFormat32BGRA, rows->stride,
      [weakSelf, slot] {
        if (auto self = weakSelf.lock()) self->giveBack(slot);
      });
  if (!picture) return nullptr;
  return FrameHeader::received(slot->header, timeouts_.clock()->nowNanos())
      .sample(std::move(picture), description);
}

void SinkNode::giveBack(const std::shared_ptr<Slot>& slot) {
  PipeWireLoop::Lock lock(loop_);
  if (slot->lent) slot->stream->queue(slot->buffer);
}

void SinkNode::consume(const ExtensionClientRef& client, ConsumeCompletion completion) {
  bool streaming = false;
  for (const ExtensionClientRef& listed : streamingClients()) streaming |= listed == client;
  if (!client || !streaming) {
    callbacks_.async([completion = std::move(completion)] {
      completion(
          nullptr, 0, kDiscontinuityNone, false,
          hostError(host_error::kNotStreaming, "the client is not streaming on the sink stream"));
    });
    return;
  }
  base::MutexLock lock(requestsMutex_);
  if (withdrawn_) {
    // Withdrawn meanwhile: answered here, since the withdrawal no longer waits for answers.
    lock.unlock();
    completion(nullptr, 0, kDiscontinuityNone, false,
               hostError(host_error::kNotPublished, "the stream is not published"));
    return;
  }
  const uint64_t id = nextRequest_++;
  waiting_.push_back(Waiting{id, client, std::move(completion)});
  answerLocked();
  if (std::none_of(waiting_.begin(), waiting_.end(),
                   [&](const Waiting& waiting) { return waiting.id == id; })) {
    return;
  }
  std::weak_ptr<SinkNode> weakSelf = std::static_pointer_cast<SinkNode>(shared_from_this());
  timeouts_.asyncAfter(timeouts_.clock()->nowNanos() + kConsumeTimeoutNanos, [weakSelf, id] {
    if (auto self = weakSelf.lock()) self->expire(id);
  });
}

void SinkNode::answerLocked() {
  while (!waiting_.empty() && !arrived_.empty()) {
    Waiting request = std::move(waiting_.front());
    waiting_.pop_front();
    media::SampleBufferRef sample = std::move(arrived_.front());
    arrived_.pop_front();
    const bool hasMore = !arrived_.empty();
    callbacks_.async([completion = std::move(request.completion), sample = std::move(sample),
                      sequence = nextSequence_++, hasMore] {
      completion(sample, sequence, kDiscontinuityNone, hasMore, std::nullopt);
    });
  }
}

void SinkNode::failLocked(const std::function<bool(const Waiting&)>& which, int64_t code,
                          const char* description) {
  bool failed = false;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (!which(*it)) {
      ++it;
      continue;
    }
    callbacks_.async(
        [completion = std::move(it->completion), error = hostError(code, description)] {
          completion(nullptr, 0, kDiscontinuityNone, false, error);
        });
    it = waiting_.erase(it);
    failed = true;
  }
  if (failed) {
    callbacks_.async([weakSelf = std::weak_ptr<SinkNode>(
                          std::static_pointer_cast<SinkNode>(shared_from_this()))] {
      if (auto self = weakSelf.lock()) self->publishCounts();
    });
  }
}

void SinkNode::publishCounts() {
  dispatch::assertOnQueue(callbacks_);
  const Properties counts = sinkCounts(stream());
  PipeWireLoop::Lock lock(loop_);
  if (video_) video_->updateProperties(counts);
}

void SinkNode::expire(uint64_t request) {
  dispatch::assertOnQueue(timeouts_);
  base::MutexLock lock(requestsMutex_);
  failLocked([&](const Waiting& waiting) { return waiting.id == request; }, host_error::kTimedOut,
             "no buffer came in time");
}

void SinkNode::clientStopped(const ExtensionClientRef& client) {
  dispatch::assertOnQueue(callbacks_);
  // Dropped after the lock: letting go of a picture takes the loop's lock.
  std::deque<media::SampleBufferRef> dropped;
  base::MutexLock lock(requestsMutex_);
  failLocked([&](const Waiting& waiting) { return waiting.client == client; },
             host_error::kStreamStopped, "the client stopped the stream");
  dropped.swap(arrived_);
}

void SinkNode::withdrawn() {
  std::deque<media::SampleBufferRef> dropped;
  base::MutexLock lock(requestsMutex_);
  withdrawn_ = true;
  failLocked([](const Waiting&) { return true; }, host_error::kNotPublished,
             "the stream was withdrawn");
  dropped.swap(arrived_);
}

}  // namespace platform::camera::pipewire
