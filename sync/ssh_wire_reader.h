#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Reads the SSH protocol's data types from bytes, in order: a uint32 is four
// bytes, most significant first; a string is a uint32 length and that many
// bytes. A read past the end gives nothing and leaves every later read
// nothing as well, so a caller checks once, at the end.
class TrkSshWireReader {
 public:
  explicit TrkSshWireReader(std::string_view bytes) : rest_(bytes) {}

  std::optional<uint32_t> Number() {
    std::optional<std::string_view> four = Take(4);
    if (!four) return std::nullopt;
    uint32_t value = 0;
    for (char c : *four) value = value << 8 | static_cast<unsigned char>(c);
    return value;
  }
  std::optional<std::string_view> Text() {
    std::optional<uint32_t> length = Number();
    return length ? Take(*length) : std::nullopt;
  }
  // The next `count` bytes as they are.
  std::optional<std::string_view> Take(uint32_t count) {
    if (broken_ || count > rest_.size()) {
      broken_ = true;
      return std::nullopt;
    }
    std::string_view taken = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return taken;
  }

 private:
  std::string_view rest_;
  bool broken_ = false;
};
