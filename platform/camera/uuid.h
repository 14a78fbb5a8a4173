#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::camera {

// A 128-bit UUID (Foundation's UUID). Value type.
class Uuid {
 public:
  Uuid() = default;
  // Parses the 36-character 8-4-4-4-12 form, either letter case; nullopt otherwise.
  static std::optional<Uuid> parse(std::string_view text);
  // A new random (version 4) UUID.
  static Uuid random();
  // Upper-case 8-4-4-4-12 text.
  std::string toString() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const Uuid&) const = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

}  // namespace platform::camera
