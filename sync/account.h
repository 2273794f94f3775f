#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "project/error.h"
#include "transfer/transfer_session.h"

class TrkOptions;
class TrkUploader;

// The account a run's workers log in with, from the project's options Server,
// User, Password and Port, and how they reach the server (Passive, Secure,
// SecureVerify, KeyFile). Server's scheme chooses the protocol, as curl and
// lftp read it: none or "ftp://" is FTP, "ftps://" FTP over TLS from the first
// byte (implicit TLS), "sftp://" SFTP, in any letter case. User, Password
// and KeyFile the project leaves out come from the environment's
// DROPVAN_USER, DROPVAN_PASSWORD and DROPVAN_KEYFILE (a CI job's secrets);
// when Password is still empty, the password (and, when User is empty, the
// user) for the Server comes from the user's .netrc. A plain value, read once by each worker
// as it is built.
struct TrkAccount {
  // Protocol, data connections ("Passive": True, False or Auto, any case), TLS
  // and key; no profile (the owner shares one) and the default time-outs.
  TrkSessionSettings settings;
  std::string server;  // without its scheme
  std::string user;
  std::string password;
  int32_t port = 21;  // Port, or when absent: 21, 990 for ftps://, 22 for sftp://
  // The connect failure every upload ends in, before any connection is
  // tried, when the options cannot work: a Server of another scheme, a Port
  // that is no port number, a KeyFile that cannot log in (see TrkKeyFile).
  // Nothing when they may.
  std::optional<TrkError> failure;
  // Why a login may fail, told after a given-up connect's message: a .netrc
  // that was not used because others may read it. Empty: nothing to tell.
  std::string connect_note;

  static TrkAccount FromOptions(const TrkOptions& options);
  // Gives `uploader` this account and these settings (its profile and rate
  // cap are the run's to give).
  void SetUp(TrkUploader& uploader) const;

  // What a Server text says before any account is read: the protocol, the
  // server without its scheme, and the port used when Port is absent.
  // `refusal` says why a scheme is not supported; empty when it is.
  struct Address {
    TrkProtocol protocol = TrkProtocol::kFtp;
    bool implicit_tls = false;
    std::string server;
    int32_t usual_port = 21;
    std::string refusal;
  };
  static Address Read(const std::string& server);
};
