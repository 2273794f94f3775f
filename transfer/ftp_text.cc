#include "transfer/ftp_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

namespace {


}  // namespace

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

// The inner lines, which start with a blank, between "211-" and "211 " (a
// greeting's inner lines may start so too).
std::vector<std::string> FeatureLines(const std::vector<std::string>& lines) {
  std::vector<std::string> features;
  bool in_feat = false;
  for (const std::string& line : lines) {
    if (line.rfind("211", 0) == 0) in_feat = line.size() > 3 && line[3] == '-';
    const size_t start = line.find_first_not_of(' ');
    if (in_feat && !line.empty() && line[0] == ' ' && start != std::string::npos) features.push_back(line.substr(start));
  }
  return features;
}

bool Offers(const std::vector<std::string>& features, const std::string& wanted) {
  return std::any_of(features.begin(), features.end(), [&wanted](std::string feature) {
    std::transform(feature.begin(), feature.end(), feature.begin(), [](unsigned char c) { return std::toupper(c); });
    return feature == wanted || feature.rfind(wanted + " ", 0) == 0;
  });
}

std::string QuotedPath(const std::string& reply) {
  if (ReplyCode(reply) != 257) return "";
  size_t at = reply.find('"');
  std::string path;
  while (at != std::string::npos && ++at < reply.size()) {
    if (reply[at] != '"') {
      path += reply[at];
    } else if (at + 1 < reply.size() && reply[at + 1] == '"') {
      path += '"';
      ++at;
    } else {
      return path;
    }
  }
  return "";  // no closing quote
}

int PassivePort(const std::string& reply) {
  const size_t open = reply.find('(');
  const size_t close = reply.find(')', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return 0;
  const std::string inside = reply.substr(open + 1, close - open - 1);
  long port = 0;
  if (ReplyCode(reply) == 229) {
    // "|||PORT|", any delimiter repeated so
    if (inside.size() < 5 || inside.find_first_not_of(inside[0]) != 3 || inside.back() != inside[0]) return 0;
    const std::string digits = inside.substr(3, inside.size() - 4);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    port = std::strtol(digits.c_str(), nullptr, 10);
  } else if (ReplyCode(reply) == 227) {
    long fields[6];
    char end = 0;
    if (std::sscanf(inside.c_str(), "%ld,%ld,%ld,%ld,%ld,%ld%c", &fields[0], &fields[1], &fields[2], &fields[3],
                    &fields[4], &fields[5], &end) != 6) {
      return 0;
    }
    for (long field : fields) {
      if (field < 0 || field > 255) return 0;
    }
    port = fields[4] * 256 + fields[5];
  }
  return port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
}

TrkTransferSession::Stored SizeOf(const std::string& reply, TrkTransferSession::Stored stored) {
  using Size = TrkTransferSession::SizeAnswer;
  if (reply.empty()) return stored;  // kNone
  const long code = ReplyCode(reply);
  if (code == 500 || code == 502) {
    stored.size = Size::kUnknown;
  } else if (code != 213) {
    stored.size = Size::kMissing;
  } else {
    stored.size = Size::kHeld;
    // "213" alone tells no size; held stays empty and matches none.
    if (reply.size() > 4) stored.held = reply.substr(4, reply.find_first_not_of("0123456789", 4) - 4);
  }
  return stored;
}

}  // namespace trk_ftp
