#include "tools/view/view_options.h"

#include <string_view>

namespace quillane::view {
namespace {

namespace media = platform::media;

struct PixelFormatName {
  std::string_view name;
  media::FourCC pixelFormat;
};
constexpr PixelFormatName kPixelFormatNames[] = {{"bgra", media::kPixelFormat32BGRA},
                                                 {"yuy2", media::kPixelFormatYUY2},
                                                 {"bgrx", media::kPixelFormat32BGRX}};

}  // namespace

std::optional<media::FourCC> parsePixelFormat(std::string_view name) {
  for (const PixelFormatName& known : kPixelFormatNames) {
    if (known.name == name) return known.pixelFormat;
  }
  return std::nullopt;
}

std::string_view pixelFormatName(media::FourCC pixelFormat) {
  for (const PixelFormatName& known : kPixelFormatNames) {
    if (known.pixelFormat == pixelFormat) return known.name;
  }
  return "";
}

std::optional<ViewOptions> parseViewOptions(int argc, const char* const* argv) {
  ViewOptions options;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return std::nullopt;
    const std::string_view option = argv[i];
    const std::string_view value = argv[i + 1];
    bool valid = true;
    if (option == "--size") {
      const auto size = tools::parseSize(value);
      valid = size.has_value();
      options.size = size.value_or(options.size);
    } else if (option == "--format") {
      options.pixelFormat = parsePixelFormat(value);
      valid = options.pixelFormat.has_value();
    } else if (option == "--frames") {
      options.frames = tools::parseCount(value);
      valid = options.frames.value_or(0) >= 1;
    } else if (option == "--seconds") {
      options.seconds = tools::parseDecimal(value);
      valid = options.seconds.value_or(0) > 0;
    } else if (option == "--wait") {
      const auto wait = tools::parseDecimal(value);
      valid = wait.has_value();
      options.waitSeconds = wait.value_or(0);
    } else if (option == "--png") {
      options.pngFolder = std::string(value);
      valid = !value.empty();
    } else if (option == "--every") {
      const auto every = tools::parseCount(value);
      valid = every.has_value() && *every >= 1;
      options.pngEvery = every.value_or(1);
    } else if (option == "--y4m") {
      options.y4mPath = std::string(value);
      valid = !value.empty();
    } else {
      valid = false;
    }
    if (!valid) return std::nullopt;
  }
  return options;
}

}  // namespace quillane::view
