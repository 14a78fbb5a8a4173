#include "platform/media/pixel_buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include "platform/base/shared_memory.h"
#include "platform/faults/fault_injection.h"

namespace platform::media {
namespace {

using LockFlags = PixelBuffer::LockFlags;

base::UniqueFd duplicate(const base::UniqueFd& fd) {
  return base::UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
}

TEST(PixelBufferTest, RowsArePaddedToTheAlignment) {
  auto narrow = PixelBuffer::create(3, 2, kPixelFormat32BGRA);
  ASSERT_NE(narrow, nullptr);
  EXPECT_EQ(narrow->bytesPerRow(), 64u);
  EXPECT_EQ(narrow->dataSize(), 128u);

  auto wide = PixelBuffer::create(17, 1, kPixelFormat32RGBA);  // 68 bytes of pixels
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->bytesPerRow(), 128u);
  EXPECT_EQ(wide->pixelFormat(), kPixelFormat32RGBA);

  auto hd = PixelBuffer::create(1920, 1080, kPixelFormat32BGRA);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(hd->bytesPerRow(), 7680u);
  EXPECT_EQ(hd->width(), 1920);
  EXPECT_EQ(hd->height(), 1080);
}

TEST(PixelBufferTest, CreateRefusesSizesOutOfRange) {
  EXPECT_EQ(PixelBuffer::create(0, 1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(1, -1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(PixelBuffer::kMaxDimension + 1, 1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
                                kPixelFormat32BGRA),
            nullptr);
  EXPECT_NE(PixelBuffer::create(PixelBuffer::kMaxDimension, 1, kPixelFormat32BGRA), nullptr);
}

TEST(PixelBufferTest, CreateFailsWhenThePlatformRefuses) {
  faults::failNext(faults::Fault::CreatePixelBuffer);
  EXPECT_EQ(PixelBuffer::create(4, 4, kPixelFormat32BGRA), nullptr);
  EXPECT_NE(PixelBuffer::create(4, 4, kPixelFormat32BGRA), nullptr);
}

TEST(PixelBufferTest, MemoryIsSealedAgainstResizing) {
  auto buffer = PixelBuffer::create(8, 8, kPixelFormat32BGRA);
  ASSERT_NE(buffer, nullptr);
  int seals = ::fcntl(buffer->fd().get(), F_GET_SEALS);
  EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
            F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  EXPECT_NE(::ftruncate(buffer->fd().get(), 0), 0);
  EXPECT_NE(::fcntl(buffer->fd().get(), F_ADD_SEALS, F_SEAL_WRITE), 0);
}

TEST(PixelBufferTest, AdoptedDuplicateSharesTheSameMemory) {
  auto original = PixelBuffer::create(3, 2, kPixelFormat32BGRA);
  ASSERT_NE(original, nullptr);
  {
    BaseAddressLock lock(*original, LockFlags::ReadWrite);
    ASSERT_NE(lock.data(), nullptr);
    for (std::size_t i = 0; i < original->dataSize(); ++i) lock.data()[i] = uint8_t(i * 7);
  }

  auto adopted = PixelBuffer::adopt(duplicate(original->fd()), 3, 2, kPixelFormat32BGRA,
                                    original->bytesPerRow());
  ASSERT_NE(adopted, nullptr);
  BaseAddressLock originalLock(*original, LockFlags::ReadWrite);
  BaseAddressLock adoptedLock(*adopted, LockFlags::ReadWrite);
  ASSERT_NE(adoptedLock.data(), originalLock.data());  // two mappings...
  EXPECT_EQ(std::memcmp(adoptedLock.data(), originalLock.data(), original->dataSize()), 0);
  adoptedLock.data()[5] = 0xAB;  // ...of one memory: a write through one shows in the other
  EXPECT_EQ(originalLock.data()[5], 0xAB);
}

TEST(PixelBufferTest, AdoptedBufferOutlivesTheOriginal) {
  auto original = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  ASSERT_NE(original, nullptr);
  {
    BaseAddressLock lock(*original, LockFlags::ReadWrite);
    std::memset(lock.data(), 0x5A, original->dataSize());
  }
  auto adopted = PixelBuffer::adopt(duplicate(original->fd()), 2, 2, kPixelFormat32BGRA, 64);
  original.reset();
  ASSERT_NE(adopted, nullptr);
  BaseAddressLock lock(*adopted, LockFlags::ReadOnly);
  EXPECT_EQ(lock.data()[adopted->dataSize() - 1], 0x5A);
}

TEST(PixelBufferTest, AdoptRefusesMemoryThatCouldFaultTheReader) {
  auto source = PixelBuffer::create(4, 4, kPixelFormat32BGRA);
  ASSERT_NE(source, nullptr);
  auto adopt = [&](int width, int height, std::size_t bytesPerRow) {
    return PixelBuffer::adopt(duplicate(source->fd()), width, height, kPixelFormat32BGRA,
                              bytesPerRow);
  };
  EXPECT_NE(adopt(4, 4, 64), nullptr);
  EXPECT_EQ(adopt(4, 5, 64), nullptr) << "memory shorter than bytesPerRow × height";
  EXPECT_EQ(adopt(4, 4, 12), nullptr) << "row shorter than the pixels";
  EXPECT_EQ(adopt(4, 4, 18), nullptr) << "row not a whole number of pixels";
  EXPECT_EQ(adopt(0, 4, 64), nullptr);
  EXPECT_EQ(adopt(4, PixelBuffer::kMaxDimension + 1, 64), nullptr);
  EXPECT_EQ(adopt(4, 4, std::numeric_limits<std::size_t>::max() / 2), nullptr)
      << "bytesPerRow × height overflows";
  EXPECT_EQ(PixelBuffer::adopt(base::UniqueFd(), 4, 4, kPixelFormat32BGRA, 64), nullptr);
}

TEST(PixelBufferTest, AdoptRefusesUnsealedOrForeignDescriptors) {
  base::UniqueFd unsealed(::memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  ASSERT_TRUE(unsealed);
  ASSERT_EQ(::ftruncate(unsealed.get(), 4096), 0);
  EXPECT_EQ(PixelBuffer::adopt(std::move(unsealed), 4, 4, kPixelFormat32BGRA, 64), nullptr);

  // Sealed against growing only: the sender could still cut it short under our mapping.
  base::UniqueFd growSealed(::memfd_create("grow", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  ASSERT_EQ(::ftruncate(growSealed.get(), 4096), 0);
  ASSERT_EQ(::fcntl(growSealed.get(), F_ADD_SEALS, F_SEAL_GROW), 0);
  EXPECT_EQ(PixelBuffer::adopt(std::move(growSealed), 4, 4, kPixelFormat32BGRA, 64), nullptr);

  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  base::UniqueFd writeEnd(pipeEnds[1]);
  EXPECT_EQ(PixelBuffer::adopt(base::UniqueFd(pipeEnds[0]), 4, 4, kPixelFormat32BGRA, 64), nullptr);
}

TEST(PixelBufferTest, BaseAddressIsOnlyAvailableWhileLocked) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->baseAddress(), nullptr);
  EXPECT_NE(buffer->unlockBaseAddress(LockFlags::ReadWrite), kStatusOK) << "unlock without lock";

  ASSERT_EQ(buffer->lockBaseAddress(LockFlags::ReadWrite), kStatusOK);
  ASSERT_EQ(buffer->lockBaseAddress(LockFlags::ReadOnly), kStatusOK);
  EXPECT_NE(buffer->baseAddress(), nullptr);
  EXPECT_NE(buffer->unlockBaseAddress(LockFlags(7)), kStatusOK);
  EXPECT_EQ(buffer->unlockBaseAddress(LockFlags::ReadOnly), kStatusOK);
  EXPECT_NE(buffer->unlockBaseAddress(LockFlags::ReadOnly), kStatusOK) << "flags must match";
  EXPECT_NE(buffer->baseAddress(), nullptr) << "still locked once";
  EXPECT_EQ(buffer->unlockBaseAddress(LockFlags::ReadWrite), kStatusOK);
  EXPECT_EQ(buffer->baseAddress(), nullptr);
}

TEST(PixelBufferTest, ScopedLockUnlocksAndReportsFailure) {
  auto buffer = PixelBuffer::create(2, 2, kPixelFormat32BGRA);
  ASSERT_NE(buffer, nullptr);
  {
    BaseAddressLock lock(*buffer, LockFlags::ReadWrite);
    EXPECT_EQ(lock.data(), buffer->baseAddress());
  }
  EXPECT_EQ(buffer->baseAddress(), nullptr);
  {
    BaseAddressLock refused(*buffer, LockFlags(7));
    EXPECT_EQ(refused.data(), nullptr);
  }
}

}  // namespace
}  // namespace platform::media
