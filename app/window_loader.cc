#include "app/window_loader.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "app/program.h"
#include "ui/window_entry.h"

namespace {

// A command line that works as it stands once the placeholders are filled in.
const char kWithoutWindow[] =
    "; to run without a window, set PureConsole=True in the project, or give the options as in: dropvan "
    "\"-P:PureConsole=True,Source=/srv/site/*.*,Target=/www/,Server=ftp.example.org,User=deploy\"";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

bool ConnectsToUnixSocket(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  close(fd);
  return connected;
}

bool ConnectsToTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool connected = false;
  for (addrinfo* at = found; at != nullptr && !connected; at = at->ai_next) {
    const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    connected = connect(fd, at->ai_addr, at->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(found);
  return connected;
}

// DISPLAY is "[host]:number[.screen]"; without a host (or "unix") the server
// listens on a local socket, else on TCP port 6000 + number.
bool XDisplayAnswers(const std::string& display) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  if (host.empty() || host == "unix") {
    const std::string socket_path = "/tmp/.X11-unix/X" + number;
    return ConnectsToUnixSocket(socket_path, false) || ConnectsToUnixSocket(socket_path, true);
  }
  return ConnectsToTcp(host, 6000 + std::atoi(number.c_str()));
}

bool WaylandAnswers(const std::string& name) {
  if (!name.empty() && name[0] == '/') return ConnectsToUnixSocket(name, false);
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  return !runtime.empty() && ConnectsToUnixSocket(runtime + "/" + name, false);
}

}  // namespace

std::string TrkNoDisplayReason() {
  const std::string platform = Env("QT_QPA_PLATFORM");
  const bool desktop = platform.empty() || platform.rfind("xcb", 0) == 0 || platform.rfind("wayland", 0) == 0;
  if (!desktop) return std::string();
  const std::string wayland = Env("WAYLAND_DISPLAY");
  const std::string x = Env("DISPLAY");
  if (!wayland.empty() && WaylandAnswers(wayland)) return std::string();
  if (!x.empty() && XDisplayAnswers(x)) return std::string();
  if (x.empty() && wayland.empty()) return "no display (DISPLAY is not set)";
  return "the display \"" + (x.empty() ? wayland : x) + "\" does not answer";
}

int TrkRunWindowLibrary(const TrkWindowRun& run, const std::string& exe_name, std::ostream& err) {
  const std::string title = kTrkTitle;
  const std::string no_display = TrkNoDisplayReason();
  if (!no_display.empty()) {
    err << title << ": cannot open the window: " << no_display << kWithoutWindow << std::endl;
    return 1;
  }
  const std::filesystem::path folder = std::filesystem::path(exe_name).parent_path();
  std::string why;
  void* library = nullptr;
  for (const std::filesystem::path& path :
       {folder / kTrkWindowLibrary, folder / ".." / "lib" / "dropvan" / kTrkWindowLibrary}) {
    if (!std::filesystem::exists(path)) continue;
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) break;
    why = dlerror();
  }
  if (library == nullptr) {
    if (why.empty()) why = std::string(kTrkWindowLibrary) + " is not beside the program";
    err << title << ": cannot load the window (" << why << ")" << kWithoutWindow << std::endl;
    return 1;
  }
  // Never closed: the toolkit does not expect to be unloaded.
  auto entry = reinterpret_cast<TrkWindowEntry>(dlsym(library, kTrkWindowEntryName));
  if (entry == nullptr) {
    err << title << ": cannot load the window (" << dlerror() << ")" << kWithoutWindow << std::endl;
    return 1;
  }
  return entry(run);
}
