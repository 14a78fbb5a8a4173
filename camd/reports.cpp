#include "camd/reports.h"

#include "camd/reporting.h"

namespace camd {

namespace selector = platform::camera::selector;

// The direction reported for a stream whose direction cannot be read.
constexpr uint32_t kUnknownDirection = 99;

nlohmann::json statusReport() {
  const std::optional<CMIO::ObjectID> device = CMIO::findQuillaneDevice();
  return {{"device", device.has_value()},
          {"streaming", device.has_value() && CMIO::isRunningSomewhere(*device)}};
}

nlohmann::json deviceReport(CMIO::ObjectID device) {
  nlohmann::json streams = nlohmann::json::array();
  for (CMIO::ObjectID stream : CMIO::objectIDs(device, selector::kStreams)) {
    streams.push_back(
        {{"id", stream},
         {"direction", CMIO::uint32(stream, selector::kDirection).value_or(kUnknownDirection)}});
  }
  return {{"id", device},
          {"name", CMIO::string(device, selector::kName).value_or("")},
          {"uid", CMIO::string(device, selector::kDeviceUID).value_or("")},
          {"streams", std::move(streams)}};
}

void printDeviceReports() {
  for (CMIO::ObjectID device : CMIO::devices()) printJSON(deviceReport(device));
}

}  // namespace camd
