#include "digest/md5.h"

#include <algorithm>

#include <string.h>

#include "project/whole_file.h"

namespace {

// Digit values by byte: 0-15 for upper-case digits, 16-31 (value + 16) for
// lower-case ones, 255 for anything else. A table, not comparisons: the digits
// of a digest are random, so branches on them are mispredicted half the time.
constexpr std::array<uint8_t, 256> kDigitValues = [] {
  std::array<uint8_t, 256> values{};
  values.fill(255);
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    values['A' + i] = static_cast<uint8_t>(10 + i);
    values['a' + i] = static_cast<uint8_t>(26 + i);
  }
  return values;
}();


inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The block's message words, little-endian whatever the machine's byte order.
inline uint32_t LoadWord(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t word;
  memcpy(&word, p, sizeof word);
  return word;
#else
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
#endif
}

inline void StoreWord(uint8_t* p, uint32_t word) {
  p[0] = static_cast<uint8_t>(word);
  p[1] = static_cast<uint8_t>(word >> 8);
  p[2] = static_cast<uint8_t>(word >> 16);
  p[3] = static_cast<uint8_t>(word >> 24);
}

// The four auxiliary functions, in forms equal to RFC 1321's but with fewer
// operations (F and G as bit selects).
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, t) \
  a += f(b, c, d) + (x) + (t);           \
  a = RotateLeft(a, s) + b

constexpr uint8_t kPadding[64] = {0x80};

}  // namespace

void TrkMD5::Init() {
  count_[0] = count_[1] = 0;
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
  memset(buffer_, 0, sizeof buffer_);
}

void TrkMD5::Update(const void* bytes, size_t count) {
  if (count == 0) return;
  const uint8_t* input = static_cast<const uint8_t*>(bytes);
  size_t index = (count_[0] >> 3) & 0x3F;
  uint64_t bits = (uint64_t{count_[1]} << 32 | count_[0]) + (uint64_t{count} << 3);
  count_[0] = static_cast<uint32_t>(bits);
  count_[1] = static_cast<uint32_t>(bits >> 32);

  size_t room = 64 - index;
  if (count < room) {
    memcpy(buffer_ + index, input, count);
    return;
  }
  if (index > 0) {
    memcpy(buffer_ + index, input, room);
    TransformBlocks(buffer_, 1);
    input += room;
    count -= room;
  }
  // Whole blocks straight from the input, without copying them.
  TransformBlocks(input, count / 64);
  memcpy(buffer_, input + count / 64 * 64, count % 64);
}

void TrkMD5::Final() {
  uint8_t bits[8];
  StoreWord(bits, count_[0]);
  StoreWord(bits + 4, count_[1]);
  // Pad to 56 bytes modulo 64, then the bit count of the message before padding.
  size_t index = (count_[0] >> 3) & 0x3F;
  Update(kPadding, index < 56 ? 56 - index : 120 - index);
  Update(bits, 8);
  for (int i = 0; i < 4; ++i) StoreWord(digest_ + 4 * i, state_[i]);
  // Leave nothing of the message behind in the object.
  memset(state_, 0, sizeof state_);
  memset(count_, 0, sizeof count_);
  memset(buffer_, 0, sizeof buffer_);
}

void TrkMD5::Transform(const uint8_t* block) { TransformBlocks(block, 1); }

void TrkMD5::TransformBlocks(const uint8_t* data, size_t blocks) {
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (; blocks > 0; --blocks, data += 64) {
    const uint32_t x0 = LoadWord(data), x1 = LoadWord(data + 4), x2 = LoadWord(data + 8),
                   x3 = LoadWord(data + 12), x4 = LoadWord(data + 16), x5 = LoadWord(data + 20),
                   x6 = LoadWord(data + 24), x7 = LoadWord(data + 28), x8 = LoadWord(data + 32),
                   x9 = LoadWord(data + 36), x10 = LoadWord(data + 40), x11 = LoadWord(data + 44),
                   x12 = LoadWord(data + 48), x13 = LoadWord(data + 52), x14 = LoadWord(data + 56),
                   x15 = LoadWord(data + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_STEP(F, a, b, c, d, x0, 7, 0xd76aa478);
    MD5_STEP(F, d, a, b, c, x1, 12, 0xe8c7b756);
    MD5_STEP(F, c, d, a, b, x2, 17, 0x242070db);
    MD5_STEP(F, b, c, d, a, x3, 22, 0xc1bdceee);
    MD5_STEP(F, a, b, c, d, x4, 7, 0xf57c0faf);
    MD5_STEP(F, d, a, b, c, x5, 12, 0x4787c62a);
    MD5_STEP(F, c, d, a, b, x6, 17, 0xa8304613);
    MD5_STEP(F, b, c, d, a, x7, 22, 0xfd469501);
    MD5_STEP(F, a, b, c, d, x8, 7, 0x698098d8);
    MD5_STEP(F, d, a, b, c, x9, 12, 0x8b44f7af);
    MD5_STEP(F, c, d, a, b, x10, 17, 0xffff5bb1);
    MD5_STEP(F, b, c, d, a, x11, 22, 0x895cd7be);
    MD5_STEP(F, a, b, c, d, x12, 7, 0x6b901122);
    MD5_STEP(F, d, a, b, c, x13, 12, 0xfd987193);
    MD5_STEP(F, c, d, a, b, x14, 17, 0xa679438e);
    MD5_STEP(F, b, c, d, a, x15, 22, 0x49b40821);

    MD5_STEP(G, a, b, c, d, x1, 5, 0xf61e2562);
    MD5_STEP(G, d, a, b, c, x6, 9, 0xc040b340);
    MD5_STEP(G, c, d, a, b, x11, 14, 0x265e5a51);
    MD5_STEP(G, b, c, d, a, x0, 20, 0xe9b6c7aa);
    MD5_STEP(G, a, b, c, d, x5, 5, 0xd62f105d);
    MD5_STEP(G, d, a, b, c, x10, 9, 0x02441453);
    MD5_STEP(G, c, d, a, b, x15, 14, 0xd8a1e681);
    MD5_STEP(G, b, c, d, a, x4, 20, 0xe7d3fbc8);
    MD5_STEP(G, a, b, c, d, x9, 5, 0x21e1cde6);
    MD5_STEP(G, d, a, b, c, x14, 9, 0xc33707d6);
    MD5_STEP(G, c, d, a, b, x3, 14, 0xf4d50d87);
    MD5_STEP(G, b, c, d, a, x8, 20, 0x455a14ed);
    MD5_STEP(G, a, b, c, d, x13, 5, 0xa9e3e905);
    MD5_STEP(G, d, a, b, c, x2, 9, 0xfcefa3f8);
    MD5_STEP(G, c, d, a, b, x7, 14, 0x676f02d9);
    MD5_STEP(G, b, c, d, a, x12, 20, 0x8d2a4c8a);

    MD5_STEP(H, a, b, c, d, x5, 4, 0xfffa3942);
    MD5_STEP(H, d, a, b, c, x8, 11, 0x8771f681);
    MD5_STEP(H, c, d, a, b, x11, 16, 0x6d9d6122);
    MD5_STEP(H, b, c, d, a, x14, 23, 0xfde5380c);
    MD5_STEP(H, a, b, c, d, x1, 4, 0xa4beea44);
    MD5_STEP(H, d, a, b, c, x4, 11, 0x4bdecfa9);
    MD5_STEP(H, c, d, a, b, x7, 16, 0xf6bb4b60);
    MD5_STEP(H, b, c, d, a, x10, 23, 0xbebfbc70);
    MD5_STEP(H, a, b, c, d, x13, 4, 0x289b7ec6);
    MD5_STEP(H, d, a, b, c, x0, 11, 0xeaa127fa);
    MD5_STEP(H, c, d, a, b, x3, 16, 0xd4ef3085);
    MD5_STEP(H, b, c, d, a, x6, 23, 0x04881d05);
    MD5_STEP(H, a, b, c, d, x9, 4, 0xd9d4d039);
    MD5_STEP(H, d, a, b, c, x12, 11, 0xe6db99e5);
    MD5_STEP(H, c, d, a, b, x15, 16, 0x1fa27cf8);
    MD5_STEP(H, b, c, d, a, x2, 23, 0xc4ac5665);

    MD5_STEP(I, a, b, c, d, x0, 6, 0xf4292244);
    MD5_STEP(I, d, a, b, c, x7, 10, 0x432aff97);
    MD5_STEP(I, c, d, a, b, x14, 15, 0xab9423a7);
    MD5_STEP(I, b, c, d, a, x5, 21, 0xfc93a039);
    MD5_STEP(I, a, b, c, d, x12, 6, 0x655b59c3);
    MD5_STEP(I, d, a, b, c, x3, 10, 0x8f0ccc92);
    MD5_STEP(I, c, d, a, b, x10, 15, 0xffeff47d);
    MD5_STEP(I, b, c, d, a, x1, 21, 0x85845dd1);
    MD5_STEP(I, a, b, c, d, x8, 6, 0x6fa87e4f);
    MD5_STEP(I, d, a, b, c, x15, 10, 0xfe2ce6e0);
    MD5_STEP(I, c, d, a, b, x6, 15, 0xa3014314);
    MD5_STEP(I, b, c, d, a, x13, 21, 0x4e0811a1);
    MD5_STEP(I, a, b, c, d, x4, 6, 0xf7537e82);
    MD5_STEP(I, d, a, b, c, x11, 10, 0xbd3af235);
    MD5_STEP(I, c, d, a, b, x2, 15, 0x2ad7d2bb);
    MD5_STEP(I, b, c, d, a, x9, 21, 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state_[0] = a;
  state_[1] = b;
  state_[2] = c;
  state_[3] = d;
}

std::string TrkMD5::DigestText() const { return HexOf(digest_); }

std::string TrkMD5::HexOf(const uint8_t* digest) {
  std::string text;
  AppendHex(digest, text);
  return text;
}

void TrkMD5::AppendHex(const uint8_t* digest, std::string& out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const size_t at = out.size();
  out.resize(at + 32);
  char* hex = out.data() + at;
  for (int i = 0; i < 16; ++i) {
    *hex++ = kDigits[digest[i] >> 4];
    *hex++ = kDigits[digest[i] & 15];
  }
}

std::string TrkMD5::DigestHex(std::string_view text) {
  Init();
  Update(text.data(), text.size());
  Final();
  return DigestText();
}

bool TrkMD5::BytesOf(std::string_view hex, std::array<uint8_t, 16>& bytes, bool upper_only) {
  if (hex.size() != 32) return false;
  const uint8_t limit = upper_only ? 16 : 32;
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t high = kDigitValues[static_cast<uint8_t>(hex[2 * i])];
    const uint8_t low = kDigitValues[static_cast<uint8_t>(hex[2 * i + 1])];
    if (high >= limit || low >= limit) return false;
    bytes[i] = static_cast<uint8_t>(((high & 15) << 4) | (low & 15));
  }
  return true;
}

std::array<uint8_t, 16> TrkMD5::DigestBytes(std::string_view text) {
  Init();
  Update(text.data(), text.size());
  Final();
  std::array<uint8_t, 16> bytes;
  std::copy(digest_, digest_ + 16, bytes.begin());
  return bytes;
}

std::string TrkMD5::DigestFileHex(const std::string& path, const TrkReadEnds& at_ends) {
  Init();
  ReadFilePieces(
      path, [this](std::string_view piece) { Update(piece.data(), piece.size()); }, 1 << 20, at_ends);
  Final();
  return DigestText();
}
