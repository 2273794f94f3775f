#include "project/percent_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr TrkPercentEncoding kEverything = TrkPercentEncoding::Where([](unsigned char) { return true; });
constexpr TrkPercentEncoding kPercentAlone = TrkPercentEncoding::Of("");
constexpr TrkPercentEncoding kBlanks = TrkPercentEncoding::Of(" \t").With("=");

TEST(PercentEncodingTest, EscapesItsOwnBytesAndPercentAndReadsEveryByteBackRefusingOtherText) {
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  struct Row {
    const TrkPercentEncoding& encoding;
    std::string text;
    std::string encoded;
  } rows[] = {
      {kEverything, std::string("a\0\xff", 3), "%61%00%FF"},
      {kPercentAlone, "100% sure\r\n", "100%25 sure\r\n"},
      {kBlanks, "a b\tc=d%", "a%20b%09c%3Dd%25"},
      {kBlanks, "", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.encoding.Encoded(row.text), row.encoded) << row.text;
    std::string decoded = "left over";
    EXPECT_TRUE(TrkPercentEncoding::Decode(row.encoded, decoded)) << row.encoded;
    EXPECT_EQ(decoded, row.text);
  }
  for (const TrkPercentEncoding* encoding : {&kEverything, &kPercentAlone, &kBlanks}) {
    std::string decoded;
    ASSERT_TRUE(TrkPercentEncoding::Decode(encoding->Encoded(every_byte), decoded));
    EXPECT_EQ(decoded, every_byte);
  }
  // What no encoding writes is refused, lower-case digits too.
  for (const char* text : {"%", "a%4", "%4g", "%4a", "%%41", "%G0"}) {
    std::string decoded;
    EXPECT_FALSE(TrkPercentEncoding::Decode(text, decoded)) << text;
  }
}

}  // namespace
