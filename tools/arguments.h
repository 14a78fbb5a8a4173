#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Values of the tools' command-line options, read strictly: the whole text or nothing.
namespace quillane::tools {

struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const FrameSize&) const = default;
};

// "WxH" with both sizes in 1…8192, the frame stream's limits.
std::optional<FrameSize> parseSize(std::string_view text);
// The size as "WxH".
std::string sizeText(FrameSize size);

// A whole number, 0 or more.
std::optional<uint64_t> parseCount(std::string_view text);

// A decimal number, 0 or more, fractions allowed ("2.5").
std::optional<double> parseDecimal(std::string_view text);

}  // namespace quillane::tools
