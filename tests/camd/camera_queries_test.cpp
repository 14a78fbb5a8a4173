// The camera object queries, the reports built on them and the pump's attach failures, against
// a scripted object tree.
#include <gtest/gtest.h>

#include "camd/cmio.h"
#include "camd/frame_pump.h"
#include "camd/quillane_camera.h"
#include "camd/reports.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"
#include "tests/camd/scripted_object_tree.h"

namespace camd {
namespace {

namespace selector = platform::camera::selector;
using nlohmann::json;
using testing::ScriptedObjectTree;
using testing::ScriptedProperty;
using Ids = std::vector<CMIO::ObjectID>;

const std::string kUID = QuillaneCamera::kDefaultDeviceUID;
constexpr uint32_t kSinkDirection = 0;
constexpr uint32_t kOutputDirection = 1;

class CameraQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override { tree.reset(); }
  void TearDown() override {
    EXPECT_EQ(tree.stringsAlive(), 0) << "a string reference was not released";
    tree.reset();
  }
  ScriptedObjectTree& tree = ScriptedObjectTree::instance();
};

// The list as read, in order; empty when a read fails or the size holds no whole ID (then
// without a second read); a list that shrank between the two reads ends in zeros.
TEST_F(CameraQueriesTest, ObjectIDsOfEachPropertyShape) {
  struct Case {
    const char* name;
    std::optional<ScriptedProperty> property;
    Ids ids;
    int dataReads;
  };
  const platform::camera::Status kBad = platform::camera::status::kBadObject;
  const Case cases[] = {
      {"whole list", ScriptedProperty{Ids{9, 7, 8}}, {9, 7, 8}, 1},
      {"empty list", ScriptedProperty{Ids{}}, {}, 0},
      {"size of less than one ID", ScriptedProperty{Ids{1}, 0, 0, 3}, {}, 0},
      {"size refused", ScriptedProperty{Ids{1, 2}, kBad}, {}, 0},
      {"data refused", ScriptedProperty{Ids{1, 2}, 0, kBad}, {}, 1},
      {"shrank", ScriptedProperty{Ids{4, 3}, 0, 0, 16}, {4, 3, 0, 0}, 1},
      {"no such object", std::nullopt, {}, 0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    tree.reset();
    if (test.property) tree.set(5, selector::kStreams, *test.property);
    EXPECT_EQ(CMIO::objectIDs(5, selector::kStreams), test.ids);
    EXPECT_EQ(tree.dataReads(5, selector::kStreams), test.dataReads);
  }
}

TEST_F(CameraQueriesTest, StringIsAbsentForFailuresAndNullReferences) {
  tree.set(5, selector::kName, {std::optional<std::string>("Cam")});
  tree.set(6, selector::kName, {std::optional<std::string>()});
  tree.set(7, selector::kName, {std::optional<std::string>("x"), 0, 1});
  EXPECT_EQ(CMIO::string(5, selector::kName), "Cam");
  EXPECT_EQ(CMIO::string(6, selector::kName), std::nullopt);
  EXPECT_EQ(CMIO::string(7, selector::kName), std::nullopt);
  EXPECT_EQ(CMIO::uint32(7, selector::kDirection), std::nullopt);
}

TEST_F(CameraQueriesTest, FindQuillaneDeviceTakesTheFirstExactUIDMatch) {
  EXPECT_EQ(CMIO::devices(), Ids{});
  EXPECT_EQ(CMIO::findQuillaneDevice(), std::nullopt);
  tree.addDevice(10, "7c0e1f2a-5b1d-4e7a-9c3b-2a1f0d9e8b77", {});  // lower case: no match
  tree.addDevice(20, "unused", {});
  tree.set(20, selector::kDeviceUID, {std::optional<std::string>(), 1});  // unreadable: skipped
  EXPECT_EQ(CMIO::findQuillaneDevice(), std::nullopt);
  tree.addDevice(30, kUID, {});
  tree.addDevice(40, kUID, {});
  EXPECT_EQ(CMIO::findQuillaneDevice(), 30u);
  EXPECT_EQ(tree.dataReads(40, selector::kDeviceUID), 0);
}

TEST_F(CameraQueriesTest, SinkStreamIsTheFirstReadableDirectionZero) {
  tree.addDevice(10, kUID, {kOutputDirection, kSinkDirection, kSinkDirection});
  tree.set(12, selector::kDirection, {uint32_t{0}, 0, 1});  // unreadable: skipped
  EXPECT_EQ(CMIO::sinkStream(10), 13u);
  tree.addDevice(20, "other", {kOutputDirection, kOutputDirection});
  EXPECT_EQ(CMIO::sinkStream(20), std::nullopt);
}

// Streaming needs the camera's "running somewhere" property to read non-zero.
TEST_F(CameraQueriesTest, StatusReportWithAndWithoutTheCamera) {
  EXPECT_EQ(statusReport(), (json{{"device", false}, {"streaming", false}}));
  tree.addDevice(10, kUID, {});
  EXPECT_EQ(statusReport(), (json{{"device", true}, {"streaming", false}}));
  tree.set(10, selector::kIsRunningSomewhere, {uint32_t{7}});
  EXPECT_EQ(statusReport(), (json{{"device", true}, {"streaming", true}}));
  tree.set(10, selector::kIsRunningSomewhere, {uint32_t{7}, 0, 1});
  EXPECT_EQ(statusReport(), (json{{"device", true}, {"streaming", false}}));
}

TEST_F(CameraQueriesTest, DeviceReportsFallBackForUnreadableProperties) {
  testing::ReportCapture capture;
  printDeviceReports();  // no devices: nothing
  tree.addDevice(10, kUID, {kOutputDirection, kSinkDirection});
  tree.set(10, selector::kName, {std::optional<std::string>("a/b é")});
  tree.set(12, selector::kDirection, {uint32_t{0}, 0, 1});
  tree.addDevice(20, "x", {});
  tree.set(20, selector::kName, {std::optional<std::string>()});
  tree.set(20, selector::kDeviceUID, {std::optional<std::string>(), 1});
  tree.set(20, selector::kStreams, {Ids{1}, 1});
  printDeviceReports();
  tree.set(platform::camera::kSystemObject, selector::kDevices, {Ids{10}, 1});
  printDeviceReports();  // device list unreadable: nothing
  EXPECT_EQ(
      capture.outputLines(),
      (std::vector<std::string>{
          R"({"id":10,"name":"a\/b é","streams":[{"direction":1,"id":11},{"direction":99,"id":12}],"uid":")" +
              kUID + R"("})",
          R"({"id":20,"name":"","streams":[],"uid":""})"}));
}

// The UID is taken from the environment once; each case runs in a fresh process.
TEST(QuillaneCameraDeathTest, DeviceUIDOverrideIsReadOnceAndComparedExactly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScriptedObjectTree& tree = ScriptedObjectTree::instance();
        tree.addDevice(10, kUID, {});
        tree.addDevice(20, "Other-Camera", {});
        ::setenv("QLN_DEVICE_UID", "Other-Camera", 1);
        const bool found = CMIO::findQuillaneDevice() == 20u;
        ::setenv("QLN_DEVICE_UID", kUID.c_str(), 1);
        std::exit(found && QuillaneCamera::deviceUID() == "Other-Camera" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ScriptedObjectTree& tree = ScriptedObjectTree::instance();
        tree.addDevice(10, kUID, {});
        tree.addDevice(20, "", {});
        ::setenv("QLN_DEVICE_UID", "", 1);
        std::exit(CMIO::findQuillaneDevice() == 20u ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A pump started with the camera in the tree logs each refused step and stays detached.
TEST_F(CameraQueriesTest, PumpAttachFailuresAreLoggedAndLeaveThePumpDetached) {
  struct Case {
    platform::camera::Status copyQueueStatus;
    bool copyQueueGivesQueue;
    platform::camera::Status startStatus;
    std::string error;
  };
  const Case cases[] = {
      {-50, false, 0, "CMIOStreamCopyBufferQueue failed: -50 queue=nil"},
      {0, false, 0, "CMIOStreamCopyBufferQueue failed: 0 queue=nil"},
      {-50, true, 0, "CMIOStreamCopyBufferQueue failed: -50 queue=ok"},
      {0, true, -12, "CMIODeviceStartStream failed: -12"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.error);
    tree.reset();
    tree.addDevice(10, kUID, {kOutputDirection, kSinkDirection});
    tree.copyQueueStatus = test.copyQueueStatus;
    tree.copyQueueGivesQueue = test.copyQueueGivesQueue;
    tree.startStatus = test.startStatus;
    testing::ReportCapture capture;
    testing::Pipe input = testing::pipeWith("");
    FramePump pump(input.reader.get(), std::make_shared<platform::dispatch::ManualClock>());
    pump.start();
    EXPECT_FALSE(pump.pumpFrame());
    EXPECT_EQ(pump.finish(), 0);
    EXPECT_EQ(capture.reports().back(),
              (json{{"ok", true}, {"device", true}, {"streaming", false}, {"frames", 0}}));
    EXPECT_EQ(capture.errorLines(), std::vector<std::string>{test.error});
  }
}

}  // namespace
}  // namespace camd
