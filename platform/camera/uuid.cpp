#include "platform/camera/uuid.h"

#include <random>

namespace platform::camera {
namespace {

constexpr size_t kTextLength = 36;

bool isDashPosition(size_t index) {
  return index == 8 || index == 13 || index == 18 || index == 23;
}

std::optional<uint8_t> hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  Uuid uuid;
  size_t nibble = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    std::optional<uint8_t> value = hexValue(text[i]);
    if (!value) return std::nullopt;
    uint8_t& byte = uuid.bytes_[nibble / 2];
    byte = static_cast<uint8_t>(nibble % 2 == 0 ? *value << 4 : byte | *value);
    ++nibble;
  }
  return uuid;
}

Uuid Uuid::random() {
  // One generator per thread, seeded from the system's entropy source.
  thread_local std::mt19937_64 generator{std::random_device{}()};
  Uuid uuid;
  for (size_t i = 0; i < uuid.bytes_.size(); i += 8) {
    uint64_t bits = generator();
    for (size_t j = 0; j < 8; ++j) uuid.bytes_[i + j] = static_cast<uint8_t>(bits >> (8 * j));
  }
  uuid.bytes_[6] = static_cast<uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40);  // version 4
  uuid.bytes_[8] = static_cast<uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

std::string Uuid::toString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(kTextLength);
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes_[i] >> 4]);
    text.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace platform::camera
