#include "transfer/ftp_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FtpTextTest, UrlsBracketAnIpv6HostAndRefuseAHostThatWouldNotSurviveInOne) {
  struct Row {
    std::string got, want;
  } rows[] = {
      {trk_ftp::UrlHost("example.com"), "example.com"},
      {trk_ftp::UrlHost("127.0.0.1"), "127.0.0.1"},
      {trk_ftp::UrlHost("::1"), "[::1]"},
      {trk_ftp::UrlHost("[::1]"), "[::1]"},
      {trk_ftp::UrlHost("fe80::1%eth0"), "[fe80::1%eth0]"},  // a zone id as the user wrote it
      {trk_ftp::UrlHost(""), ""},
      {trk_ftp::BaseUrl("::1", 0, false), "ftp://[::1]:21"},
      {trk_ftp::BaseUrl("h", 990, true), "ftps://h:990"},
      {trk_ftp::BaseUrl("a/b", 21, false), ""},
      {trk_ftp::BaseUrl("h\r\nx", 21, false), ""},
      {trk_ftp::ServerUrl("sftp", "fe80::1%eth0", 22), "sftp://[fe80::1%eth0]:22"},
      {trk_ftp::ServerUrl("sftp", "", 22), ""},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

// What the program's own FTP session reads out of the server's replies; the
// hostile ones must read as nothing, never as a port or a folder.
TEST(FtpTextTest, RepliesYieldTheirPortFolderAndFeaturesOrNothing) {
  struct PortRow {
    const char* reply;
    int port;
  } ports[] = {
      {"229 Entering Extended Passive Mode (|||40001|)", 40001},
      {"229 ok (!!!21!)", 21},                        // any delimiter, the same four times
      {"227 Entering Passive Mode (10,0,0,7,156,65)", 40001},  // the address is not taken
      {"227 =10,0,0,7,156,65", 0},                     // no parentheses
      {"229 (|||0|)", 0},
      {"229 (|||65536|)", 0},
      {"229 (|||4000x|)", 0},
      {"229 (||1|40001|)", 0},                         // an address where EPSV has none
      {"229 (|||40001)", 0},
      {"227 (10,0,0,7,256,1)", 0},
      {"227 (10,0,0,7,156)", 0},
      {"227 (10,0,0,7,156,65,1)", 0},
      {"500 (|||40001|)", 0},                          // a refusal names no port
      {"", 0},
  };
  for (const PortRow& row : ports) EXPECT_EQ(trk_ftp::PassivePort(row.reply), row.port) << row.reply;

  struct PathRow {
    const char* reply;
    std::string path;
  } paths[] = {
      {"257 \"/home/tester\" is the current directory", "/home/tester"},
      {"257 \"/a \"\"b\"\" c\"", "/a \"b\" c"},  // a quote inside is doubled
      {"257 \"/\"", "/"},
      {"257 You are somewhere.", ""},
      {"257 \"/unterminated", ""},
      {"550 \"/x\"", ""},
  };
  for (const PathRow& row : paths) EXPECT_EQ(trk_ftp::QuotedPath(row.reply), row.path) << row.reply;

  const std::vector<std::string> feat = {"211-Features:", " MDTM", " MLST type*;size*;", " UTF8", "211 End"};
  EXPECT_EQ(trk_ftp::FeatureLines(feat), (std::vector<std::string>{"MDTM", "MLST type*;size*;", "UTF8"}));
  EXPECT_TRUE(trk_ftp::Offers(trk_ftp::FeatureLines(feat), "MLST"));
  EXPECT_FALSE(trk_ftp::Offers(trk_ftp::FeatureLines(feat), "MLS"));
  EXPECT_TRUE(trk_ftp::FeatureLines({"211 no features"}).empty());
  EXPECT_TRUE(trk_ftp::FeatureLines({"220-Welcome", " UTF8 is great", "220 Hi"}).empty());  // a greeting's lines

  // "213" alone tells no size, and must not throw.
  EXPECT_EQ(trk_ftp::SizeOf("213", {}).held, "");
  EXPECT_EQ(trk_ftp::SizeOf("213 1024", {}).held, "1024");
}

}  // namespace
