#include "digest/md5.h"

#include <gtest/gtest.h>

#include <string>

#include "project/error.h"
#include "support/temp_dir.h"

namespace {

std::string Hex(std::string_view text) { return TrkMD5().DigestHex(text); }

// Bytes whose value depends on their position, so that a misplaced block shows.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return bytes;
}

TEST(MD5Test, Rfc1321SuiteInUppercase) {
  EXPECT_EQ(Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

// Lengths around 56 and 64 move the padding into an extra block or not. The
// expected values come from md5sum on the same bytes.
TEST(MD5Test, BlockAndPaddingBoundaries) {
  EXPECT_EQ(Hex(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
  EXPECT_EQ(Hex(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
  EXPECT_EQ(Hex(std::string(63, 'a')), "B06521F39153D618550606BE297466D5");
  EXPECT_EQ(Hex(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
  EXPECT_EQ(Hex(std::string(65, 'a')), "C743A45E0D2E6A95CB859ADAE0248435");
}

TEST(MD5Test, BytesAboveSevenBitsAndZerosAreDigested) {
  EXPECT_EQ(Hex(std::string("\0", 1)), "93B885ADFE0DA089CDF634904FD59F71");
  EXPECT_EQ(Hex("\xff\xfe\x80"), "45A6EEDA47EB0845D0095F2F0576E2F7");
}

TEST(MD5Test, OneObjectGivesTheSameDigestsAsFreshOnes) {
  TrkMD5 md5;
  std::string first = md5.DigestHex("abc");
  std::string second = md5.DigestHex(std::string(65, 'a'));
  EXPECT_EQ(first, Hex("abc"));
  EXPECT_EQ(second, Hex(std::string(65, 'a')));
  EXPECT_EQ(md5.DigestHex("abc"), first);
}

TEST(MD5Test, PiecewiseUpdatesEqualOneWholeUpdate) {
  const std::string data = Pattern(1000);
  const std::string whole = Hex(data);
  for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 127u, 999u}) {
    TrkMD5 md5;
    md5.Init();
    for (size_t at = 0; at < data.size(); at += piece) {
      md5.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    md5.Final();
    EXPECT_EQ(md5.DigestText(), whole) << "pieces of " << piece << " bytes";
  }
}

TEST(MD5Test, FinalLeavesNoWorkingStateBehind) {
  TrkMD5 md5;
  md5.Init();
  md5.Update("abc", 3);
  md5.Final();
  // After Final the state is zeros, not the initial values: a further Final
  // without Init must not reproduce the empty message's digest.
  EXPECT_EQ(md5.DigestText(), "900150983CD24FB0D6963F7D28E17F72");
  md5.Final();
  EXPECT_NE(md5.DigestText(), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(MD5Test, FileDigestEqualsBufferDigest) {
  testing_support::TempDir dir;
  for (size_t size : {0u, 1u, 64u, (1u << 20) - 1, 1u << 20, (1u << 20) + 65, 3u << 20}) {
    std::string data = Pattern(size);
    std::string path = dir.Write("data.bin", data);
    EXPECT_EQ(TrkMD5().DigestFileHex(path), Hex(data)) << size << " bytes";
  }
}

TEST(MD5Test, FileDigestOfMissingFileThrows) {
  testing_support::TempDir dir;
  try {
    TrkMD5().DigestFileHex(dir.dir() + "missing.bin");
    FAIL() << "a missing file must raise an error";
  } catch (const TrkError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Cannot open file \"" + dir.dir() + "missing.bin\". ", 0), 0u)
        << error.what();
  }
}

}  // namespace
