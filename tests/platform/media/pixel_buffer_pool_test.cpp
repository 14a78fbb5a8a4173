#include "platform/media/pixel_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "platform/faults/fault_injection.h"
#include "platform/media/format_description.h"

namespace platform::media {
namespace {

PixelBufferAttributes bgra(int64_t width, int64_t height) {
  return PixelBufferAttributes{kPixelFormat32BGRA, width, height, true};
}

// Each test starts with a pool of 4 × 4 BGRA buffers.
class PixelBufferPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(pool, nullptr); }

  PixelBufferPoolRef pool = PixelBufferPool::create(bgra(4, 4));
};

TEST(PixelBufferPoolCreateTest, RefusesAbsurdAttributesAndPlatformRefusals) {
  for (int64_t size : {int64_t{0}, int64_t{-1}, int64_t{100000}, int64_t{1} << 40}) {
    EXPECT_EQ(PixelBufferPool::create(bgra(size, 16)), nullptr) << size;
    EXPECT_EQ(PixelBufferPool::create(bgra(16, size)), nullptr) << size;
  }
  faults::failNext(faults::Fault::CreatePixelBufferPool);
  EXPECT_EQ(PixelBufferPool::create(bgra(16, 16)), nullptr);
  EXPECT_NE(PixelBufferPool::create(bgra(16, 16)), nullptr);
}

TEST(PixelBufferPoolCreateTest, BuffersHaveThePoolsAttributes) {
  auto pool = PixelBufferPool::create({kPixelFormat32RGBA, 5, 3, true});
  ASSERT_NE(pool, nullptr);
  auto buffer = pool->createPixelBuffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_TRUE(
      FormatDescription::createVideo(kPixelFormat32RGBA, 5, 3)->matchesImageBuffer(*buffer));
}

TEST_F(PixelBufferPoolTest, NeverHandsOutAHeldBuffer) {
  std::vector<PixelBufferRef> held;
  std::set<PixelBuffer*> distinct;
  for (int i = 0; i < 4; ++i) {
    held.push_back(pool->createPixelBuffer());
    ASSERT_NE(held.back(), nullptr);
    distinct.insert(held.back().get());
  }
  EXPECT_EQ(distinct.size(), 4u);
  EXPECT_EQ(pool->buffersAllocated(), 4u);
}

TEST_F(PixelBufferPoolTest, RecyclesOnlyAfterTheLastHolderLetsGo) {
  PixelBufferRef first = pool->createPixelBuffer();
  PixelBuffer* address = first.get();
  PixelBufferRef secondHolder = first;  // e.g. a sample buffer still queued elsewhere
  first.reset();
  EXPECT_EQ(pool->freeBuffers(), 0u);
  EXPECT_NE(pool->createPixelBuffer().get(), address);  // a new one, released again at once

  secondHolder.reset();
  PixelBufferRef again = pool->createPixelBuffer();
  EXPECT_EQ(again.get(), address);
  EXPECT_EQ(pool->buffersAllocated(), 2u);
}

TEST_F(PixelBufferPoolTest, SteadyTakeAndReleaseAllocatesOnce) {
  for (int i = 0; i < 100; ++i) ASSERT_NE(pool->createPixelBuffer(), nullptr);
  EXPECT_EQ(pool->buffersAllocated(), 1u);
  EXPECT_EQ(pool->freeBuffers(), 1u);
}

TEST_F(PixelBufferPoolTest, FreeListIsCapped) {
  std::vector<PixelBufferRef> burst(40);
  for (auto& buffer : burst) buffer = pool->createPixelBuffer();
  burst.clear();
  EXPECT_GT(pool->freeBuffers(), 0u);
  EXPECT_LT(pool->freeBuffers(), 40u);
}

TEST_F(PixelBufferPoolTest, BufferLeftLockedIsNotRecycled) {
  pool->createPixelBuffer()->lockBaseAddress(PixelBuffer::LockFlags::ReadWrite);
  EXPECT_EQ(pool->freeBuffers(), 0u);
  auto next = pool->createPixelBuffer();
  EXPECT_EQ(next->baseAddress(), nullptr);
}

TEST_F(PixelBufferPoolTest, BufferOutlivesThePool) {
  PixelBufferRef buffer = pool->createPixelBuffer();
  pool.reset();
  BaseAddressLock lock(*buffer, PixelBuffer::LockFlags::ReadWrite);
  ASSERT_NE(lock.data(), nullptr);
  lock.data()[0] = 1;  // still mapped; freed (not returned) when released below
}

TEST_F(PixelBufferPoolTest, BufferFailureLeavesThePoolUsable) {
  faults::failNext(faults::Fault::CreatePixelBuffer);
  EXPECT_EQ(pool->createPixelBuffer(), nullptr);
  EXPECT_EQ(pool->buffersAllocated(), 0u);
  EXPECT_NE(pool->createPixelBuffer(), nullptr);
}

TEST_F(PixelBufferPoolTest, ConcurrentHoldersNeverShareABuffer) {
  // A taken buffer starts at zero, carries its holder's mark and is zeroed before release, so
  // a buffer handed to two holders at once shows the other's mark.
  auto work = [this](uint8_t mark) {
    for (int i = 0; i < 2000; ++i) {
      PixelBufferRef buffer = pool->createPixelBuffer();
      ASSERT_NE(buffer, nullptr);
      BaseAddressLock lock(*buffer, PixelBuffer::LockFlags::ReadWrite);
      ASSERT_EQ(lock.data()[0], 0);
      lock.data()[0] = mark;
      ASSERT_EQ(lock.data()[0], mark);
      lock.data()[0] = 0;
    }
  };
  std::thread other(work, uint8_t{1});
  work(2);
  other.join();
  EXPECT_LE(pool->buffersAllocated(), 4u);
}

}  // namespace
}  // namespace platform::media
