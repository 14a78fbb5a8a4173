#include "tools/arguments.h"

#include <charconv>
#include <cmath>

#include "formats/frame_stream_format.h"

namespace quillane::tools {
namespace {

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<FrameSize> parseSize(std::string_view text) {
  const std::size_t cross = text.find('x');
  if (cross == std::string_view::npos) return std::nullopt;
  const auto width = parseNumber<uint32_t>(text.substr(0, cross));
  const auto height = parseNumber<uint32_t>(text.substr(cross + 1));
  const auto fits = [](const std::optional<uint32_t>& size) {
    return size && *size >= 1 && *size <= frame_stream::kMaxDimension;
  };
  if (!fits(width) || !fits(height)) return std::nullopt;
  return FrameSize{*width, *height};
}

std::string sizeText(FrameSize size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::optional<uint64_t> parseCount(std::string_view text) {
  return parseNumber<uint64_t>(text);
}

std::optional<double> parseDecimal(std::string_view text) {
  const auto seconds = parseNumber<double>(text);
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return std::nullopt;
  return seconds;
}

}  // namespace quillane::tools
