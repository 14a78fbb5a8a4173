#include "camd/reporting.h"

#include <gtest/gtest.h>

#include "tests/camd/report_capture.h"

namespace camd {
namespace {

using nlohmann::json;

TEST(PrintJSON, WritesCompactSortedKeysAtEveryLevel) {
  testing::ReportCapture capture;
  printJSON({{"uid", "u"},
             {"streams", json::array({{{"id", 7}, {"direction", 0}}})},
             {"name", "n"},
             {"id", 4294967295u},
             {"ok", true}});
  ASSERT_EQ(capture.outputLines().size(), 1u);
  EXPECT_EQ(
      capture.outputLines()[0],
      R"({"id":4294967295,"name":"n","ok":true,"streams":[{"direction":0,"id":7}],"uid":"u"})");
}

TEST(PrintJSON, EscapesSolidusAndKeepsUnicodeRaw) {
  testing::ReportCapture capture;
  printJSON({{"name", "Caméra a/b \"q\""}, {"k/ey", "\xE2\x80\x94"}});
  ASSERT_EQ(capture.outputLines().size(), 1u);
  EXPECT_EQ(capture.outputLines()[0],
            "{\"k\\/ey\":\"\xE2\x80\x94\",\"name\":\"Caméra a\\/b \\\"q\\\"\"}");
}

TEST(PrintJSON, WritesNothingForTextThatIsNotUTF8) {
  testing::ReportCapture capture;
  printJSON({{"name", "bad \xFF byte"}});
  printJSON({{"nested", {{"name", std::string("\xC3")}}}});
  EXPECT_TRUE(capture.outputLines().empty());
  EXPECT_TRUE(capture.errorLines().empty());
  printJSON({{"after", 1}});
  EXPECT_EQ(capture.outputLines(), std::vector<std::string>{R"({"after":1})"});
}

TEST(LogError, WritesTheMessageAsOneLineWithoutPrefix) {
  testing::ReportCapture capture;
  logError("stdin read error 9");
  EXPECT_EQ(capture.errorLines(), std::vector<std::string>{"stdin read error 9"});
  EXPECT_TRUE(capture.outputLines().empty());
}

}  // namespace
}  // namespace camd
