#include "platform/camera/pipewire/publisher/sink_node.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/base/shared_memory.h"
#include "platform/camera/camera_host.h"
#include "platform/camera/pipewire/publisher/node_properties.h"
#include "platform/camera/pipewire/shared/frame_header.h"
#include "platform/camera/pipewire/shared/picture_rows.h"
#include "platform/media/media_time.h"

namespace platform::camera::pipewire {
// The producer's shared memory, mapped read-only once per memory block. Pictures handed to the
// extension keep it mapped, so they stay readable after PipeWire took the buffers back.
struct SinkNode::Memory {
  base::SharedMapping mapping;
};

// One buffer PipeWire lent the node: where its picture lies, and whether it is still lent.
// `lent` is read and written on the loop thread or under its lock.
struct SinkNode::Slot {
  pw_buffer* buffer = nullptr;
  spa_meta_header* header = nullptr;  // null when the buffer has none
  bool lent QLN_GUARDED_BY(loopConfinement) = true;
  // Sealed shared memory, mapped by the node: pictures are read where they lie. Otherwise
  // (memory PipeWire maps, valid only while lent) each picture is copied out on arrival.
  std::shared_ptr<Memory> memory;
  const uint8_t* data = nullptr;  // the buffer's first byte; null when there is none
  uint32_t maxsize = 0;
};

SinkNode::SinkNode(PipeWireLoop& loop, dispatch::SerialQueue& callbacks,
                   std::shared_ptr<ExtensionStream> stream, std::shared_ptr<dispatch::Clock> clock)
    : PublishedNode(loop, callbacks, std::move(stream)),
      timeouts_("platform.camera.pipewire.consume-timeouts", std::move(clock)) {}

SinkNode::~SinkNode() = default;

VideoStreamSetup SinkNode::kind() const {
  // Mapped by PipeWire too, for producers whose memory the node cannot map itself.
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

void SinkNode::streamGoing() {
  description_.reset();
  // The stream takes its buffers with it: pictures still held must not give them back.
  for (auto& [buffer, slot] : slots_) slot->lent = false;
  slots_.clear();
}

void SinkNode::formatChanged(VideoStream& video) {
  loop_.assertConfined();
  description_.reset();
  copyPool_.reset();
  if (!video.negotiated()) return;
  const int width = static_cast<int>(video.negotiated()->size.width);
  const int height = static_cast<int>(video.negotiated()->size.height);
  description_ = media::FormatDescription::createVideo(media::kPixelFormat32BGRA, width, height);
  copyPool_ = media::PixelBufferPool::create(
      {.pixelFormat = media::kPixelFormat32BGRA, .width = width, .height = height});
}

void SinkNode::bufferAdded(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  auto slot = std::make_shared<Slot>();
  slot->buffer = buffer;
  slot->header = FrameHeader::of(*buffer->buffer);
  slots_[buffer] = slot;
  if (buffer->buffer->n_datas < 1) return;
  const spa_data& d = buffer->buffer->datas[0];
  slot->data = static_cast<const uint8_t*>(d.data);
  slot->maxsize = d.maxsize;
  if (d.type != SPA_DATA_MemFd || d.fd < 0) return;
  // The memory must be sealed against shrinking, or a producer could cut it short under a
  // reader, and long enough for what the buffer claims to hold.
  base::UniqueFd fd(::fcntl(static_cast<int>(d.fd), F_DUPFD_CLOEXEC, 0));
  const std::optional<std::size_t> size = base::sealedMemorySize(fd);
  if (!size || d.mapoffset > *size || d.maxsize > *size - d.mapoffset) return;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return;
  std::shared_ptr<Memory> memory = memories_[{status.st_dev, status.st_ino}].lock();
  if (!memory || memory->mapping.size() < *size) {
    std::optional<base::SharedMapping> mapping = base::SharedMapping::mapReadOnly(fd, *size);
    if (!mapping) return;
    memory = std::make_shared<Memory>(Memory{std::move(*mapping)});
    memories_[{status.st_dev, status.st_ino}] = memory;
  }
  slot->data = memory->mapping.data() + d.mapoffset;
  slot->memory = std::move(memory);
}

void SinkNode::bufferRemoved(VideoStream&, pw_buffer* buffer) {
  loop_.assertConfined();
  auto found = slots_.find(buffer);
  if (found == slots_.end()) return;
  found->second->lent = false;
  slots_.erase(found);
}

void SinkNode::process(VideoStream& video) {
  loop_.assertConfined();
  while (pw_buffer* buffer = video.dequeue()) {
    const auto found = slots_.find(buffer);
    const std::shared_ptr<Slot> slot = found != slots_.end() ? found->second : nullptr;
    media::SampleBufferRef sample =
        slot && video.negotiated() ? sampleOf(*video.negotiated(), buffer, slot) : nullptr;
    // A picture read where it lies keeps its buffer until the extension lets go of it.
    if (!sample || !slot->memory) video.queue(buffer);
    if (!sample) {
      dropLinks();
      continue;
    }
    base::MutexLock lock(requestsMutex_);
    arrived_.push_back(std::move(sample));
    answerLocked();
  }
}

media::SampleBufferRef SinkNode::sampleOf(const VideoFormat& format, pw_buffer* buffer,
                                          const std::shared_ptr<Slot>& slot) {
  if (slot->data == nullptr || !description_) return nullptr;
  const VideoSize size = format.size;
  // Every number here comes from the producer: checked before a byte is read. A wrapped picture
  // also needs whole pixels per row.
  const std::optional<ChunkRows> rows =
      rowsInChunk(*buffer->buffer->datas[0].chunk, slot->maxsize, format);
  if (!rows || rows->stride % 4 != 0) return nullptr;
  const uint64_t stride = rows->stride;
  const uint8_t* first = slot->data + rows->offset;
  media::PixelBufferRef picture;
  if (slot->memory) {
    std::weak_ptr<SinkNode> weakSelf = std::static_pointer_cast<SinkNode>(shared_from_this());
    picture = media::PixelBuffer::wrap(slot->memory, first, static_cast<int>(size.width),
                                       static_cast<int>(size.height), media::kPixelFormat32BGRA,
                                       stride, [weakSelf, slot] {
                                         if (auto self = weakSelf.lock()) self->giveBack(slot);
                                       });
  } else if (copyPool_ && (picture = copyPool_->createPixelBuffer())) {
    media::BaseAddressLock pixels(*picture, media::PixelBuffer::LockFlags::ReadWrite);
    copyRows(first, stride, pixels.data(), picture->bytesPerRow(), format.rowBytes(), size.height);
  }
  if (!picture) return nullptr;
  return FrameHeader::received(slot->header, timeouts_.clock()->nowNanos())
      .sample(std::move(picture), description_);
}

void SinkNode::giveBack(const std::shared_ptr<Slot>& slot) {
  PipeWireLoop::Lock lock(loop_);
  if (slot->lent && video_) video_->queue(slot->buffer);
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
