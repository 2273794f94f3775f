#include "transfer/ssh_connection.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "transfer/tcp_socket.h"

namespace {

using Clock = TrkSshConnection::Clock;

// libssh2_init is not safe to call from two threads at once, and a session
// made before it would make it so.
void InitLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { libssh2_init(0); });
}

// The OpenSSH fingerprint of a host key: "SHA256:" and the digest in base64
// without its padding.
std::string Fingerprint(const char* sha256) {
  if (sha256 == nullptr) return "SHA256:?";
  std::string text(4 * ((32 + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(sha256), 32);
  text.resize(static_cast<size_t>(std::max(written, 0)));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

const char* KeyTypeName(int type) {
  switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return "ssh-rsa";
    case LIBSSH2_HOSTKEY_TYPE_DSS: return "ssh-dss";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return "ecdsa-sha2";
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return "ssh-ed25519";
    default: return "host key";
  }
}

int KnownHostKeyMask(int type) {
  switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA: return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS: return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256: return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384: return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521: return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519: return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default: return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
  }
}

// The host key algorithm a known_hosts entry of `mask` is checked with.
const char* AlgorithmOf(int mask) {
  switch (mask & LIBSSH2_KNOWNHOST_KEY_MASK) {
    case LIBSSH2_KNOWNHOST_KEY_ED25519: return "ssh-ed25519";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_256: return "ecdsa-sha2-nistp256";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_384: return "ecdsa-sha2-nistp384";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_521: return "ecdsa-sha2-nistp521";
    case LIBSSH2_KNOWNHOST_KEY_SSHRSA: return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
    default: return nullptr;
  }
}

// OpenSSH's own order, so that the key its client put in known_hosts is the
// one asked for; libssh2 drops the names it does not know.
constexpr char kHostKeyOrder[] =
    "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256,ssh-rsa";

struct KnownHosts {
  explicit KnownHosts(LIBSSH2_SESSION* session, const std::string& file) : hosts(libssh2_knownhost_init(session)) {
    if (hosts != nullptr) libssh2_knownhost_readfile(hosts, file.c_str(), LIBSSH2_KNOWNHOST_FILE_OPENSSH);
  }
  ~KnownHosts() {
    if (hosts != nullptr) libssh2_knownhost_free(hosts);
  }
  LIBSSH2_KNOWNHOSTS* const hosts;
};

bool Lists(const char* methods, const char* method) {
  if (methods == nullptr) return false;
  const std::string list = std::string(",") + methods + ",";
  return list.find(std::string(",") + method + ",") != std::string::npos;
}

}  // namespace

TrkSshConnection::TrkSshConnection(const TrkSessionSettings& settings, std::string key_file, std::string known_hosts)
    : settings_(settings), key_file_(std::move(key_file)), known_hosts_(std::move(known_hosts)) {}

TrkSshConnection::~TrkSshConnection() {
  if (session_ != nullptr) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    if (socket_ >= 0) Drive([&] { return libssh2_session_disconnect(session_, "done"); }, deadline);
    libssh2_session_free(session_);
  }
  if (socket_ >= 0) sockets_.Close(socket_);
}

bool TrkSshConnection::Open(const std::string& host, int port, const std::string& user, const std::string& password) {
  busy_ = false;
  waited_out_ = false;
  const auto deadline = Clock::now() + settings_.ConnectTimeout;
  return Connect(host, port, deadline) && Handshake(host, port, deadline) && CheckHostKey(host, port) &&
         LogIn(user, password, deadline);
}

bool TrkSshConnection::Connect(const std::string& host, int port, Clock::time_point deadline) {
  socket_ = trk_tcp::Connect(host, port, deadline, sockets_, settings_.Stop, failure_);
  return socket_ >= 0;
}

bool TrkSshConnection::Handshake(const std::string& host, int port, Clock::time_point deadline) {
  InitLibraryOnce();
  session_ = libssh2_session_init_ex(Memory::Allocate, Memory::Release, Memory::Reallocate, &memory_);
  if (session_ == nullptr) {
    Fail("libssh2 could not make a session");
    return false;
  }
  libssh2_session_set_blocking(session_, 0);
  PreferKnownKeyType(host, port);
  const int result = Drive([&] { return libssh2_session_handshake(session_, socket_); }, deadline);
  if (result == 0) return true;
  FailWithLibraryError();
  // sshd beyond its MaxStartups closes before its banner.
  busy_ = !waited_out_ && (result == LIBSSH2_ERROR_BANNER_RECV || result == LIBSSH2_ERROR_SOCKET_DISCONNECT ||
                           result == LIBSSH2_ERROR_SOCKET_RECV);
  return false;
}

// The server offers several host keys and libssh2 would pick by its own
// order: ask first for the type known_hosts holds for the server, as
// OpenSSH's client does, so that a file with one key of the server works.
void TrkSshConnection::PreferKnownKeyType(const std::string& host, int port) {
  const char* algorithm = nullptr;
  {
    KnownHosts known(session_, known_hosts_);
    const std::string name = HostName(host, port);
    libssh2_knownhost* entry = nullptr;
    while (known.hosts != nullptr && algorithm == nullptr &&
           libssh2_knownhost_get(known.hosts, &entry, entry) == 0) {
      if (entry->name != nullptr && name == entry->name) algorithm = AlgorithmOf(entry->typemask);
    }
  }
  const std::string wanted = algorithm != nullptr ? std::string(algorithm) + "," + kHostKeyOrder : kHostKeyOrder;
  const std::string order = SupportedOf(wanted);
  if (!order.empty()) libssh2_session_method_pref(session_, LIBSSH2_METHOD_HOSTKEY, order.c_str());
}

// The names of `wanted` ("a,b,c") that this libssh2 knows, each once: given
// a name it does not know, libssh2 1.10 removes it with overlapping memcpy.
std::string TrkSshConnection::SupportedOf(const std::string& wanted) const {
  const char** known = nullptr;
  const int count = libssh2_session_supported_algs(session_, LIBSSH2_METHOD_HOSTKEY, &known);
  if (count <= 0) return "";
  std::set<std::string> supported(known, known + count);
  libssh2_free(session_, known);
  std::string order;
  std::set<std::string> taken;
  for (size_t at = 0; at <= wanted.size();) {
    const size_t comma = std::min(wanted.find(',', at), wanted.size());
    const std::string name = wanted.substr(at, comma - at);
    if (supported.count(name) != 0 && taken.insert(name).second) order += (order.empty() ? "" : ",") + name;
    at = comma + 1;
  }
  return order;
}

std::string TrkSshConnection::HostName(const std::string& host, int port) const {
  return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

// Only a host key that known_hosts names for the server is trusted; any other
// refuses the connection with what the user needs to decide.
bool TrkSshConnection::CheckHostKey(const std::string& host, int port) {
  size_t length = 0;
  int type = 0;
  const char* key = libssh2_session_hostkey(session_, &length, &type);
  int match = LIBSSH2_KNOWNHOST_CHECK_FAILURE;
  if (key != nullptr) {
    KnownHosts known(session_, known_hosts_);
    if (known.hosts != nullptr) {
      match = libssh2_knownhost_checkp(known.hosts, host.c_str(), port, key, length,
                                       LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW |
                                           KnownHostKeyMask(type),
                                       nullptr);
    }
  }
  if (match == LIBSSH2_KNOWNHOST_CHECK_MATCH) return true;
  const std::string name = HostName(host, port);
  const std::string found = std::string(KeyTypeName(type)) + " " +
                            Fingerprint(libssh2_hostkey_hash(session_, LIBSSH2_HOSTKEY_HASH_SHA256));
  if (match == LIBSSH2_KNOWNHOST_CHECK_MISMATCH) {
    Fail("the host key of " + name + " (" + found + ") is not the one " + known_hosts_ +
         " holds for it: the server may be an impostor; if its key was changed on purpose, remove the old one "
         "with: ssh-keygen -R '" + name + "' -f " + known_hosts_ + " and add the new one");
    return false;
  }
  const std::string scan = port == 22 ? "ssh-keyscan " + host : "ssh-keyscan -p " + std::to_string(port) + " " + host;
  Fail("the host key of " + name + " (" + found + ") is not in " + known_hosts_ +
       "; if it is the server's, accept it with: " + scan + " >> " + known_hosts_);
  return false;
}

// The key file, the agent's keys, then the password: keys first, as
// OpenSSH's client tries them.
bool TrkSshConnection::LogIn(const std::string& user, const std::string& password, Clock::time_point deadline) {
  const auto user_length = static_cast<unsigned int>(user.size());
  const char* methods =
      DrivePointer([&] { return libssh2_userauth_list(session_, user.c_str(), user_length); }, deadline);
  if (methods == nullptr) {
    if (libssh2_userauth_authenticated(session_)) return true;  // the server asked for nothing
    FailWithLibraryError();
    return false;
  }
  if (Lists(methods, "publickey") && !key_file_.empty()) {
    const std::string public_key = key_file_ + ".pub";
    const char* public_file = access(public_key.c_str(), R_OK) == 0 ? public_key.c_str() : nullptr;
    if (Drive([&] { return libssh2_userauth_publickey_fromfile_ex(session_, user.c_str(), user_length, public_file,
                                                                    key_file_.c_str(), ""); },
              deadline) == 0) {
      return true;
    }
    if (waited_out_) return false;
  }
  if (Lists(methods, "publickey") && std::getenv("SSH_AUTH_SOCK") != nullptr && LogInWithAgent(user, deadline)) {
    return true;
  }
  if (Lists(methods, "password") && !password.empty() && !waited_out_) {
    if (Drive([&] { return libssh2_userauth_password_ex(session_, user.c_str(), user_length, password.c_str(),
                                                          static_cast<unsigned int>(password.size()), nullptr); },
              deadline) == 0) {
      return true;
    }
  }
  if (!waited_out_) Fail("the server refused the login of " + user + " (it takes: " + methods + ")");
  return false;
}

bool TrkSshConnection::LogInWithAgent(const std::string& user, Clock::time_point deadline) {
  LIBSSH2_AGENT* agent = libssh2_agent_init(session_);
  if (agent == nullptr) return false;
  bool in = false;
  if (libssh2_agent_connect(agent) == 0 && libssh2_agent_list_identities(agent) == 0) {
    libssh2_agent_publickey* identity = nullptr;
    while (!in && !waited_out_ && libssh2_agent_get_identity(agent, &identity, identity) == 0) {
      in = Drive([&] { return libssh2_agent_userauth(agent, user.c_str(), identity); }, deadline) == 0;
    }
    libssh2_agent_disconnect(agent);
  }
  libssh2_agent_free(agent);
  return in;
}

TrkSshConnection::Memory::~Memory() {
  for (void* block : live_) std::free(block);
}

void* TrkSshConnection::Memory::Allocate(size_t count, void** self) {
  void* block = std::malloc(count);
  if (block != nullptr) static_cast<Memory*>(*self)->live_.insert(block);
  return block;
}

void* TrkSshConnection::Memory::Reallocate(void* block, size_t count, void** self) {
  if (count == 0) {
    Release(block, self);
    return nullptr;
  }
  auto& live = static_cast<Memory*>(*self)->live_;
  void* moved = std::realloc(block, count);
  if (moved == nullptr) return nullptr;  // the old block stays, and stays known
  live.erase(block);
  live.insert(moved);
  return moved;
}

void TrkSshConnection::Memory::Release(void* block, void** self) {
  if (block == nullptr) return;
  static_cast<Memory*>(*self)->live_.erase(block);
  std::free(block);
}

bool TrkSshConnection::Wait(Clock::time_point deadline) {
  const int directions = libssh2_session_block_directions(session_);
  short events = 0;
  if (directions & LIBSSH2_SESSION_BLOCK_INBOUND) events |= POLLIN;
  if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND) events |= POLLOUT;
  if (trk_tcp::WaitFor(socket_, events != 0 ? events : short{POLLIN}, deadline, settings_.Stop)) return true;
  waited_out_ = true;
  Fail(settings_.Stop.stop_requested() ? "stopped" : "the server did not answer in time");
  return false;
}

void TrkSshConnection::FailWithLibraryError() {
  if (waited_out_) return;
  char* message = nullptr;
  libssh2_session_last_error(session_, &message, nullptr, 0);
  Fail(message != nullptr && *message != '\0' ? message : "the SSH connection failed");
}
