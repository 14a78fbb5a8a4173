#include <gtest/gtest.h>

#include "platform/camera/uuid.h"

namespace platform::camera {
namespace {

TEST(UuidTest, ParsesEitherCaseAndFormatsUpperCase) {
  auto uuid = Uuid::parse("7c0e1f2a-5B1D-4e7a-9C3B-2a1f0d9e8b77");
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->bytes()[0], 0x7C);
  EXPECT_EQ(uuid->bytes()[15], 0x77);
  EXPECT_EQ(uuid->toString(), "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77");
  EXPECT_EQ(Uuid::parse(uuid->toString()), uuid);
}

TEST(UuidTest, RefusesMalformedText) {
  EXPECT_FALSE(Uuid::parse(""));
  EXPECT_FALSE(Uuid::parse("7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B7"));    // short
  EXPECT_FALSE(Uuid::parse("7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B777"));  // long
  EXPECT_FALSE(Uuid::parse("7C0E1F2A5B1D-4E7A-9C3B-2A1F0D9E8B77-"));   // dash misplaced
  EXPECT_FALSE(Uuid::parse("7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B7G"));   // not hex
  EXPECT_FALSE(Uuid::parse("{C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77"));
}

TEST(UuidTest, RandomUuidsDifferAndCarryVersionFour) {
  Uuid a = Uuid::random();
  Uuid b = Uuid::random();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.bytes()[6] >> 4, 4);
  EXPECT_EQ(a.bytes()[8] & 0xC0, 0x80);
}

}  // namespace
}  // namespace platform::camera
