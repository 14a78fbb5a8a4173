#include "camd/reporting.h"

#include <gtest/gtest.h>

#include "tests/camd/report_capture.h"

namespace camd {
namespace {

using nlohmann::json;

struct Serialization {
  const char* name;
  json object;
  std::optional<std::string> text;
};

TEST(SerializeJSON, WritesTheAgreedFormOrNothing) {
  const Serialization cases[] = {
      {"compact, keys sorted at every level",
       {{"uid", "u"},
        {"streams", json::array({{{"id", 7}, {"direction", 0}}})},
        {"name", "n"},
        {"id", 4294967295u},
        {"ok", true}},
       R"({"id":4294967295,"name":"n","ok":true,"streams":[{"direction":0,"id":7}],"uid":"u"})"},
      {"solidus escaped, quotes escaped, UTF-8 raw",
       {{"name", "Caméra a/b \"q\""}, {"k/ey", "\xE2\x80\x94"}},
       "{\"k\\/ey\":\"\xE2\x80\x94\",\"name\":\"Caméra a\\/b \\\"q\\\"\"}"},
      {"invalid UTF-8", {{"name", "bad \xFF byte"}}, std::nullopt},
      {"invalid UTF-8 nested", {{"nested", {{"name", std::string("\xC3")}}}}, std::nullopt},
  };
  for (const Serialization& test : cases)
    EXPECT_EQ(serializeJSON(test.object), test.text) << test.name;
}

// Reports go to standard output, errors as they are to standard error; an object that cannot be
// serialised writes nothing at all and leaves later reports alone.
TEST(PrintJSON, AndLogErrorWriteWholeLinesToTheirStreams) {
  testing::ReportCapture capture;
  printJSON({{"name", "bad \xFF byte"}});
  logError("stdin read error 9");
  printJSON({{"after", 1}});
  EXPECT_EQ(capture.outputLines(), std::vector<std::string>{R"({"after":1})"});
  EXPECT_EQ(capture.errorLines(), std::vector<std::string>{"stdin read error 9"});
}

}  // namespace
}  // namespace camd
