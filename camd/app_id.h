#pragma once

#include <string_view>

namespace camd {

// The application's reverse-DNS identifier; the extension's bundle identifier and the tool's
// queue labels are formed from it. The extension holds the same text.
inline constexpr std::string_view kAppID = "org.quillane.app";

}  // namespace camd
