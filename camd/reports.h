#pragma once

#include <nlohmann/json.hpp>

#include "camd/cmio.h"

// The reports of the "status" and "devices" commands. Run on the main thread.
namespace camd {

// {"device": the camera was found, "streaming": someone runs it}.
nlohmann::json statusReport(CMIO::HardwareClient& client);

// {"id", "name", "uid", "streams": [{"direction", "id"}, ...]} of one device; unreadable
// properties give "", 99 and [].
nlohmann::json deviceReport(CMIO::HardwareClient& client, CMIO::ObjectID device);

// One line per device of the system, each written before the next device is read.
void printDeviceReports(CMIO::HardwareClient& client);

}  // namespace camd
