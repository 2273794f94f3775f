#pragma once

#include <cstdint>
#include <string>

#include "sync/transfer_session.h"

class TrkOptions;

// The account a run's workers log in with, from the project's options Server,
// User, Password and Port, and how they reach the server (Passive, Secure,
// SecureVerify, KeyFile). A Server given as "sftp://host" selects SFTP. When
// Password is empty, the password (and, when User is empty, the user) for the
// Server comes from the user's .netrc. A plain value, read once by each worker
// as it is built.
struct TrkAccount {
  // Protocol, data connections ("Passive": True, False or Auto, any case), TLS
  // and key; no profile (the owner shares one) and the default time-outs.
  TrkSessionSettings settings;
  std::string server;  // without the "sftp://"
  std::string user;
  std::string password;
  int32_t port = 21;  // 0 is the protocol's usual port; Port absent: 21, or 22 for SFTP
  // The connect failure every upload ends in when Port is no port number;
  // empty when it is one.
  std::string port_failure;
  // Why a login may fail, told after a given-up connect's message: a .netrc
  // that was not used because others may read it. Empty: nothing to tell.
  std::string connect_note;

  static TrkAccount FromOptions(const TrkOptions& options);
  // Whether `server` names an SFTP server ("sftp://", any case), and the rest.
  static bool IsSftp(const std::string& server);
  static std::string WithoutScheme(const std::string& server);
};
