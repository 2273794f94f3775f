#include "sync/ssh_agent.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sync/ssh_wire_reader.h"

namespace {

// The agent protocol's request for the keys held, and its answer's type.
constexpr char kRequestIdentities = 11;
constexpr char kIdentitiesAnswer = 12;
// OpenSSH's agent answers at most this much; more is no agent's answer.
constexpr uint32_t kMostAnswerBytes = 256 * 1024;
// An agent that stays silent this long is taken as none: the run goes on.
constexpr int kAnswerWaitMs = 2000;

// Reads `size` bytes unless the agent stops or stays silent.
bool ReadFully(int fd, char* data, size_t size) {
  while (size > 0) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, kAnswerWaitMs) != 1) return false;
    const ssize_t got = read(fd, data, size);
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// The agent's answer to `request` over the connection `fd`, without its length.
std::optional<std::string> Ask(int fd, std::string_view request) {
  // Never a signal when the agent has gone: a failed send.
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
  char length[4];
  if (!ReadFully(fd, length, sizeof length)) return std::nullopt;
  const uint32_t size = *TrkSshWireReader(std::string_view(length, sizeof length)).Number();
  if (size == 0 || size > kMostAnswerBytes) return std::nullopt;
  std::string answer(size, '\0');
  if (!ReadFully(fd, answer.data(), size)) return std::nullopt;
  return answer;
}

// The key blobs of an identities answer: a count, then each key's blob and comment.
std::optional<std::vector<std::string>> KeysOf(std::string_view answer) {
  TrkSshWireReader reader(answer);
  const std::optional<std::string_view> type = reader.Take(1);
  if (!type || (*type)[0] != kIdentitiesAnswer) return std::nullopt;
  const uint32_t count = reader.Number().value_or(0);
  std::vector<std::string> keys;
  for (uint32_t i = 0; i < count; ++i) {
    const std::optional<std::string_view> blob = reader.Text();
    if (!blob || !reader.Text()) return std::nullopt;
    keys.emplace_back(*blob);
  }
  return keys;
}

}  // namespace

std::optional<std::vector<std::string>> TrkSshAgent::Keys() {
  const char* path = std::getenv("SSH_AUTH_SOCK");
  sockaddr_un address{};
  if (path == nullptr || *path == '\0' || std::strlen(path) >= sizeof address.sun_path) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> answer;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const char request[] = {0, 0, 0, 1, kRequestIdentities};
    answer = Ask(fd, std::string_view(request, sizeof request));
  }
  close(fd);
  return answer ? KeysOf(*answer) : std::nullopt;
}
