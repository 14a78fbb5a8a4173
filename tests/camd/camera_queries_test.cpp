// The camera object queries, the reports built on them and the pump's attach failures, against
// a scripted object tree.
#include <gtest/gtest.h>

#include "camd/cmio.h"
#include "camd/frame_pump.h"
#include "camd/quillane_camera.h"
#include "camd/reports.h"
#include "formats/camera_identity.h"
#include "tests/camd/frame_stream.h"
#include "tests/camd/report_capture.h"
#include "tests/camd/scripted_object_tree.h"

namespace camd {
namespace {

namespace selector = platform::camera::selector;
using nlohmann::json;
using platform::camera::PropertyResult;
using platform::camera::PropertyValue;
using testing::ScriptedObjectTree;
using Ids = std::vector<CMIO::ObjectID>;

const std::string kUID = quillane::camera_identity::kDeviceUID;
constexpr uint32_t kSinkDirection = 0;
constexpr uint32_t kOutputDirection = 1;
constexpr platform::camera::Status kBad = platform::camera::status::kBadObject;

// A read that fails.
PropertyResult refused() {
  return {kBad, {}};
}

class CameraQueriesTest : public ::testing::Test {
 protected:
  ScriptedObjectTree tree;
};

// The list as read, in order: its size first, then the data. Empty when a read fails or the list
// is empty (then without a second read); a list that shrank between the two reads ends in zeros.
TEST_F(CameraQueriesTest, ObjectIDsOfEachPropertyShape) {
  struct Case {
    const char* name;
    std::vector<PropertyResult> script;
    Ids ids;
    int reads;
  };
  const Case cases[] = {
      {"whole list", {{0, Ids{9, 7, 8}}}, {9, 7, 8}, 2},
      {"empty list", {{0, Ids{}}}, {}, 1},
      {"not a list", {{0, uint32_t{7}}}, {}, 1},
      {"size refused", {refused()}, {}, 1},
      {"data refused", {{0, Ids{1, 2}}, refused()}, {}, 2},
      {"shrank", {{0, Ids{4, 3, 2, 1}}, {0, Ids{4, 3}}}, {4, 3, 0, 0}, 2},
      {"no such object", {}, {}, 1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ScriptedObjectTree scripted;
    if (!test.script.empty()) scripted.set(5, selector::kStreams, test.script);
    EXPECT_EQ(CMIO::objectIDs(scripted, 5, selector::kStreams), test.ids);
    EXPECT_EQ(scripted.reads(5, selector::kStreams), test.reads);
  }
}

TEST_F(CameraQueriesTest, StringIsAbsentForFailuresAndNonStrings) {
  tree.set(5, selector::kName, std::string("Cam"));
  tree.set(6, selector::kName, PropertyValue{});
  tree.set(7, selector::kName, {refused()});
  EXPECT_EQ(CMIO::string(tree, 5, selector::kName), "Cam");
  EXPECT_EQ(CMIO::string(tree, 6, selector::kName), std::nullopt);
  EXPECT_EQ(CMIO::string(tree, 7, selector::kName), std::nullopt);
  EXPECT_EQ(CMIO::uint32(tree, 5, selector::kName), std::nullopt);
  EXPECT_EQ(CMIO::uint32(tree, 7, selector::kDirection), std::nullopt);
}

TEST_F(CameraQueriesTest, FindQuillaneDeviceTakesTheFirstExactUIDMatch) {
  EXPECT_EQ(CMIO::devices(tree), Ids{});
  EXPECT_EQ(CMIO::findQuillaneDevice(tree), std::nullopt);
  tree.addDevice(10, "7c0e1f2a-5b1d-4e7a-9c3b-2a1f0d9e8b77", {});  // lower case: no match
  tree.addDevice(20, "unused", {});
  tree.set(20, selector::kDeviceUID, {refused()});  // unreadable: skipped
  EXPECT_EQ(CMIO::findQuillaneDevice(tree), std::nullopt);
  tree.addDevice(30, kUID, {});
  tree.addDevice(40, kUID, {});
  EXPECT_EQ(CMIO::findQuillaneDevice(tree), 30u);
  EXPECT_EQ(tree.reads(40, selector::kDeviceUID), 0);
}

TEST_F(CameraQueriesTest, SinkStreamIsTheFirstReadableDirectionZero) {
  tree.addDevice(10, kUID, {kOutputDirection, kSinkDirection, kSinkDirection});
  tree.set(12, selector::kDirection, {refused()});  // unreadable: skipped
  EXPECT_EQ(CMIO::sinkStream(tree, 10), 13u);
  tree.addDevice(20, "other", {kOutputDirection, kOutputDirection});
  EXPECT_EQ(CMIO::sinkStream(tree, 20), std::nullopt);
}

// Streaming needs the camera's "running somewhere" property to read non-zero.
TEST_F(CameraQueriesTest, StatusReportWithAndWithoutTheCamera) {
  EXPECT_EQ(statusReport(tree), (json{{"device", false}, {"streaming", false}}));
  tree.addDevice(10, kUID, {});
  EXPECT_EQ(statusReport(tree), (json{{"device", true}, {"streaming", false}}));
  tree.set(10, selector::kIsRunningSomewhere, uint32_t{7});
  EXPECT_EQ(statusReport(tree), (json{{"device", true}, {"streaming", true}}));
  tree.set(10, selector::kIsRunningSomewhere, {refused()});
  EXPECT_EQ(statusReport(tree), (json{{"device", true}, {"streaming", false}}));
}

TEST_F(CameraQueriesTest, DeviceReportsFallBackForUnreadableProperties) {
  testing::ReportCapture capture;
  printDeviceReports(tree);  // no devices: nothing
  tree.addDevice(10, kUID, {kOutputDirection, kSinkDirection});
  tree.set(10, selector::kName, std::string("a/b é"));
  tree.set(12, selector::kDirection, {refused()});
  tree.addDevice(20, "x", {});
  tree.set(20, selector::kName, PropertyValue{});
  tree.set(20, selector::kDeviceUID, {refused()});
  tree.set(20, selector::kStreams, {refused()});
  printDeviceReports(tree);
  tree.set(platform::camera::kSystemObject, selector::kDevices, {refused()});
  printDeviceReports(tree);  // device list unreadable: nothing
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
        ScriptedObjectTree tree;
        tree.addDevice(10, kUID, {});
        tree.addDevice(20, "Other-Camera", {});
        ::setenv("QLN_DEVICE_UID", "Other-Camera", 1);
        const bool found = CMIO::findQuillaneDevice(tree) == 20u;
        ::setenv("QLN_DEVICE_UID", kUID.c_str(), 1);
        std::exit(found && QuillaneCamera::deviceUID() == "Other-Camera" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ScriptedObjectTree tree;
        tree.addDevice(10, kUID, {});
        tree.addDevice(20, "", {});
        ::setenv("QLN_DEVICE_UID", "", 1);
        std::exit(CMIO::findQuillaneDevice(tree) == 20u ? 0 : 1);
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
    auto scripted = std::make_shared<ScriptedObjectTree>();
    scripted->addDevice(10, kUID, {kOutputDirection, kSinkDirection});
    scripted->copyQueueStatus = test.copyQueueStatus;
    scripted->copyQueueGivesQueue = test.copyQueueGivesQueue;
    scripted->startStatus = test.startStatus;
    testing::ReportCapture capture;
    testing::Pipe input = testing::pipeWith("");
    FramePump pump(scripted, input.reader.get(),
                   std::make_shared<platform::dispatch::ManualClock>());
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
