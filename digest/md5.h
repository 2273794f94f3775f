#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "project/whole_file.h"

// The MD5 message digest of RFC 1321. One object computes any number of digests
// one after another; it is used by one thread at a time.
class TrkMD5 {
 public:
  TrkMD5() { Init(); }

  // Starts a new digest.
  void Init();
  // Feeds `count` bytes.
  void Update(const void* bytes, size_t count);
  // Pads, stores the digest (see Digest) and clears the working state.
  void Final();
  // One compression of a 64-byte block into the state.
  void Transform(const uint8_t* block);

  // The 16 bytes of the last Final.
  const uint8_t* Digest() const { return digest_; }
  // The last Final's digest as 32 uppercase hexadecimal digits.
  std::string DigestText() const;
  // A 16-byte digest as 32 uppercase hexadecimal digits, as DigestText writes it.
  static std::string HexOf(const uint8_t* digest);
  // Appends HexOf(digest) to `out`.
  static void AppendHex(const uint8_t* digest, std::string& out);
  // The 16 bytes that 32 hexadecimal digits spell (upper case alone when
  // `upper_only`, as DigestText writes them; else any case); false for any
  // other text.
  static bool BytesOf(std::string_view hex, std::array<uint8_t, 16>& bytes, bool upper_only = false);

  // The digest of `text` (a plain byte string) as 32 uppercase hexadecimal digits.
  std::string DigestHex(std::string_view text);
  // The same as its 16 bytes.
  std::array<uint8_t, 16> DigestBytes(std::string_view text);
  // The digest of a file's bytes, read in pieces so that the file is never held
  // in memory whole; equal to DigestHex of the whole content. Throws TrkError
  // as ReadFileContent does. `at_ends` is told the file's stat data before
  // and after the read (see ReadFilePieces).
  std::string DigestFileHex(const std::string& path, const TrkReadEnds& at_ends = nullptr);

 private:
  // Compresses `blocks` consecutive 64-byte blocks.
  void TransformBlocks(const uint8_t* data, size_t blocks);

  uint32_t state_[4];
  uint32_t count_[2];  // bits fed so far, modulo 2^64: low word, then high word
  uint8_t buffer_[64];  // the pending part of the current block
  uint8_t digest_[16] = {};
};
