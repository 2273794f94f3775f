#include <gtest/gtest.h>

#include <string>

#include "transfer/listing_parser.h"

namespace {

using trk_listing::Line;
using Kind = Line::Kind;

TEST(ListingParserTest, LinesOfMlsdUnixAndDosListingsGiveRegularFilesAndTheirSizes) {
  struct Case {
    bool mlsd;
    std::string line;
    Kind kind;
    std::string name;
    int64_t size;
  } cases[] = {
      {true, "type=file;size=1234;modify=20250101120000;perm=r; a b.txt", Kind::kFile, "a b.txt", 1234},
      {true, "Size=0;Type=File;Unique=8a; empty", Kind::kFile, "empty", 0},
      {true, "type=file;modify=20250101120000; unsized", Kind::kFile, "unsized", -1},
      {true, "type=dir;size=4096; sub", Kind::kOther, "", -1},
      {true, "type=cdir; .", Kind::kOther, "", -1},
      {true, "type=OS.unix=symlink;size=7; link", Kind::kOther, "", -1},
      {true, "no facts here", Kind::kJunk, "", -1},
      {false, "-rw-r--r--    1 1000     1000         5120 Jan 01 12:00 two  blanks.bin", Kind::kFile, "two  blanks.bin",
       5120},
      {false, "-rw-r--r--+ 1 owner 77 Dec 31  2024 nogroup", Kind::kFile, "nogroup", 77},
      {false, "drwxr-xr-x    2 0        0            4096 Feb  3 09:15 folder", Kind::kOther, "", -1},
      {false, "lrwxrwxrwx    1 0        0               7 Feb  3 09:15 link -> target", Kind::kOther, "", -1},
      {false, "-rw-r--r--    1 0        0               7 Feb  3 09:15 .", Kind::kOther, "", -1},
      {false, "total 12", Kind::kOther, "", -1},
      {false, "12-31-25  10:00PM                 1234 iis name.txt", Kind::kFile, "iis name.txt", 1234},
      {false, "01-02-2025  09:15AM       <DIR>          Old Stuff", Kind::kOther, "", -1},
      {false, "-rw-r--r-- 1 u g 12 Jan 1 10:00", Kind::kJunk, "", -1},
      {false, "226 Transfer complete.", Kind::kJunk, "", -1},
      {false, "12-31-25  10:00  1234 no-meridiem", Kind::kJunk, "", -1},
  };
  for (const Case& c : cases) {
    const Line line = c.mlsd ? trk_listing::ParseMlsdLine(c.line) : trk_listing::ParseListLine(c.line);
    EXPECT_EQ(line.kind, c.kind) << c.line;
    EXPECT_EQ(line.name, c.name) << c.line;
    EXPECT_EQ(line.size, c.size) << c.line;
  }
  // A whole listing: known lines among junk ones are read; junk alone is no listing.
  const auto sizes = trk_listing::FileSizes("total 3\r\n-rw-r--r-- 1 u g 3 Jan 1 10:00 a\r\nwhat?\r\n", false);
  ASSERT_TRUE(sizes.has_value());
  EXPECT_EQ(sizes->size(), 1u);
  EXPECT_EQ(sizes->at("a"), 3);
  EXPECT_FALSE(trk_listing::FileSizes("what?\nnothing known\n", true).has_value());
  EXPECT_TRUE(trk_listing::FileSizes("", false).has_value()) << "an empty folder lists nothing";
}

}  // namespace
