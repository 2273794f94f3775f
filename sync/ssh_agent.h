#pragma once

#include <optional>
#include <string>
#include <vector>

// The running ssh-agent of the user (the socket $SSH_AUTH_SOCK names), asked
// over its own protocol which keys it holds.
//
// Threads: any; each call opens its own connection.
class TrkSshAgent {
 public:
  // The public key blobs (the bytes a ".pub" file holds in base64) of every
  // key the agent holds; nothing when no agent answers.
  static std::optional<std::vector<std::string>> Keys();
};
