#include "platform/media/pixel_buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/base/shared_memory.h"
#include "platform/faults/fault_injection.h"

namespace platform::media {
namespace {

using LockFlags = PixelBuffer::LockFlags;

base::UniqueFd duplicate(const base::UniqueFd& fd) {
  return base::UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
}

// A page of sealable shared memory carrying `seals`.
base::UniqueFd memfdWithSeals(int seals) {
  base::UniqueFd fd(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  EXPECT_TRUE(fd);
  EXPECT_EQ(::ftruncate(fd.get(), 4096), 0);
  if (seals != 0) {
    EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, seals), 0);
  }
  return fd;
}

// Each test starts with a 4 × 4 BGRA buffer: 64-byte rows, 256 bytes.
class PixelBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(buffer, nullptr); }

  PixelBufferRef buffer = PixelBuffer::create(4, 4, kPixelFormat32BGRA);
};

TEST_F(PixelBufferTest, RowsArePaddedToTheAlignment) {
  struct Case {
    int width;
    int height;
    std::size_t bytesPerRow;
  };
  for (const Case& c : {Case{3, 2, 64}, Case{17, 1, 128}, Case{1920, 1080, 7680}}) {
    auto padded = PixelBuffer::create(c.width, c.height, kPixelFormat32RGBA);
    ASSERT_NE(padded, nullptr) << c.width;
    EXPECT_EQ(padded->bytesPerRow(), c.bytesPerRow) << c.width;
    EXPECT_EQ(padded->dataSize(), c.bytesPerRow * c.height) << c.width;
  }
}

TEST_F(PixelBufferTest, CreateRefusesSizesOutOfRangeAndPlatformRefusals) {
  EXPECT_EQ(PixelBuffer::create(0, 1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(1, -1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(PixelBuffer::kMaxDimension + 1, 1, kPixelFormat32BGRA), nullptr);
  EXPECT_EQ(PixelBuffer::create(std::numeric_limits<int>::max(), std::numeric_limits<int>::max(),
                                kPixelFormat32BGRA),
            nullptr);
  EXPECT_NE(PixelBuffer::create(PixelBuffer::kMaxDimension, 1, kPixelFormat32BGRA), nullptr);

  faults::failNext(faults::Fault::CreatePixelBuffer);
  EXPECT_EQ(PixelBuffer::create(4, 4, kPixelFormat32BGRA), nullptr);
  EXPECT_NE(PixelBuffer::create(4, 4, kPixelFormat32BGRA), nullptr);
}

TEST_F(PixelBufferTest, MemoryIsSealedAgainstResizing) {
  int seals = ::fcntl(buffer->fd().get(), F_GET_SEALS);
  EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
            F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  EXPECT_NE(::ftruncate(buffer->fd().get(), 0), 0);
  EXPECT_NE(::fcntl(buffer->fd().get(), F_ADD_SEALS, F_SEAL_WRITE), 0);
}

TEST_F(PixelBufferTest, AdoptedDuplicateSharesTheMemoryAndOutlivesTheOriginal) {
  {
    BaseAddressLock lock(*buffer, LockFlags::ReadWrite);
    ASSERT_NE(lock.data(), nullptr);
    for (std::size_t i = 0; i < buffer->dataSize(); ++i) lock.data()[i] = uint8_t(i * 7);
  }
  auto adopted = PixelBuffer::adopt(duplicate(buffer->fd()), 4, 4, kPixelFormat32BGRA, 64);
  ASSERT_NE(adopted, nullptr);
  {
    BaseAddressLock originalLock(*buffer, LockFlags::ReadWrite);
    BaseAddressLock adoptedLock(*adopted, LockFlags::ReadWrite);
    ASSERT_NE(adoptedLock.data(), originalLock.data());  // two mappings...
    EXPECT_EQ(std::memcmp(adoptedLock.data(), originalLock.data(), buffer->dataSize()), 0);
    adoptedLock.data()[5] = 0xAB;  // ...of one memory: a write through one shows in the other
    EXPECT_EQ(originalLock.data()[5], 0xAB);
  }
  buffer.reset();
  BaseAddressLock lock(*adopted, LockFlags::ReadOnly);
  EXPECT_EQ(lock.data()[adopted->dataSize() - 1], uint8_t((adopted->dataSize() - 1) * 7));
}

TEST_F(PixelBufferTest, AdoptRefusesMemoryThatCouldFaultTheReader) {
  auto adopt = [&](int width, int height, std::size_t bytesPerRow) {
    return PixelBuffer::adopt(duplicate(buffer->fd()), width, height, kPixelFormat32BGRA,
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

TEST_F(PixelBufferTest, AdoptRefusesUnsealedOrForeignDescriptors) {
  // Unsealed, or sealed against growing only: the sender could cut it short under our mapping.
  for (int seals : {0, int{F_SEAL_GROW}}) {
    EXPECT_EQ(PixelBuffer::adopt(memfdWithSeals(seals), 4, 4, kPixelFormat32BGRA, 64), nullptr)
        << seals;
  }
  EXPECT_NE(
      PixelBuffer::adopt(memfdWithSeals(F_SEAL_SHRINK | F_SEAL_GROW), 4, 4, kPixelFormat32BGRA, 64),
      nullptr);

  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  base::UniqueFd writeEnd(pipeEnds[1]);
  EXPECT_EQ(PixelBuffer::adopt(base::UniqueFd(pipeEnds[0]), 4, 4, kPixelFormat32BGRA, 64), nullptr);
}

TEST_F(PixelBufferTest, BaseAddressIsOnlyAvailableWhileLocked) {
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

TEST_F(PixelBufferTest, ScopedLockUnlocksAndReportsFailure) {
  {
    BaseAddressLock lock(*buffer, LockFlags::ReadWrite);
    EXPECT_EQ(lock.data(), buffer->baseAddress());
  }
  EXPECT_EQ(buffer->baseAddress(), nullptr);
  BaseAddressLock refused(*buffer, LockFlags(7));
  EXPECT_EQ(refused.data(), nullptr);
}

}  // namespace
}  // namespace platform::media

namespace platform::media {
namespace {

// A picture in memory someone else owns is read where it lies, never written, and its owner
// hears once, when the last holder lets go, while the memory is still there.
TEST(WrappedPixelBuffer, IsReadOnlyKeepsItsMemoryAndTellsItsOwnerOnce) {
  auto memory = std::make_shared<std::vector<uint8_t>>(2 * 16, 7);
  int released = 0;
  std::weak_ptr<std::vector<uint8_t>> watched = memory;
  PixelBufferRef wrapped = PixelBuffer::wrap(memory, memory->data(), 3, 2, kPixelFormat32BGRA, 16,
                                             [&] { released += watched.expired() ? 100 : 1; });
  memory.reset();
  ASSERT_NE(wrapped, nullptr);
  EXPECT_FALSE(wrapped->fd());
  EXPECT_NE(wrapped->lockBaseAddress(PixelBuffer::LockFlags::ReadWrite), kStatusOK);
  {
    BaseAddressLock pixels(*wrapped, PixelBuffer::LockFlags::ReadOnly);
    ASSERT_NE(pixels.data(), nullptr);
    EXPECT_EQ(pixels.data()[16 + 11], 7);
  }
  PixelBufferRef second = wrapped;
  wrapped.reset();
  EXPECT_EQ(released, 0);
  second.reset();
  EXPECT_EQ(released, 1);
  EXPECT_EQ(PixelBuffer::wrap(nullptr, nullptr, 3, 2, kPixelFormat32BGRA, 16, {}), nullptr);
  uint8_t row[8] = {};
  EXPECT_EQ(PixelBuffer::wrap(nullptr, row, 3, 1, kPixelFormat32BGRA, 8, {}), nullptr);  // short
}

// A reader that copied the pixels of one version need not copy them again until it changes.
TEST(WrappedPixelBuffer, ContentVersionChangesOnlyWhenThePixelsMayHave) {
  PixelBufferRef first = PixelBuffer::create(4, 4, kPixelFormat32BGRA);
  PixelBufferRef other = PixelBuffer::create(4, 4, kPixelFormat32BGRA);
  const uint64_t before = first->contentVersion();
  EXPECT_NE(before, other->contentVersion());
  { BaseAddressLock reading(*first, PixelBuffer::LockFlags::ReadOnly); }
  EXPECT_EQ(first->contentVersion(), before);
  { BaseAddressLock writing(*first, PixelBuffer::LockFlags::ReadWrite); }
  EXPECT_NE(first->contentVersion(), before);
  EXPECT_NE(first->contentVersion(), other->contentVersion());
}

}  // namespace
}  // namespace platform::media
