#include "tests/integration/pictures.h"

#include <png.h>

#include <nlohmann/json.hpp>

#include "formats/frame_stream_format.h"

namespace quillane::integration {

std::optional<Png> readPng(const std::filesystem::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  Png png{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  png.pixels.resize(static_cast<size_t>(png.width) * png.height);
  if (!png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr)) return std::nullopt;
  return png;
}

std::string framed(uint32_t width, uint32_t height, const std::vector<Rgba>& pixels) {
  const frame_stream::HeaderBytes header = frame_stream::headerFor(width, height);
  return std::string(header.begin(), header.end()) +
         std::string(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 4);
}

bool waitUntilPushing(ChildProcess& run) {
  return run
      .waitForLine(
          [](const std::string& line) {
            const auto status = nlohmann::json::parse(line, nullptr, false);
            return status.value("device", false) && status.value("frames", 0) > 0;
          },
          std::chrono::seconds(10))
      .has_value();
}

FrameFeeder::FrameFeeder(ChildProcess& run, std::chrono::milliseconds period,
                         std::function<std::string(uint64_t)> frameAt)
    : thread_([&run, period, frameAt = std::move(frameAt), this] {
        for (uint64_t i = 0; !stopped_; ++i) {
          if (!run.write(frameAt(i))) return;
          std::this_thread::sleep_for(period);
        }
      }) {}

FrameFeeder::~FrameFeeder() {
  stopped_ = true;
  thread_.join();
}

}  // namespace quillane::integration
