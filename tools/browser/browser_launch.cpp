#include "tools/browser/browser_launch.h"

#include <unistd.h>

#include <fstream>

namespace quillane::browser {
namespace {

// Firefox's preferences: the PipeWire camera and no prompt for it, video that plays by itself,
// and none of the services that would reach out to the network at start.
constexpr const char* kFirefoxPreferences[][2] = {
    {"media.webrtc.camera.allow-pipewire", "true"},
    {"media.navigator.permission.disabled", "true"},
    {"media.autoplay.default", "0"},
    {"browser.shell.checkDefaultBrowser", "false"},
    {"browser.aboutwelcome.enabled", "false"},
    {"app.update.auto", "false"},
    {"app.normandy.enabled", "false"},
    {"datareporting.policy.dataSubmissionEnabled", "false"},
    {"datareporting.healthreport.uploadEnabled", "false"},
    {"toolkit.telemetry.enabled", "false"},
    {"network.captive-portal-service.enabled", "false"},
    {"network.connectivity-service.enabled", "false"},
    {"browser.safebrowsing.malware.enabled", "false"},
    {"browser.safebrowsing.phishing.enabled", "false"},
    {"browser.safebrowsing.downloads.enabled", "false"},
    {"extensions.update.enabled", "false"},
    {"browser.region.update.enabled", "false"},
};

}  // namespace

std::optional<Browser> parseBrowser(std::string_view name) {
  if (name == "chromium") return Browser::kChromium;
  if (name == "firefox") return Browser::kFirefox;
  return std::nullopt;
}

const char* browserName(Browser browser) {
  return browser == Browser::kChromium ? "chromium" : "firefox";
}

BrowserLaunch prepareBrowser(Browser browser, const std::filesystem::path& profile,
                             const std::string& url) {
  // The browser keeps its files, caches and settings in the profile, never in the user's home.
  BrowserLaunch launch;
  launch.environment = {"HOME=" + profile.string(),
                        "XDG_CONFIG_HOME=" + (profile / "config").string(),
                        "XDG_CACHE_HOME=" + (profile / "cache").string()};
  if (browser == Browser::kChromium) {
    launch.arguments = {"chromium",
                        "--headless",
                        "--disable-gpu",
                        "--no-first-run",
                        "--disable-background-networking",
                        "--disable-component-update",
                        "--disable-sync",
                        "--disable-quic",
                        "--user-data-dir=" + profile.string(),
                        "--enable-features=WebRtcPipeWireCamera",
                        "--use-fake-ui-for-media-stream",
                        "--autoplay-policy=no-user-gesture-required"};
    // Chromium's sandbox refuses to run as root.
    if (::geteuid() == 0) launch.arguments.push_back("--no-sandbox");
  } else {
    std::ofstream preferences(profile / "user.js");
    for (const auto& [name, value] : kFirefoxPreferences) {
      preferences << "user_pref(\"" << name << "\", " << value << ");\n";
    }
    launch.arguments = {"firefox-esr", "--headless", "--no-remote", "--profile", profile.string()};
  }
  launch.arguments.push_back(url);
  return launch;
}

}  // namespace quillane::browser
