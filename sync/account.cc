#include "sync/account.h"

#include "project/options.h"
#include "sync/netrc.h"
#include "sync/uploader.h"

TrkAccount TrkAccount::FromOptions(const TrkOptions& options) {
  TrkAccount account;
  account.server = options.Get("Server");
  account.user = options.Get("User");
  account.password = options.Get("Password");
  const std::string port = options.Get("Port");
  account.port = port.empty() ? 21 : TrkParseInt(port, -1);
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
