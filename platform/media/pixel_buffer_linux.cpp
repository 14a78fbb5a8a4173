#include "platform/media/pixel_buffer.h"

#include <atomic>

#include "platform/base/mutex.h"
#include "platform/base/shared_memory.h"
#include "platform/faults/fault_injection.h"

namespace platform::media {

// The memory and geometry of one buffer. Geometry and mapping are fixed at creation; the lock
// counts are under lockMutex because holders on different threads may lock.
struct PixelBuffer::Storage {
  ~Storage() {
    if (release) release();
  }

  base::UniqueFd fd;
  base::SharedMapping mapping;
  // A wrapped buffer's bytes, instead of the mapping; read-only.
  std::shared_ptr<const void> externalMemory;
  const uint8_t* externalData = nullptr;
  std::function<void()> release;
  std::atomic<uint64_t> contentVersion{0};
  int width = 0;
  int height = 0;
  FourCC pixelFormat = 0;
  std::size_t bytesPerRow = 0;

  mutable base::Mutex lockMutex;
  int readWriteLocks QLN_GUARDED_BY(lockMutex) = 0;
  int readOnlyLocks QLN_GUARDED_BY(lockMutex) = 0;

  // The counter for `flags`, or nullptr for flags that do not exist.
  int* lockCount(LockFlags flags) QLN_REQUIRES(lockMutex) {
    switch (flags) {
      case LockFlags::ReadWrite:
        return &readWriteLocks;
      case LockFlags::ReadOnly:
        return &readOnlyLocks;
    }
    return nullptr;
  }
};

namespace {

// The source of content versions, shared by all buffers so that no two share a value.
uint64_t nextContentVersion() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// Rows must hold whole, aligned pixels (or YUY2 pairs) so that readers may address them as
// 32-bit words.
bool rowsHoldTheWidth(FourCC pixelFormat, int width, std::size_t bytesPerRow) {
  return bytesPerRow >= unpaddedBytesPerRow(pixelFormat, width) && bytesPerRow % 4 == 0;
}

bool dimensionsInRange(int width, int height) {
  return width >= 1 && height >= 1 && width <= PixelBuffer::kMaxDimension &&
         height <= PixelBuffer::kMaxDimension;
}

// Rows padded to kRowAlignment; cannot overflow for widths up to kMaxDimension.
std::size_t paddedBytesPerRow(FourCC pixelFormat, int width) {
  std::size_t unpadded = unpaddedBytesPerRow(pixelFormat, width);
  return (unpadded + PixelBuffer::kRowAlignment - 1) / PixelBuffer::kRowAlignment *
         PixelBuffer::kRowAlignment;
}

std::unique_ptr<PixelBuffer::Storage> mapStorage(base::UniqueFd fd, int width, int height,
                                                 FourCC pixelFormat, std::size_t bytesPerRow,
                                                 std::size_t dataSize) {
  auto mapping = base::SharedMapping::map(fd, dataSize);
  if (!mapping) return nullptr;
  auto storage = std::make_unique<PixelBuffer::Storage>();
  storage->fd = std::move(fd);
  storage->mapping = std::move(*mapping);
  storage->width = width;
  storage->height = height;
  storage->pixelFormat = pixelFormat;
  storage->bytesPerRow = bytesPerRow;
  storage->contentVersion = nextContentVersion();
  return storage;
}

}  // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, FourCC pixelFormat) {
  if (!dimensionsInRange(width, height)) return nullptr;
  if (faults::shouldFail(faults::Fault::CreatePixelBuffer)) return nullptr;
  std::size_t bytesPerRow = paddedBytesPerRow(pixelFormat, width);
  std::size_t dataSize = bytesPerRow * static_cast<std::size_t>(height);
  base::UniqueFd fd = base::createSealedMemory("quillane-pixel-buffer", dataSize);
  if (!fd) return nullptr;
  auto storage = mapStorage(std::move(fd), width, height, pixelFormat, bytesPerRow, dataSize);
  if (!storage) return nullptr;
  return std::shared_ptr<PixelBuffer>(new PixelBuffer(std::move(storage)));
}

std::shared_ptr<PixelBuffer> PixelBuffer::adopt(base::UniqueFd fd, int width, int height,
                                                FourCC pixelFormat, std::size_t bytesPerRow) {
  if (!dimensionsInRange(width, height) || !rowsHoldTheWidth(pixelFormat, width, bytesPerRow)) {
    return nullptr;
  }
  std::size_t dataSize = 0;
  if (__builtin_mul_overflow(bytesPerRow, static_cast<std::size_t>(height), &dataSize)) {
    return nullptr;
  }
  std::optional<std::size_t> available = base::sealedMemorySize(fd);
  if (!available || *available < dataSize) return nullptr;
  auto storage = mapStorage(std::move(fd), width, height, pixelFormat, bytesPerRow, dataSize);
  if (!storage) return nullptr;
  return std::shared_ptr<PixelBuffer>(new PixelBuffer(std::move(storage)));
}

std::shared_ptr<PixelBuffer> PixelBuffer::wrap(std::shared_ptr<const void> memory,
                                               const uint8_t* data, int width, int height,
                                               FourCC pixelFormat, std::size_t bytesPerRow,
                                               std::function<void()> release) {
  if (!dimensionsInRange(width, height) || !rowsHoldTheWidth(pixelFormat, width, bytesPerRow) ||
      data == nullptr) {
    return nullptr;
  }
  auto storage = std::make_unique<Storage>();
  storage->externalMemory = std::move(memory);
  storage->externalData = data;
  storage->release = std::move(release);
  storage->width = width;
  storage->height = height;
  storage->pixelFormat = pixelFormat;
  storage->bytesPerRow = bytesPerRow;
  storage->contentVersion = nextContentVersion();
  return std::shared_ptr<PixelBuffer>(new PixelBuffer(std::move(storage)));
}

PixelBuffer::PixelBuffer(std::unique_ptr<Storage> storage) : storage_(std::move(storage)) {}

PixelBuffer::~PixelBuffer() = default;

int PixelBuffer::width() const {
  return storage_->width;
}
int PixelBuffer::height() const {
  return storage_->height;
}
FourCC PixelBuffer::pixelFormat() const {
  return storage_->pixelFormat;
}
std::size_t PixelBuffer::bytesPerRow() const {
  return storage_->bytesPerRow;
}
std::size_t PixelBuffer::dataSize() const {
  return storage_->externalData != nullptr
             ? storage_->bytesPerRow * static_cast<std::size_t>(storage_->height)
             : storage_->mapping.size();
}

uint64_t PixelBuffer::contentVersion() const {
  return storage_->contentVersion.load(std::memory_order_acquire);
}
const base::UniqueFd& PixelBuffer::fd() const {
  return storage_->fd;
}

Status PixelBuffer::lockBaseAddress(LockFlags flags) {
  base::MutexLock guard(storage_->lockMutex);
  int* count = storage_->lockCount(flags);
  if (count == nullptr) return kStatusInvalidParameter;
  if (flags == LockFlags::ReadWrite && storage_->externalData != nullptr) {
    return kStatusInvalidParameter;
  }
  ++*count;
  return kStatusOK;
}

Status PixelBuffer::unlockBaseAddress(LockFlags flags) {
  base::MutexLock guard(storage_->lockMutex);
  int* count = storage_->lockCount(flags);
  if (count == nullptr || *count == 0) return kStatusInvalidParameter;
  --*count;
  // The holder may have written: later readers see a new version.
  if (flags == LockFlags::ReadWrite) {
    storage_->contentVersion.store(nextContentVersion(), std::memory_order_release);
  }
  return kStatusOK;
}

uint8_t* PixelBuffer::baseAddress() const {
  base::MutexLock guard(storage_->lockMutex);
  bool locked = storage_->readWriteLocks + storage_->readOnlyLocks > 0;
  if (!locked) return nullptr;
  // A wrapped buffer is only ever locked read-only, so its bytes are never written through this.
  return storage_->externalData != nullptr ? const_cast<uint8_t*>(storage_->externalData)
                                           : storage_->mapping.data();
}

BaseAddressLock::BaseAddressLock(PixelBuffer& buffer, PixelBuffer::LockFlags flags)
    : buffer_(buffer), flags_(flags), data_(nullptr) {
  if (buffer_.lockBaseAddress(flags_) == kStatusOK) data_ = buffer_.baseAddress();
}

BaseAddressLock::~BaseAddressLock() {
  if (data_ != nullptr) buffer_.unlockBaseAddress(flags_);
}

}  // namespace platform::media
