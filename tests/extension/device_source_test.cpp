#include "extension/device_source.h"

#include <gtest/gtest.h>

#include <future>

#include "tests/extension/camera_harness.h"
#include "tests/extension/pixels.h"

namespace quillane {
namespace {

using platform::camera::ExtensionStreamProperties;
using platform::camera::PropertyKey;
using platform::faults::failNext;
using platform::faults::Fault;
using platform::media::MediaTime;
using test::Bgra;
using test::CameraTest;
using test::HardwareClient;
using test::kTick;
using test::SampleBufferRef;
using test::SimpleQueueRef;

constexpr Bgra kLive{200, 40, 90, 255};

ExtensionStreamProperties formatIndexOnly(int64_t index) {
  ExtensionStreamProperties properties;
  properties.activeFormatIndex = index;
  return properties;
}

ExtensionStreamProperties durationOnly(MediaTime duration) {
  ExtensionStreamProperties properties;
  properties.frameDuration = duration;
  return properties;
}

bool isPlaceholder(const SampleBufferRef& frame, int64_t formatIndex) {
  const auto& picture = frame->imageBuffer();
  if (picture->width() != VideoFormat::at(formatIndex).width) return false;
  auto corner = test::pixelAt(*picture, 0, 0);  // the gradient's deep violet
  return std::abs(corner[0] - 71) <= 3 && std::abs(corner[2] - 41) <= 3 && corner[3] == 255;
}

bool isLive(const SampleBufferRef& frame, int64_t formatIndex) {
  const auto& picture = frame->imageBuffer();
  if (picture->width() != VideoFormat::at(formatIndex).width) return false;
  const int centre = picture->width() / 2;
  return test::spanNear(*picture, picture->height() / 2, centre - 8, centre + 8, kLive, 3);
}

// ---- Freshness -------------------------------------------------------------------------------

TEST(FreshnessTest, FrameIsShownUntilOneAndAHalfSecondsOld) {
  const uint64_t arrival = 10'000'000'000;
  EXPECT_TRUE(DeviceSource::isSinkFrameFresh(true, true, arrival, arrival));
  EXPECT_TRUE(DeviceSource::isSinkFrameFresh(true, true, arrival + 1'499'999'999, arrival));
  EXPECT_FALSE(DeviceSource::isSinkFrameFresh(true, true, arrival + 1'500'000'000, arrival));
  EXPECT_FALSE(DeviceSource::isSinkFrameFresh(false, true, arrival, arrival));
  EXPECT_FALSE(DeviceSource::isSinkFrameFresh(true, false, arrival, arrival));
  // Ages are wrapping differences: across the wrap of the counter the age is still small...
  EXPECT_TRUE(DeviceSource::isSinkFrameFresh(true, true, 5, UINT64_MAX - 5));
  // ...and an arrival stamped after `now` counts as ancient, not as fresh.
  EXPECT_FALSE(DeviceSource::isSinkFrameFresh(true, true, arrival, arrival + 1));
}

// ---- Identity and properties -----------------------------------------------------------------

TEST_F(CameraTest, PublishesTheCameraWithItsIdentity) {
  auto readText = [&](test::ObjectID object, uint32_t sel) {
    platform::camera::PropertyResult read = producer->readProperty(object, {sel});
    EXPECT_EQ(read.status, platform::camera::status::kNoError);
    auto* text = std::get_if<std::string>(&read.value);
    return text != nullptr ? *text : std::string();
  };
  auto readU32 = [&](test::ObjectID object, uint32_t sel) {
    platform::camera::PropertyResult read = producer->readProperty(object, {sel});
    EXPECT_EQ(read.status, platform::camera::status::kNoError);
    auto* value = std::get_if<uint32_t>(&read.value);
    return value != nullptr ? *value : 0u;
  };
  // The control tool finds the camera by this very text.
  EXPECT_EQ(readText(deviceID, test::selector::kDeviceUID), "7C0E1F2A-5B1D-4E7A-9C3B-2A1F0D9E8B77");
  EXPECT_EQ(CameraIDs::device().toString(), CameraIDs::deviceUID());
  EXPECT_EQ(readText(deviceID, test::selector::kName), "Quillane Camera");
  EXPECT_EQ(readText(deviceID, test::selector::kModel), "Quillane Virtual Camera");
  EXPECT_EQ(readU32(deviceID, test::selector::kTransportType), 1986622068u);
  EXPECT_EQ(readText(outputID, test::selector::kName), "Quillane Camera");
  EXPECT_EQ(readText(sinkID, test::selector::kName), "Quillane Camera Sink");
  EXPECT_EQ(readU32(sinkID, test::selector::kDirection), 0u);  // takes data into the device
  EXPECT_EQ(readU32(outputID, test::selector::kDirection), 1u);

  auto provided = provider->providerProperties({PropertyKey::ProviderName});
  EXPECT_EQ(provided.name, "Quillane Camera");
  EXPECT_FALSE(provided.manufacturer);
  EXPECT_EQ(provider->providerProperties({PropertyKey::ProviderManufacturer}).manufacturer,
            "Quillane");
  auto modelOnly = device().deviceProperties({PropertyKey::DeviceModel});
  EXPECT_FALSE(modelOnly.transportType);
}

TEST_F(CameraTest, StreamPropertiesTakeOnlyValuesInRange) {
  StreamSourceBase& output = device().source();
  auto read = [&] {
    return output.streamProperties(
        {PropertyKey::StreamActiveFormatIndex, PropertyKey::StreamFrameDuration});
  };
  EXPECT_EQ(read().activeFormatIndex, 0);
  EXPECT_EQ(read().frameDuration, MediaTime::make(1, 30));

  for (int64_t bad : {int64_t{3}, int64_t{-1}, int64_t{1} << 40}) {
    output.setStreamProperties(formatIndexOnly(bad));
  }
  EXPECT_EQ(read().activeFormatIndex, 0);
  output.setStreamProperties(formatIndexOnly(2));
  EXPECT_EQ(read().activeFormatIndex, 2);

  for (MediaTime bad : {MediaTime::make(0, 30), MediaTime::make(-1, 30), MediaTime::invalid()}) {
    output.setStreamProperties(durationOnly(bad));
  }
  EXPECT_EQ(read().frameDuration, MediaTime::make(1, 30));
  output.setStreamProperties(durationOnly(MediaTime::make(1, 60)));
  EXPECT_EQ(read().frameDuration, MediaTime::make(1, 60));
  // Only what was asked for is answered.
  EXPECT_FALSE(output.streamProperties({PropertyKey::StreamFrameDuration}).activeFormatIndex);
}

TEST_F(CameraTest, SinkReportsItsQueueAndUnderruns) {
  auto properties = device().sink().streamProperties(device().sink().availableProperties());
  EXPECT_EQ(properties.sinkBufferQueueSize, 4);
  EXPECT_EQ(properties.sinkBuffersRequiredForStartup, 1);
  EXPECT_EQ(properties.sinkBufferUnderrunCount, 0);
  EXPECT_EQ(properties.sinkEndOfData, 0);
  EXPECT_EQ(properties.activeFormatIndex, 0);
}

// A start without a stop retires the running consume loop: the empty answers of two loops would
// count twice as fast.
TEST_F(CameraTest, SinkStartedTwiceKeepsOnlyTheSecondConsumeLoopGoing) {
  startProducing();
  device().sink().startStream();
  advance(platform::camera::kConsumeTimeoutNanos);  // both loops' requests time out
  EXPECT_EQ(device().sink().underruns(), 2);
  advance(SinkStreamSource::kRetryDelayNanos);  // each loop would ask again now
  advance(platform::camera::kConsumeTimeoutNanos);
  EXPECT_EQ(device().sink().underruns(), 3);  // only the second loop did
}

// ---- Frame clock -----------------------------------------------------------------------------

TEST_F(CameraTest, PlaceholderIsSentAtOnceThenEveryThirtiethOfASecond) {
  const uint64_t start = clock->nowNanos();
  auto watcher = startWatching();
  auto first = take(watcher);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(isPlaceholder(first[0], 0));
  EXPECT_EQ(first[0]->presentationTimeStamp(), MediaTime::fromNanos(start));
  EXPECT_EQ(first[0]->duration(), MediaTime::make(1, 30));
  EXPECT_EQ(first[0]->formatDescription(), VideoFormat::at(0).formatDescription);

  advance(kTick - 1);
  EXPECT_TRUE(take(watcher).empty());
  for (int i = 0; i < 5; ++i) {
    advance(i == 0 ? 1 : kTick);
    auto frames = take(watcher);
    ASSERT_EQ(frames.size(), 1u) << "tick " << i;
    EXPECT_EQ(frames[0]->imageBuffer(), first[0]->imageBuffer());  // drawn once, shared
  }
  // A client's frame duration does not change the rate.
  device().source().setStreamProperties(durationOnly(MediaTime::make(1, 60)));
  advance(kTick / 2);
  EXPECT_TRUE(take(watcher).empty());
}

TEST_F(CameraTest, TwoStartsRunOneClockAndAStopEndsIt) {
  auto watcher = startWatching();
  device().source().startStream();  // a second start without a stop
  settle();
  take(watcher);
  for (int i = 0; i < 3; ++i) {
    advance(kTick);
    EXPECT_EQ(take(watcher).size(), 1u);
  }
  device().source().stopStream();
  device().source().stopStream();
  settle();
  bool running = true;
  device().queue().sync([&] { running = device().isClockRunning(); });
  EXPECT_FALSE(running);
  advance(kTick * 2);
  EXPECT_TRUE(take(watcher).empty());
}

TEST_F(CameraTest, ClockUpdateReadsTheFlagWhenItRuns) {
  // Hold the frame queue so that both updates are still waiting when the flag changes.
  std::promise<void> release;
  device().queue().async([gate = release.get_future().share()] { gate.wait(); });
  device().source().startStream();
  device().source().stopStream();
  release.set_value();
  settle();
  bool running = true;
  device().queue().sync([&] { running = device().isClockRunning(); });
  EXPECT_FALSE(running);
}

TEST_F(CameraTest, FormatChangeOnTheOutputStreamResizesTheNextFrame) {
  auto watcher = startWatching();
  take(watcher);
  ASSERT_EQ(clients[0]->writeProperty(outputID, {test::selector::kActiveFormatIndex}, 2u), 0);
  // The sink's format is stored but changes nothing in the output.
  ASSERT_EQ(producer->writeProperty(sinkID, {test::selector::kActiveFormatIndex}, 1u), 0);
  EXPECT_EQ(device().sink().activeFormatIndex(), 1);
  advance(kTick);
  auto frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isPlaceholder(frames[0], 2));
  EXPECT_EQ(frames[0]->imageBuffer()->height(), 480);
}

TEST_F(CameraTest, TicksMoveToJustAfterTheFramesOfASteadyProducer) {
  constexpr int64_t kMillis = 1'000'000;
  constexpr Bgra kOther{30, 160, 60, 255};
  // An earlier watch leaves the clock's old grid behind: the new one starts off it.
  startWatching();
  advance(2 * kTick);
  ASSERT_EQ(clients[0]->stopStream(deviceID, outputID), 0);
  advance(13 * kMillis);
  const uint64_t start = clock->nowNanos();
  auto watcher = startWatching();
  auto sinkQueue = startProducing();
  std::vector<SampleBufferRef> sent = take(watcher);
  // 30 fps, 20 ms after the clock's ticks. Time moves to a millisecond after each frame, then
  // 8 ms at a time, so a tick runs up to 8 ms after its deadline.
  std::vector<uint64_t> arrivals;
  for (uint64_t k = 0; k < 75; ++k) {
    const uint64_t arrival = start + 20'000'000 + k * kTick;
    clock->set(arrival);
    settle();
    push(sinkQueue, test::solidBuffer(64, 64, k % 2 == 0 ? kLive : kOther));
    arrivals.push_back(arrival);
    for (int64_t after : {1, 9, 17, 25}) {
      clock->set(arrival + static_cast<uint64_t>(after * kMillis));
      settle();
      for (auto& frame : take(watcher)) sent.push_back(std::move(frame));
    }
  }
  // Time stamps are in nanoseconds.
  auto sentAt = [](const SampleBufferRef& frame) { return frame->presentationTimeStamp().value; };
  // No tick lost or doubled.
  for (std::size_t i = 1; i < sent.size(); ++i) {
    ASSERT_NEAR(sentAt(sent[i]) - sentAt(sent[i - 1]), kTick, 9 * kMillis) << "frame " << i;
  }
  // Settled: each frame goes out a millisecond after it came.
  for (std::size_t k = 45; k < arrivals.size(); ++k) {
    auto shown = std::find_if(sent.begin(), sent.end(), [&](const SampleBufferRef& frame) {
      return sentAt(frame) >= static_cast<int64_t>(arrivals[k]);
    });
    ASSERT_NE(shown, sent.end());
    EXPECT_EQ(sentAt(*shown), static_cast<int64_t>(arrivals[k] + kMillis)) << "frame " << k;
    EXPECT_TRUE(
        test::spanNear(*(*shown)->imageBuffer(), 540, 950, 970, k % 2 == 0 ? kLive : kOther, 3));
  }
}

// ---- Sink frames in the output ---------------------------------------------------------------

TEST_F(CameraTest, PushedFrameIsFittedAndRepeatedUntilANewerOne) {
  auto watcher = startWatching();
  auto sinkQueue = startProducing();
  push(sinkQueue, test::solidBuffer(640, 360, kLive));
  take(watcher);
  advance(kTick);
  auto frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isLive(frames[0], 0));
  EXPECT_FALSE(test::spanIsZero(*frames[0]->imageBuffer(), 0, 0, 1920));  // same aspect: no bars

  advance(kTick);
  frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isLive(frames[0], 0));

  // A frame of the format's own size is sent as it is, without a copy.
  auto exact = test::solidBuffer(1920, 1080, {1, 2, 3, 255});
  push(sinkQueue, exact);
  advance(kTick);
  frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0]->imageBuffer(), exact);
}

class StalenessTest : public CameraTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(StalenessTest, FrameTurnsIntoPlaceholderAtOneAndAHalfSeconds) {
  const uint64_t age = GetParam();
  const uint64_t start = clock->nowNanos();
  auto watcher = startWatching();
  auto sinkQueue = startProducing();
  const uint64_t deadline = start + 60 * kTick;  // a tick of the clock
  clock->set(deadline - age);                    // the frame arrives `age` before that tick
  settle();
  push(sinkQueue, test::solidBuffer(320, 240, kLive));
  clock->set(deadline - 1);
  settle();
  take(watcher);
  advance(1);
  auto frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(isLive(frames[0], 0), age < DeviceSource::kStaleAfterNanos);
  EXPECT_EQ(isPlaceholder(frames[0], 0), age >= DeviceSource::kStaleAfterNanos);
}

INSTANTIATE_TEST_SUITE_P(Edge, StalenessTest, ::testing::Values(1'499'999'999, 1'500'000'000));

TEST_F(CameraTest, SinkStopFallsBackToPlaceholderAtOnce) {
  auto watcher = startWatching();
  auto sinkQueue = startProducing();
  push(sinkQueue, test::solidBuffer(1920, 1080, kLive));
  ASSERT_EQ(producer->stopStream(deviceID, sinkID), 0);
  settle();
  take(watcher);
  advance(kTick);
  auto frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isPlaceholder(frames[0], 0));
  bool cleared = false;
  device().queue().sync([&] { cleared = !device().sink().latestFrame().buffer; });
  EXPECT_TRUE(cleared);
}

TEST_F(CameraTest, FrameThatCannotBeShownGivesThePlaceholder) {
  auto watcher = startWatching();
  auto sinkQueue = startProducing();
  // Same size but not BGRA: passing it on would label other bytes as BGRA.
  push(sinkQueue, test::solidBuffer(1920, 1080, kLive, platform::media::kPixelFormat32RGBA));
  take(watcher);
  advance(kTick);
  auto frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isPlaceholder(frames.back(), 0));

  push(sinkQueue, test::solidBuffer(800, 600, kLive));
  failNext(Fault::Scale);
  advance(kTick);
  frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isPlaceholder(frames[0], 0));
  advance(kTick);
  frames = take(watcher);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(isLive(frames[0], 0));
}

TEST_F(CameraTest, RefusedTickIsSkippedAndTheNextOneSends) {
  failNext(Fault::CreatePixelBuffer);  // no placeholder yet: nothing to send
  auto watcher = startWatching();
  EXPECT_TRUE(take(watcher).empty());
  failNext(Fault::CreateSampleBuffer);
  advance(kTick);
  EXPECT_TRUE(take(watcher).empty());
  advance(kTick);
  EXPECT_EQ(take(watcher).size(), 1u);
}

TEST_F(CameraTest, EveryWatcherGetsEveryFrameAndASilentOneHoldsNothingUp) {
  auto silent = startWatching();
  auto first = startWatching();
  auto second = startWatching();
  take(first);
  take(second);
  for (int i = 0; i < 10; ++i) {
    advance(kTick);
    EXPECT_EQ(take(first).size(), 1u);
    EXPECT_EQ(take(second).size(), 1u);
  }
  EXPECT_EQ(silent->count(), silent->capacity());  // only its newest frames are kept
}

// ---- Consume loop ----------------------------------------------------------------------------

TEST_F(CameraTest, EmptyAnswersCountAsUnderrunsAndAreRetriedAfterAQuarterSecond) {
  auto sinkQueue = startProducing();
  auto underruns = [&] { return device().sink().underruns(); };
  advance(1'000'000'000);  // the host's consume timeout
  EXPECT_EQ(underruns(), 1);
  advance(249'999'999);
  advance(1);  // the retry is due now, a quarter second after the empty answer
  advance(999'999'999);
  EXPECT_EQ(underruns(), 1);
  advance(1);  // the retried request times out as well
  EXPECT_EQ(underruns(), 2);
  advance(250'000'000);
  // Once buffers come again they are taken without delay.
  push(sinkQueue, test::solidBuffer(64, 64, kLive));
  push(sinkQueue, test::solidBuffer(64, 64, kLive));
  EXPECT_EQ(underruns(), 2);
  auto confirmed = host->lastScheduledOutput(sinkID);
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(confirmed->hostTimeInNanoseconds, clock->nowNanos());
  bool stored = false;
  device().queue().sync(
      [&] { stored = device().sink().latestFrame().arrivalNanos == clock->nowNanos(); });
  EXPECT_TRUE(stored);
  // The count never resets and is what the sink reports.
  ASSERT_EQ(producer->stopStream(deviceID, sinkID), 0);
  settle();
  auto reported = device().sink().streamProperties({PropertyKey::StreamSinkBufferUnderrunCount});
  EXPECT_EQ(reported.sinkBufferUnderrunCount, underruns());
  EXPECT_GE(underruns(), 2);
}

TEST_F(CameraTest, StopEndsTheLoopEvenWhenItsRequestCompletesLate) {
  auto sinkQueue = startProducing();
  ASSERT_EQ(producer->stopStream(deviceID, sinkID), 0);
  settle();  // the outstanding request completes now, with an error
  const int64_t afterStop = device().sink().underruns();
  for (int i = 0; i < 8; ++i) advance(500'000'000);
  EXPECT_EQ(device().sink().underruns(), afterStop);  // no request issued any more
  EXPECT_FALSE(device().sink().activeClient());
}

TEST_F(CameraTest, StartWithoutAnyClientRunsNoLoop) {
  auto watcher = startWatching();
  device().sink().startStream();
  settle();
  EXPECT_TRUE(device().sink().isStreaming());
  EXPECT_FALSE(device().sink().activeClient());
  for (int i = 0; i < 4; ++i) advance(600'000'000);
  EXPECT_EQ(device().sink().underruns(), 0);
  auto frames = take(watcher);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(isPlaceholder(frames.back(), 0));
}

TEST_F(CameraTest, TheLaterAuthorisedClientIsConsumed) {
  auto other = host->connect();
  clients.push_back(other);
  SimpleQueueRef otherQueue;
  ASSERT_EQ(other->copyBufferQueue(sinkID, nullptr, &otherQueue), 0);
  auto sinkQueue = startProducing();
  ASSERT_EQ(other->startStream(deviceID, sinkID), 0);  // authorised, stream already running
  settle();
  device().sink().startStream();  // a new start takes the later authorised client
  settle();
  auto watcher = startWatching();
  push(otherQueue, test::solidBuffer(1920, 1080, kLive));
  advance(kTick);
  auto frames = take(watcher);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(isLive(frames.back(), 0));
}

}  // namespace
}  // namespace quillane
