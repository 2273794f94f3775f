#include "sync/lock_holder.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace {

constexpr char kSeparator = '+';
constexpr char kTimeFormat[] = "%Y%m%dT%H%M%SZ";

std::string UtcText(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  std::array<char, 32> text{};
  return std::string(text.data(), std::strftime(text.data(), text.size(), kTimeFormat, &parts));
}

std::optional<std::time_t> UtcTime(const std::string& text) {
  if (text.size() != 16) return std::nullopt;
  std::tm parts{};
  const char* end = strptime(text.c_str(), kTimeFormat, &parts);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return timegm(&parts);
}

std::optional<int64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return std::stoll(text);
}

bool Allowed(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '@' || c == '.' || c == '_' || c == '-';
}

std::string Clean(const std::string& part) {
  std::string clean = part.empty() ? "unknown" : part;
  for (char& c : clean) {
    if (!Allowed(c) || c == '@') c = '_';
  }
  return clean;
}

std::string UserName() {
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : "";
}

}  // namespace

TrkLockHolder TrkLockHolder::Me() {
  std::array<char, 256> host{};
  if (gethostname(host.data(), host.size() - 1) != 0) host[0] = '\0';
  const std::time_t now = std::time(nullptr);
  return {Who(UserName(), host.data()), static_cast<int64_t>(getpid()), now, now};
}

std::string TrkLockHolder::Who(const std::string& user, const std::string& host) {
  return Clean(user) + "@" + Clean(host);
}

std::string TrkLockHolder::Name() const {
  return who + kSeparator + std::to_string(process) + kSeparator + UtcText(since) + kSeparator + UtcText(alive);
}

std::optional<TrkLockHolder> TrkLockHolder::Parse(const std::string& name) {
  std::vector<std::string> fields(1);
  for (char c : name) {
    if (c == kSeparator) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() != 4 || fields[0].empty()) return std::nullopt;
  for (char c : fields[0]) {
    if (!Allowed(c)) return std::nullopt;
  }
  const std::optional<int64_t> process = Number(fields[1]);
  const std::optional<std::time_t> since = UtcTime(fields[2]);
  const std::optional<std::time_t> alive = UtcTime(fields[3]);
  if (!process || !since || !alive) return std::nullopt;
  return TrkLockHolder{fields[0], *process, *since, *alive};
}

std::string TrkLockHolder::Since(std::time_t now) const {
  std::tm parts{};
  localtime_r(&since, &parts);
  std::array<char, 16> clock{};
  std::strftime(clock.data(), clock.size(), "%H:%M:%S", &parts);
  const std::time_t ago = std::max<std::time_t>(now - since, 0);
  const std::string how_long = ago < 60 ? std::to_string(ago) + " s" : std::to_string(ago / 60) + " min";
  return who + " since " + clock.data() + " (" + how_long + " ago)";
}
