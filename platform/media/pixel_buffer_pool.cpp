#include "platform/media/pixel_buffer_pool.h"

#include <atomic>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/faults/fault_injection.h"

namespace platform::media {
namespace {

// Free buffers kept beyond this are freed: enough for a burst of holders, not a hoard of
// full-size frames.
constexpr std::size_t kMaxFreeBuffers = 8;

bool dimensionInRange(int64_t size) {
  return size >= 1 && size <= PixelBuffer::kMaxDimension;
}

}  // namespace

// What the pool and the deleters of its buffers share. The deleters hold it weakly, so a
// buffer released after the pool is gone is freed instead of returned.
struct PixelBufferPool::State {
  explicit State(const PixelBufferAttributes& attrs) : attributes(attrs) {}

  const PixelBufferAttributes attributes;
  std::atomic<std::size_t> buffersAllocated{0};
  mutable base::Mutex freeMutex;
  std::vector<PixelBufferRef> freeBuffers QLN_GUARDED_BY(freeMutex);  // no one else holds these

  // Runs on the thread of the buffer's last holder.
  void giveBack(PixelBufferRef buffer) {
    // A buffer left locked by its last holder is not handed to the next one in that state.
    if (buffer->baseAddress() != nullptr) return;
    base::MutexLock guard(freeMutex);
    if (freeBuffers.size() < kMaxFreeBuffers) freeBuffers.push_back(std::move(buffer));
  }
};

namespace {

// The deleter of a handed-out reference: it owns the pool's own reference to the buffer and
// gives it back when the last outside holder lets go.
struct ReturnToPool {
  std::weak_ptr<PixelBufferPool::State> state;
  PixelBufferRef buffer;

  void operator()(PixelBuffer*) {
    PixelBufferRef returned = std::move(buffer);
    if (auto live = state.lock()) live->giveBack(std::move(returned));
  }
};

}  // namespace

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(const PixelBufferAttributes& attributes) {
  if (!dimensionInRange(attributes.width) || !dimensionInRange(attributes.height)) return nullptr;
  if (faults::shouldFail(faults::Fault::CreatePixelBufferPool)) return nullptr;
  return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(std::make_shared<State>(attributes)));
}

PixelBufferPool::PixelBufferPool(std::shared_ptr<State> state) : state_(std::move(state)) {}

PixelBufferPool::~PixelBufferPool() = default;

PixelBufferRef PixelBufferPool::createPixelBuffer() {
  PixelBufferRef buffer;
  {
    base::MutexLock guard(state_->freeMutex);
    if (!state_->freeBuffers.empty()) {
      buffer = std::move(state_->freeBuffers.back());
      state_->freeBuffers.pop_back();
    }
  }
  if (!buffer) {
    const PixelBufferAttributes& attributes = state_->attributes;
    buffer = PixelBuffer::create(static_cast<int>(attributes.width),
                                 static_cast<int>(attributes.height), attributes.pixelFormat);
    if (!buffer) return nullptr;
    state_->buffersAllocated.fetch_add(1, std::memory_order_relaxed);
  }
  PixelBuffer* raw = buffer.get();
  return PixelBufferRef(raw, ReturnToPool{state_, std::move(buffer)});
}

const PixelBufferAttributes& PixelBufferPool::attributes() const {
  return state_->attributes;
}

std::size_t PixelBufferPool::buffersAllocated() const {
  return state_->buffersAllocated.load(std::memory_order_relaxed);
}

std::size_t PixelBufferPool::freeBuffers() const {
  base::MutexLock guard(state_->freeMutex);
  return state_->freeBuffers.size();
}

}  // namespace platform::media
