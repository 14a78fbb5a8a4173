#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillane::browser {

enum class Browser { kChromium, kFirefox };

// "chromium" or "firefox".
std::optional<Browser> parseBrowser(std::string_view name);
const char* browserName(Browser browser);

// How to start a browser headless on one page with a fresh profile: cameras through the desktop
// portal, no permission prompt, no first-run pages, no connections of its own to the network.
struct BrowserLaunch {
  std::vector<std::string> arguments;
  std::vector<std::string> environment;  // "NAME=value" entries set over the tool's own
};

// Prepares `profile` (an empty folder the browser may write) and says how to start `browser`.
BrowserLaunch prepareBrowser(Browser browser, const std::filesystem::path& profile,
                             const std::string& url);

}  // namespace quillane::browser
