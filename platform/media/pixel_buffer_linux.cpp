#include "platform/media/pixel_buffer.h"

#include <mutex>

#include "platform/base/shared_memory.h"
#include "platform/faults/fault_injection.h"

namespace platform::media {

// The memory and geometry of one buffer. Geometry and mapping are fixed at creation; the lock
// counts are guarded by lockMutex because holders on different threads may lock.
struct PixelBuffer::Storage {
  base::UniqueFd fd;
  base::SharedMapping mapping;
  int width = 0;
  int height = 0;
  FourCC pixelFormat = 0;
  std::size_t bytesPerRow = 0;

  mutable std::mutex lockMutex;
  int readWriteLocks = 0;  // guarded by lockMutex
  int readOnlyLocks = 0;   // guarded by lockMutex

  // The counter for `flags`, or nullptr for flags that do not exist. Needs lockMutex held.
  int* lockCount(LockFlags flags) {
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

constexpr std::size_t kBytesPerPixel = 4;

bool dimensionsInRange(int width, int height) {
  return width >= 1 && height >= 1 && width <= PixelBuffer::kMaxDimension &&
         height <= PixelBuffer::kMaxDimension;
}

// Rows padded to kRowAlignment; cannot overflow for widths up to kMaxDimension.
std::size_t paddedBytesPerRow(int width) {
  std::size_t unpadded = static_cast<std::size_t>(width) * kBytesPerPixel;
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
  return storage;
}

}  // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, FourCC pixelFormat) {
  if (!dimensionsInRange(width, height)) return nullptr;
  if (faults::shouldFail(faults::Fault::CreatePixelBuffer)) return nullptr;
  std::size_t bytesPerRow = paddedBytesPerRow(width);
  std::size_t dataSize = bytesPerRow * static_cast<std::size_t>(height);
  base::UniqueFd fd = base::createSealedMemory("quillane-pixel-buffer", dataSize);
  if (!fd) return nullptr;
  auto storage = mapStorage(std::move(fd), width, height, pixelFormat, bytesPerRow, dataSize);
  if (!storage) return nullptr;
  return std::shared_ptr<PixelBuffer>(new PixelBuffer(std::move(storage)));
}

std::shared_ptr<PixelBuffer> PixelBuffer::adopt(base::UniqueFd fd, int width, int height,
                                                FourCC pixelFormat, std::size_t bytesPerRow) {
  if (!dimensionsInRange(width, height)) return nullptr;
  // Rows must hold whole, aligned pixels so that readers may address them as 32-bit words.
  if (bytesPerRow < static_cast<std::size_t>(width) * kBytesPerPixel ||
      bytesPerRow % kBytesPerPixel != 0) {
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
  return storage_->mapping.size();
}
const base::UniqueFd& PixelBuffer::fd() const {
  return storage_->fd;
}

Status PixelBuffer::lockBaseAddress(LockFlags flags) {
  std::lock_guard guard(storage_->lockMutex);
  int* count = storage_->lockCount(flags);
  if (count == nullptr) return kStatusInvalidParameter;
  ++*count;
  return kStatusOK;
}

Status PixelBuffer::unlockBaseAddress(LockFlags flags) {
  std::lock_guard guard(storage_->lockMutex);
  int* count = storage_->lockCount(flags);
  if (count == nullptr || *count == 0) return kStatusInvalidParameter;
  --*count;
  return kStatusOK;
}

uint8_t* PixelBuffer::baseAddress() const {
  std::lock_guard guard(storage_->lockMutex);
  bool locked = storage_->readWriteLocks + storage_->readOnlyLocks > 0;
  return locked ? storage_->mapping.data() : nullptr;
}

BaseAddressLock::BaseAddressLock(PixelBuffer& buffer, PixelBuffer::LockFlags flags)
    : buffer_(buffer), flags_(flags), data_(nullptr) {
  if (buffer_.lockBaseAddress(flags_) == kStatusOK) data_ = buffer_.baseAddress();
}

BaseAddressLock::~BaseAddressLock() {
  if (data_ != nullptr) buffer_.unlockBaseAddress(flags_);
}

}  // namespace platform::media
