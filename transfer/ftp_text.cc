#include "transfer/ftp_text.h"

#include <algorithm>
#include <cstdlib>

#include "project/percent_encoding.h"

namespace trk_ftp {

bool HasControlChar(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

bool EndsWithExe(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return tail == ".exe";
}

namespace {

// Every byte but RFC 3986's unreserved ones (letters, digits, "-._~") and "/".
constexpr TrkPercentEncoding kPathEncoding = TrkPercentEncoding::Where([](unsigned char c) {
  const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
  return !plain;
});

}  // namespace

// libcurl drops the URL path's first "/" and decodes the rest, so an absolute
// path needs its own "/" encoded as %2F.
std::string UrlPath(const std::string& remote) {
  const bool absolute = remote.starts_with('/');
  std::string out = absolute ? "/%2F" : "/";
  kPathEncoding.Append(out, std::string_view(remote).substr(absolute ? 1 : 0));
  return out;
}

std::string UrlHost(const std::string& host) {
  const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return ipv6 ? "[" + host + "]" : host;
}

std::string ServerUrl(std::string_view scheme, const std::string& server, int port) {
  if (server.empty() || HasControlChar(server) || server.find_first_of("/?#@\\ ") != std::string::npos) return "";
  return std::string(scheme) + "://" + UrlHost(server) + ":" + std::to_string(port);
}

std::string BaseUrl(const std::string& server, int port, bool implicit_tls) {
  return ServerUrl(implicit_tls ? "ftps" : "ftp", server, port == 0 ? 21 : port);
}

long ReplyCode(const std::string& reply) { return std::strtol(reply.substr(0, 3).c_str(), nullptr, 10); }

}  // namespace trk_ftp
