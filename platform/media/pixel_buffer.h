#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/base/unique_fd.h"
#include "platform/media/status.h"

namespace platform::media {

// A picture in shared memory (CVPixelBuffer over an IOSurface): width × height pixels of a
// four-character pixel format (4 bytes a pixel, or 2 for YUY2), rows padded to kRowAlignment
// bytes. The
// memory is a sealed memfd mapping (size fixed, seals fixed), so the descriptor can be handed to
// another process and mapped there without a copy and without the risk of a shrinking file.
// Shared by std::shared_ptr. Geometry is immutable; the pixels are guarded by the holders'
// own agreement (lock for writing only while no one else reads), as on the platform.
class PixelBuffer {
 public:
  static constexpr std::size_t kRowAlignment = 64;
  static constexpr int kMaxDimension = 16384;

  // Allocates a new buffer; nullptr when the sizes are below 1 or above kMaxDimension or the
  // memory cannot be had.
  static std::shared_ptr<PixelBuffer> create(int width, int height, FourCC pixelFormat);

  // Maps a buffer received from another process. Checks that the descriptor is a memfd
  // sealed against growing and shrinking, at least bytesPerRow × height bytes long, and that
  // rows hold the width (unpaddedBytesPerRow); nullptr otherwise.
  static std::shared_ptr<PixelBuffer> adopt(base::UniqueFd fd, int width, int height,
                                            FourCC pixelFormat, std::size_t bytesPerRow);

  // A read-only view of pixels in memory someone else owns (CVPixelBufferCreateWithBytes):
  // `memory` keeps the bytes at `data` alive, and `release` runs once, on the thread of the last
  // holder, when the buffer goes. No descriptor; a read-write lock is refused. nullptr for sizes
  // out of range or rows that do not hold the width.
  static std::shared_ptr<PixelBuffer> wrap(std::shared_ptr<const void> memory, const uint8_t* data,
                                           int width, int height, FourCC pixelFormat,
                                           std::size_t bytesPerRow, std::function<void()> release);

  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const;
  int height() const;
  FourCC pixelFormat() const;
  std::size_t bytesPerRow() const;
  std::size_t dataSize() const;  // bytesPerRow × height
  const base::UniqueFd& fd() const;  // invalid for a wrapped buffer

  // Changes whenever the pixels may have changed: a new value at creation and after every
  // read-write lock; no two buffers ever share one. Lets a consumer that copied these pixels
  // before see that it need not copy them again.
  uint64_t contentVersion() const;

  enum class LockFlags : uint32_t { ReadWrite = 0, ReadOnly = 1 };
  // Base-address locking as on the platform: baseAddress() is valid between a lock and its
  // matching unlock. Locks nest; each lock needs one unlock with the same flags.
  Status lockBaseAddress(LockFlags flags);
  Status unlockBaseAddress(LockFlags flags);
  uint8_t* baseAddress() const;  // nullptr while not locked

  struct Storage;

 private:
  explicit PixelBuffer(std::unique_ptr<Storage> storage);
  std::unique_ptr<Storage> storage_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Holds a base-address lock for one scope.
class BaseAddressLock {
 public:
  BaseAddressLock(PixelBuffer& buffer, PixelBuffer::LockFlags flags);
  ~BaseAddressLock();
  BaseAddressLock(const BaseAddressLock&) = delete;
  BaseAddressLock& operator=(const BaseAddressLock&) = delete;
  uint8_t* data() const { return data_; }  // nullptr when the lock failed

 private:
  PixelBuffer& buffer_;
  PixelBuffer::LockFlags flags_;
  uint8_t* data_;
};

}  // namespace platform::media
