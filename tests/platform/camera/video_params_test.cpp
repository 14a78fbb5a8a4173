// The formats the camera's output node offers, read the way camera clients read them.
#include <gtest/gtest.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/iter.h>

#include "platform/camera/pipewire/shared/video_params.h"

namespace platform::camera::pipewire {
namespace {

// Browsers (libwebrtc), OBS and pw-v4l2 skip a format whose pixel format, size or rate is not a
// single plain value; each offered format must be one they take, and parse back to itself.
TEST(OutputFormats, EachIsOnePlainPixelFormatSizeAndRateThatReadsBack) {
  const std::vector<VideoFormat> formats = outputFormats({{1920, 1080}, {1280, 720}, {640, 480}});
  ASSERT_EQ(formats.size(), 9u);
  // A pixel format's sizes together, BGRA first: a client that leaves it open gets the camera's
  // own, and a V4L2 client lists each pixel format once.
  EXPECT_EQ(formats[0], (VideoFormat{media::kPixelFormat32BGRA, {1920, 1080}}));
  EXPECT_EQ(formats[4], (VideoFormat{media::kPixelFormatYUY2, {1280, 720}}));
  EXPECT_EQ(formats[8], (VideoFormat{media::kPixelFormat32BGRX, {640, 480}}));

  VideoParams params;
  for (const VideoFormat& format : formats) params.addFixedFormat(format);
  ASSERT_EQ(params.count(), formats.size());
  for (std::size_t i = 0; i < formats.size(); ++i) {
    SCOPED_TRACE(i);
    const spa_pod* pod = params.data()[i];
    const auto* object = reinterpret_cast<const spa_pod_object*>(pod);
    for (uint32_t key :
         {SPA_FORMAT_VIDEO_format, SPA_FORMAT_VIDEO_size, SPA_FORMAT_VIDEO_framerate}) {
      const spa_pod_prop* prop = spa_pod_object_find_prop(object, nullptr, key);
      ASSERT_NE(prop, nullptr) << key;
      uint32_t values = 0, choice = 0;
      spa_pod_get_values(&prop->value, &values, &choice);
      EXPECT_EQ(choice, SPA_CHOICE_None) << key;
    }
    EXPECT_EQ(parseVideoFormat(pod, kOutputPixelFormats), formats[i]);
    spa_video_info_raw info{};
    ASSERT_GE(spa_format_video_raw_parse(pod, &info), 0);
    EXPECT_EQ(info.framerate.num, 30u);
    EXPECT_EQ(info.framerate.denom, 1u);
    if (formats[i].pixelFormat == media::kPixelFormatYUY2) {
      EXPECT_EQ(info.color_matrix, SPA_VIDEO_COLOR_MATRIX_BT601);
      EXPECT_EQ(info.color_range, SPA_VIDEO_COLOR_RANGE_16_235);
      EXPECT_EQ(formats[i].rowBytes(), formats[i].size.width * 2);
      // A sink takes only 4-byte pixels.
      EXPECT_EQ(parseVideoFormat(pod, kSinkPixelFormats), std::nullopt);
    }
  }
}

}  // namespace
}  // namespace platform::camera::pipewire
