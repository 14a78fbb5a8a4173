#pragma once

#include <nlohmann/json.hpp>

namespace camd {

// Asks for the camera extension to be installed (activate) or removed, and returns the
// activation report {"message", "ok", "state"}. Runs on the main thread.
nlohmann::json runActivation(bool activate);

}  // namespace camd
