#include "camd/reports.h"

#include "camd/reporting.h"

namespace camd {

namespace selector = platform::camera::selector;

// The direction reported for a stream whose direction cannot be read.
constexpr uint32_t kUnknownDirection = 99;

nlohmann::json statusReport(CMIO::HardwareClient& client) {
  const std::optional<CMIO::ObjectID> device = CMIO::findQuillaneDevice(client);
  return {{"device", device.has_value()},
          {"streaming", device.has_value() && CMIO::isRunningSomewhere(client, *device)}};
}

nlohmann::json deviceReport(CMIO::HardwareClient& client, CMIO::ObjectID device) {
  nlohmann::json streams = nlohmann::json::array();
  for (CMIO::ObjectID stream : CMIO::objectIDs(client, device, selector::kStreams)) {
    streams.push_back({{"id", stream},
                       {"direction", CMIO::uint32(client, stream, selector::kDirection)
                                         .value_or(kUnknownDirection)}});
  }
  return {{"id", device},
          {"name", CMIO::string(client, device, selector::kName).value_or("")},
          {"uid", CMIO::string(client, device, selector::kDeviceUID).value_or("")},
          {"streams", std::move(streams)}};
}

void printDeviceReports(CMIO::HardwareClient& client) {
  for (CMIO::ObjectID device : CMIO::devices(client)) printJSON(deviceReport(client, device));
}

}  // namespace camd
