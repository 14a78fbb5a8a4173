#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/arguments.h"

namespace quillane::view {

// What quillane-view was asked to do.
struct ViewOptions {
  tools::FrameSize size{1920, 1080};
  std::optional<uint64_t> frames;  // stop after this many frames
  std::optional<double> seconds;   // stop after this long
  double waitSeconds = 5;          // how long to wait for the camera to show
  std::optional<std::string> pngFolder;
  uint64_t pngEvery = 30;              // a picture of frame 1, 1 + every, 1 + 2 × every, …
  std::optional<std::string> y4mPath;  // "-": standard output
  bool y4mToStandardOutput() const { return y4mPath == "-"; }
};

inline constexpr const char* kUsage =
    "usage: quillane-view [--size WxH] [--frames N] [--seconds S] [--wait S] [--png DIR "
    "[--every K]] [--y4m PATH|-]";

// nullopt for an unknown option, a missing or malformed value, or --frames, --seconds or --every
// of 0.
std::optional<ViewOptions> parseViewOptions(int argc, const char* const* argv);

}  // namespace quillane::view
