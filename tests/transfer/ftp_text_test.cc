#include "transfer/ftp_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FtpTextTest, UrlsBracketAnIpv6HostAndEncodePathsAsLibcurlReadsThem) {
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
      // FTP: libcurl drops the first "/", so an absolute path's own is %2F.
      {trk_ftp::UrlPath("/www/a b/100%.txt"), "/%2Fwww/a%20b/100%25.txt"},
      {trk_ftp::UrlPath("rel/~x_y-z.txt"), "/rel/~x_y-z.txt"},
      {trk_ftp::UrlPath("//x"), "/%2F/x"},
      {trk_ftp::UrlPath("\xC3\xA9?#"), "/%C3%A9%3F%23"},
      {trk_ftp::UrlPath(""), "/"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

}  // namespace
