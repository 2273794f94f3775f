#include "sync/account.h"

#include <cctype>
#include <cstdlib>

#include "project/ascii.h"
#include "project/options.h"
#include "sync/key_file.h"
#include "sync/netrc.h"
#include "sync/uploader.h"

namespace {

// The length of the "scheme://" that `server` starts with (a letter, then
// letters, digits, "+", "-" or "."); 0 when it starts with none.
size_t SchemeLength(const std::string& server) {
  const size_t end = server.find("://");
  if (end == std::string::npos || end == 0 || !std::isalpha(static_cast<unsigned char>(server[0]))) return 0;
  for (size_t i = 1; i < end; ++i) {
    const auto c = static_cast<unsigned char>(server[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return end + 3;
}

// The option `key`, or where the project leaves it out, the environment's
// `variable`: secrets a CI job keeps out of the project file.
std::string OptionOrEnvironment(const TrkOptions& options, const char* key, const char* variable) {
  std::string value = options.Get(key);
  if (!value.empty()) return value;
  const char* from_environment = std::getenv(variable);
  return from_environment != nullptr ? from_environment : "";
}

}  // namespace

TrkAccount::Address TrkAccount::Read(const std::string& server) {
  const size_t length = SchemeLength(server);
  const std::string scheme = TrkUpperAscii(server.substr(0, length));
  Address address;
  address.server = server.substr(length);
  if (scheme == "SFTP://") {
    address.protocol = TrkProtocol::kSftp;
    address.usual_port = 22;
  } else if (scheme == "FTPS://") {
    address.implicit_tls = true;
    address.usual_port = 990;
  } else if (!scheme.empty() && scheme != "FTP://") {
    address.refusal = "Server: scheme " + server.substr(0, length) + " is not supported (ftp://, ftps://, sftp://)";
  }
  // An address copied from a browser ends in "/"; a folder after it would
  // be taken for the host's name, and whatever it was meant to do is Target's.
  const size_t slash = address.server.find('/');
  if (slash == std::string::npos) return address;
  if (slash + 1 < address.server.size() && address.refusal.empty()) {
    address.refusal = "Server: a folder (" + address.server.substr(slash) + ") belongs in Target, not in Server";
  }
  address.server.resize(slash);
  return address;
}

TrkAccount TrkAccount::FromOptions(const TrkOptions& options) {
  TrkAccount account;
  const Address address = Read(options.Get("Server"));
  TrkSessionSettings& settings = account.settings;
  settings.Protocol = address.protocol;
  settings.KeyFile = OptionOrEnvironment(options, "KeyFile", "DROPVAN_KEYFILE");
  const bool passive = options.GetBool("Passive", false);
  settings.Data = TrkSameTextIgnoreCase(options.Get("Passive"), "Auto") ? TrkDataConnection::kAuto
                  : passive                                             ? TrkDataConnection::kPassive
                                                                        : TrkDataConnection::kActive;
  settings.ImplicitTls = address.implicit_tls;
  settings.Secure = address.implicit_tls || options.GetBool("Secure", false);
  settings.SecureVerify = options.GetBool("SecureVerify", true);
  account.server = address.server;
  account.user = OptionOrEnvironment(options, "User", "DROPVAN_USER");
  account.password = OptionOrEnvironment(options, "Password", "DROPVAN_PASSWORD");
  const std::string port = options.Get("Port");
  account.port = !port.empty() ? TrkParseInt(port, -1) : address.usual_port;
  // The first that stands in the way, in the order a connection meets them.
  const std::string connect_failure = "[Error]Connect to " + TrkUploader::HostPart(account.server) + " failure";
  if (!address.refusal.empty()) {
    account.failure.emplace(connect_failure, address.refusal);
  } else if (account.port < 0 || account.port > 65535) {
    account.failure.emplace(TrkUploader::BadPortMessage(account.server, port));
  } else if (settings.Protocol == TrkProtocol::kSftp && !settings.KeyFile.empty()) {
    const std::string problem = TrkKeyFile::Problem(settings.KeyFile);
    if (!problem.empty()) account.failure.emplace(connect_failure, problem);
  }
  if (!account.password.empty()) return account;
  const TrkNetrcLookup lookup = TrkReadNetrc(TrkUploader::HostPart(account.server), account.user);
  account.connect_note = lookup.warning;  // only a failed login can come from the ignored file
  if (!lookup.entry.found) return account;
  if (account.user.empty()) account.user = lookup.entry.login;
  account.password = lookup.entry.password;
  return account;
}

void TrkAccount::SetUp(TrkUploader& uploader) const {
  uploader.Server = server;
  uploader.User = user;
  uploader.Password = password;
  uploader.Port = port;
  uploader.ConnectNote = connect_note;
  uploader.Settings = settings;
}
