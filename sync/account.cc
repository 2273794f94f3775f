#include "sync/account.h"

#include "project/ascii.h"
#include "project/options.h"
#include "sync/netrc.h"
#include "sync/uploader.h"

TrkAccount TrkAccount::FromOptions(const TrkOptions& options) {
  TrkAccount account;
  const std::string server = options.Get("Server");
  TrkSessionSettings& settings = account.settings;
  settings.Protocol = IsSftp(server) ? TrkProtocol::kSftp : TrkProtocol::kFtp;
  settings.KeyFile = options.Get("KeyFile");
  const bool passive = options.GetBool("Passive", false);
  settings.Data = TrkSameTextIgnoreCase(options.Get("Passive"), "Auto") ? TrkDataConnection::kAuto
                  : passive                                             ? TrkDataConnection::kPassive
                                                                        : TrkDataConnection::kActive;
  settings.Secure = options.GetBool("Secure", false);
  settings.SecureVerify = options.GetBool("SecureVerify", true);
  account.server = WithoutScheme(server);
  account.user = options.Get("User");
  account.password = options.Get("Password");
  const std::string port = options.Get("Port");
  account.port = !port.empty() ? TrkParseInt(port, -1) : settings.Protocol == TrkProtocol::kSftp ? 22 : 21;
  if (account.port < 0 || account.port > 65535) {
    account.port_failure = TrkUploader::BadPortMessage(account.server, port);
  }
  if (!account.password.empty()) return account;
  const TrkNetrcLookup lookup = TrkReadNetrc(TrkUploader::HostPart(account.server), account.user);
  account.connect_note = lookup.warning;  // only a failed login can come from the ignored file
  if (!lookup.entry.found) return account;
  if (account.user.empty()) account.user = lookup.entry.login;
  account.password = lookup.entry.password;
  return account;
}

bool TrkAccount::IsSftp(const std::string& server) { return TrkSameTextIgnoreCase(server.substr(0, 7), "sftp://"); }

std::string TrkAccount::WithoutScheme(const std::string& server) { return IsSftp(server) ? server.substr(7) : server; }
