#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/child_process.h"

// Frames tests push into the camera and pictures they read back.
namespace quillane::integration {

struct Rgba {
  uint8_t r, g, b, a;
  bool operator==(const Rgba&) const = default;
};

struct Png {
  int width = 0;
  int height = 0;
  std::vector<Rgba> pixels;
  Rgba at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// The PNG file at `path` as RGBA pixels; nullopt when it cannot be read.
std::optional<Png> readPng(const std::filesystem::path& path);

// A frame in the frame stream format that quillane-camd run reads.
std::string framed(uint32_t width, uint32_t height, const std::vector<Rgba>& pixels);

// Waits until quillane-camd run reports frames pushed into the camera.
bool waitUntilPushing(ChildProcess& run);

// Feeds quillane-camd run with the frames `frameAt(i)` makes, one every `period` (0: as fast as
// the tool takes them), on a thread of its own until destroyed or the tool stops reading.
class FrameFeeder {
 public:
  FrameFeeder(ChildProcess& run, std::chrono::milliseconds period,
              std::function<std::string(uint64_t)> frameAt);
  ~FrameFeeder();
  FrameFeeder(const FrameFeeder&) = delete;
  FrameFeeder& operator=(const FrameFeeder&) = delete;

 private:
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

}  // namespace quillane::integration
