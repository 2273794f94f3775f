#include "sync/ftp_text.h"

#include <algorithm>
#include <cstdlib>

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

// libcurl drops the URL path's first "/" and decodes the rest, so an absolute
// path needs its own "/" encoded as %2F, and every byte outside the unreserved
// set is percent-encoded.
std::string UrlPath(const std::string& remote) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "/";
  for (size_t i = 0; i < remote.size(); ++i) {
    auto c = static_cast<unsigned char>(remote[i]);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || (c == '/' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string BaseUrl(const std::string& server, int port, bool implicit_tls) {
  if (server.empty() || HasControlChar(server) ||
      server.find_first_of("/?#@\\ ") != std::string::npos) {
    return "";
  }
  unsigned wire_port = static_cast<unsigned>(port);
  if (wire_port == 0) wire_port = 21;
  bool ipv6 = server.find(':') != std::string::npos && server.front() != '[';
  std::string host = ipv6 ? "[" + server + "]" : server;
  return (implicit_tls ? "ftps://" : "ftp://") + host + ":" + std::to_string(wire_port);
}

long ReplyCode(const std::string& reply) { return std::strtol(reply.substr(0, 3).c_str(), nullptr, 10); }

}  // namespace trk_ftp
