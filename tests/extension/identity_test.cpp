#include <gtest/gtest.h>

#include "extension/camera_ids.h"
#include "extension/video_format.h"

namespace quillane {
namespace {

TEST(FormatTableTest, OffersThreeBgraFormatsAtThirtyFramesWithSharedDescriptions) {
  const auto& formats = VideoFormat::all();
  ASSERT_EQ(formats.size(), 3u);
  const std::pair<int64_t, int64_t> expected[] = {{1920, 1080}, {1280, 720}, {640, 480}};
  for (size_t i = 0; i < formats.size(); ++i) {
    EXPECT_EQ(formats[i].width, expected[i].first);
    EXPECT_EQ(formats[i].height, expected[i].second);
    ASSERT_TRUE(formats[i].formatDescription);
    EXPECT_EQ(formats[i].formatDescription->mediaSubType(), 0x42475241u);
    EXPECT_EQ(formats[i].formatDescription->width(), expected[i].first);
    EXPECT_EQ(formats[i].formatDescription->height(), expected[i].second);
    EXPECT_EQ(VideoFormat::all()[i].formatDescription, formats[i].formatDescription);
  }
  EXPECT_EQ(VideoFormat::frameDuration.value, 1);
  EXPECT_EQ(VideoFormat::frameDuration.timescale, 30);
  EXPECT_DOUBLE_EQ(VideoFormat::frameDuration.seconds(), 1.0 / 30.0);
}

TEST(CameraIdsTest, DeviceUidIsTheDeviceIdTextAsTheToolSearchesForIt) {
  EXPECT_EQ(CameraIDs::deviceUID(), "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77");
  EXPECT_EQ(CameraIDs::device().toString(), CameraIDs::deviceUID());
  EXPECT_EQ(CameraIDs::source().toString(), "3D2C1B0A-9F8E-4D7C-8B6A-5F4E3D2C1B0A");
  EXPECT_EQ(CameraIDs::sink().toString(), "9A8B7C6D-5E4F-4A3B-9C2D-1E0F9A8B7C6D");
}

}  // namespace
}  // namespace quillane
