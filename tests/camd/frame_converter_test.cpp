#include "camd/frame_converter.h"

#include <gtest/gtest.h>

#include "platform/faults/fault_injection.h"
#include "platform/media/media_time.h"
#include "tests/camd/report_capture.h"

namespace camd {
namespace {

namespace media = platform::media;
namespace faults = platform::faults;

class FrameConverterTest : public ::testing::Test {
 protected:
  void TearDown() override { faults::reset(); }

  media::SampleBufferRef convert(int width, int height) {
    std::vector<uint8_t> rgba(std::size_t(width) * height * 4);
    return converter.makeSample(rgba.data(), picture(width, height));
  }

  static media::PixelBufferRef picture(int width, int height) {
    return media::PixelBuffer::create(width, height, media::kPixelFormat32BGRA);
  }

  std::shared_ptr<platform::dispatch::ManualClock> clock =
      std::make_shared<platform::dispatch::ManualClock>(7'000'000'123);
  FrameConverter converter{clock};
};

// Each pixel's red and blue swap places, green and alpha stay, row by row into rows padded
// beyond the frame's width.
TEST_F(FrameConverterTest, WritesEachPixelAsBGRA) {
  for (auto [width, height] : {std::pair(1, 1), std::pair(3, 2)}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    std::vector<uint8_t> rgba(std::size_t(width) * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<uint8_t>(10 * (i + 1));
    media::SampleBufferRef sample = converter.makeSample(rgba.data(), picture(width, height));
    ASSERT_TRUE(sample);
    media::PixelBuffer& buffer = *sample->imageBuffer();
    EXPECT_EQ(buffer.pixelFormat(), media::kPixelFormat32BGRA);
    ASSERT_GT(buffer.bytesPerRow(), std::size_t(width) * 4);
    media::BaseAddressLock lock(buffer, media::PixelBuffer::LockFlags::ReadOnly);
    for (int row = 0; row < height; ++row) {
      for (int pixel = 0; pixel < width; ++pixel) {
        const uint8_t* in = &rgba[(row * width + pixel) * 4];
        const uint8_t* out = lock.data() + row * buffer.bytesPerRow() + pixel * 4;
        EXPECT_EQ(std::vector<uint8_t>(out, out + 4),
                  (std::vector<uint8_t>{in[2], in[1], in[0], in[3]}))
            << "row " << row << " pixel " << pixel;
      }
    }
  }
}

TEST_F(FrameConverterTest, StampsItsClocksTimeAndOneThirtiethOfASecond) {
  media::SampleBufferRef sample = convert(2, 2);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->duration(), media::MediaTime::make(1, 30));
  EXPECT_FALSE(sample->decodeTimeStamp().isValid());
  EXPECT_EQ(sample->presentationTimeStamp(), media::MediaTime::fromNanos(7'000'000'123));
  EXPECT_TRUE(sample->dataIsReady());
  EXPECT_TRUE(sample->formatDescription()->matchesImageBuffer(*sample->imageBuffer()));
}

// One description per frame size, made afresh once forgotten.
TEST_F(FrameConverterTest, KeepsOneDescriptionPerFrameSize) {
  media::SampleBufferRef first = convert(1280, 720);
  EXPECT_EQ(convert(1280, 720)->formatDescription(), first->formatDescription());
  media::SampleBufferRef third = convert(640, 720);
  EXPECT_EQ(third->formatDescription()->width(), 640);
  EXPECT_EQ(convert(640, 720)->formatDescription(), third->formatDescription());
  converter.forgetFormatDescription();
  EXPECT_NE(convert(640, 720)->formatDescription(), third->formatDescription());
}

struct Refusal {
  faults::Fault fault;
  const char* name;
};

class FrameConverterRefusal : public FrameConverterTest,
                              public ::testing::WithParamInterface<Refusal> {};

// Every refused step drops only this frame: the next one converts.
TEST_P(FrameConverterRefusal, DropsTheFrameAndRecoversOnTheNext) {
  testing::ReportCapture capture;
  faults::failNext(GetParam().fault);
  EXPECT_FALSE(convert(4, 4));
  EXPECT_TRUE(convert(4, 4));
  const std::vector<std::string> expected =
      GetParam().fault == faults::Fault::PermuteChannels
          ? std::vector<std::string>{"vImagePermuteChannels failed: -21773"}
          : std::vector<std::string>{};
  EXPECT_EQ(capture.errorLines(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FrameConverterRefusal,
    ::testing::Values(Refusal{faults::Fault::PermuteChannels, "Permute"},
                      Refusal{faults::Fault::CreateFormatDescription, "FormatDescription"},
                      Refusal{faults::Fault::CreateSampleBuffer, "SampleBuffer"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace camd
