#pragma once

#include <array>
#include <string>
#include <string_view>

// Percent-encoding that escapes a chosen set of bytes, each written as "%" and
// two upper-case hexadecimal digits. URLs and the program's own files (the
// record's destination line, the paths file) each escape a set of their own;
// the digits and the way back are shared and must never change, since files
// written by earlier versions are read back. "%" is always escaped, or the
// text could not be read back.
//
// Made once per use as a constant: the set is a table, so encoding costs one
// lookup a byte.
class TrkPercentEncoding {
 public:
  // Escapes the bytes of `bytes`.
  static constexpr TrkPercentEncoding Of(std::string_view bytes) { return TrkPercentEncoding().With(bytes); }
  // Escapes every byte `escape(unsigned char)` is true for.
  template <typename Predicate>
  static constexpr TrkPercentEncoding Where(Predicate escape) {
    TrkPercentEncoding encoding;
    for (int byte = 0; byte < 256; ++byte) encoding.escaped_[byte] |= escape(static_cast<unsigned char>(byte));
    return encoding;
  }
  // These bytes and those of `bytes`.
  constexpr TrkPercentEncoding With(std::string_view bytes) const {
    TrkPercentEncoding encoding = *this;
    for (char c : bytes) encoding.escaped_[static_cast<unsigned char>(c)] = true;
    return encoding;
  }
  constexpr bool Escapes(char c) const { return escaped_[static_cast<unsigned char>(c)]; }

  // Appends `text` to `out` with the bytes of this set escaped.
  void Append(std::string& out, std::string_view text) const;
  std::string Encoded(std::string_view text) const;
  // Sets `out` to the bytes `text` encodes, whichever set escaped them; false
  // when a "%" is not followed by two upper-case hexadecimal digits (no
  // encoding writes that).
  static bool Decode(std::string_view text, std::string& out);

 private:
  constexpr TrkPercentEncoding() { escaped_['%'] = true; }

  std::array<bool, 256> escaped_{};
};
