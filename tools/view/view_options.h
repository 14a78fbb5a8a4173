#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <string_view>

#include "platform/media/status.h"
#include "tools/arguments.h"

namespace quillane::view {

// The pixel formats the viewer watches in, by the names its options and lines use: "bgra",
// "yuy2", "bgrx". nullopt and "" for anything else.
std::optional<platform::media::FourCC> parsePixelFormat(std::string_view name);
std::string_view pixelFormatName(platform::media::FourCC pixelFormat);

// What quillane-view was asked to do.
struct ViewOptions {
  tools::FrameSize size{1920, 1080};
  // Watch in this pixel format; none: in the one the camera runs in, else BGRA.
  std::optional<platform::media::FourCC> pixelFormat;
  std::optional<uint64_t> frames;  // stop after this many frames
  std::optional<double> seconds;   // stop after this long
  double waitSeconds = 5;          // how long to wait for the camera to show
  std::optional<std::string> pngFolder;
  uint64_t pngEvery = 30;              // a picture of frame 1, 1 + every, 1 + 2 × every, …
  std::optional<std::string> y4mPath;  // "-": standard output
  bool y4mToStandardOutput() const { return y4mPath == "-"; }
};

inline constexpr const char* kUsage =
    "usage: quillane-view [--size WxH] [--format bgra|yuy2|bgrx] [--frames N] [--seconds S] "
    "[--wait S] [--png DIR [--every K]] [--y4m PATH|-]";

// nullopt for an unknown option, a missing or malformed value, an unknown --format, or --frames,
// --seconds or --every of 0.
std::optional<ViewOptions> parseViewOptions(int argc, const char* const* argv);

}  // namespace quillane::view
