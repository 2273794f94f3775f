#include "sync/netrc.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "project/ascii.h"
#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// Splits a .netrc text into tokens; a "macdef" body (up to an empty line) is
// dropped, so a macro's words never read as entries.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : text_(text) {}

  bool Next(std::string& token) {
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    if (at_ >= text_.size()) return false;
    token.clear();
    if (text_[at_] == '"') return Quoted(token);
    while (at_ < text_.size() && !IsBlank(text_[at_])) token += text_[at_++];
    return true;
  }
  void SkipMacro() {
    const size_t end = text_.find("\n\n", at_);
    const size_t end_crlf = text_.find("\r\n\r\n", at_);
    at_ = std::min(end == std::string_view::npos ? text_.size() : end,
                   end_crlf == std::string_view::npos ? text_.size() : end_crlf);
  }

 private:
  bool Quoted(std::string& token) {
    for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) ++at_;
      token += text_[at_];
    }
    ++at_;  // the closing quote
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
};

struct Entry {
  std::string machine;  // empty for "default"
  bool is_default = false;
  std::string login, password;
};

std::vector<Entry> Entries(std::string_view text) {
  std::vector<Entry> entries;
  Tokens tokens(text);
  std::string token, value;
  while (tokens.Next(token)) {
    if (token == "machine" || token == "default") {
      entries.push_back({});
      entries.back().is_default = token == "default";
      if (token == "machine" && tokens.Next(value)) entries.back().machine = value;
    } else if (token == "macdef") {
      tokens.Next(value);  // its name
      tokens.SkipMacro();
    } else if ((token == "login" || token == "password" || token == "account") && tokens.Next(value)) {
      if (entries.empty()) continue;  // before any entry: belongs to none
      if (token == "login") entries.back().login = value;
      if (token == "password") entries.back().password = value;
    }
  }
  return entries;
}

bool Fits(const Entry& entry, std::string_view user) { return user.empty() || entry.login.empty() || entry.login == user; }

}  // namespace

TrkNetrcEntry TrkParseNetrc(std::string_view text, std::string_view host, std::string_view user) {
  const std::vector<Entry> entries = Entries(text);
  for (bool want_default : {false, true}) {
    for (const Entry& entry : entries) {
      if (entry.is_default != want_default || !Fits(entry, user)) continue;
      if (!want_default && !TrkSameTextIgnoreCase(entry.machine, host)) continue;
      return {entry.login, entry.password, true};
    }
  }
  return {};
}

TrkNetrcLookup TrkReadNetrc(std::string_view host, std::string_view user) {
  std::string path;
  if (const char* named = std::getenv("NETRC"); named != nullptr && *named != '\0') {
    path = named;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    path = std::string(home) + "/.netrc";
  } else {
    return {};
  }
  std::string text;
  struct stat info;
  try {
    text = ReadFileBytes(path);
  } catch (const TrkError&) {
    return {};  // no .netrc is the usual case
  }
  TrkNetrcLookup lookup;
  lookup.entry = TrkParseNetrc(text, host, user);
  if (lookup.entry.found && stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
    lookup.entry = {};
    lookup.warning = "the credentials file \"" + path + "\" was ignored: others may read it (chmod 600 it)";
  }
  return lookup;
}
