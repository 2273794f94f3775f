#pragma once

// A fake server for the upload rules: the sessions TrkUploader makes through
// its NewSession hook, each request written down and answered as a script says.
//
// The script is a list of "REQUEST=ANSWER" lines. REQUEST is a request as the
// log writes it, or its first words ("STOR", "RENAME /a.exe_"), and may end in
// "#N" to answer only the Nth request it matches; the first line that fits a
// request answers it, and a request no line fits succeeds. ANSWER is one of:
//   ok            success
//   cut TEXT      the connection failed; TEXT is what the library said
//   held N        (STOR, SIZE) the bytes went out, and SIZE says N
//   unknown       (STOR, SIZE) the server has no SIZE
//   missing       (STOR, SIZE, LIST) the server cannot find the file or folder
//   unanswered    (STOR) the bytes went out, then the connection failed at SIZE
//   broke N       (STOR, APPE) the connection failed once N bytes had gone out
//   anything else the server's refusal ("550 Permission denied."); a login
//                 refused with 421 is turned away for want of room, one
//                 refused with 530 is refused at its password.
// Unscripted, every request succeeds: a store sends every byte of the local
// file and SIZE then tells them all, a SIZE asked alone finds an empty file,
// and a listing leaves every file to SIZE.
// The log, one line a request in order, "; " between them:
//   OPEN (a session is made)   LOGIN user:password@server:port   CWD dir
//   MKD dir   STOR remote   APPE remote from N   RENAME from to   DELE path
//   RMD dir   LIST dir   SIZE path
// Questions the session answers from what it already knows (LastFailure,
// EntryPath, ...) are not requests and go unrecorded, and so does the local
// file a store reads, which is the test's. The login folder is "/".
//
// Used by one thread at a time, as the sessions it fakes are.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "project/whole_file.h"
#include "digest/md5.h"
#include "transfer/transfer_session.h"

namespace testing_support {

// The script and the log that the sessions of one test share.
class SessionScript {
 public:
  explicit SessionScript(const std::vector<std::string>& script) {
    for (const std::string& line : script) {
      const size_t equals = line.find('=');
      std::string request = line.substr(0, equals);
      const size_t hash = request.rfind('#');
      const bool counted = hash != std::string::npos && hash + 1 < request.size() &&
                           request.find_first_not_of("0123456789", hash + 1) == std::string::npos;
      const int nth = counted ? std::stoi(request.substr(hash + 1)) : 0;
      if (counted) request.resize(hash);
      lines_.push_back({request, nth, equals == std::string::npos ? "" : line.substr(equals + 1)});
    }
  }

  // Writes `request` down; its answer, "" for success.
  std::string Ask(const std::string& request) {
    log_ += (log_.empty() ? "" : "; ") + request;
    std::optional<std::string> answer;
    for (Line& line : lines_) {
      if (request != line.request && !request.starts_with(line.request + " ")) continue;
      ++line.matched;
      if (!answer && (line.nth == 0 || line.nth == line.matched)) answer = line.answer;
    }
    return answer.value_or("ok") == "ok" ? "" : *answer;
  }

  // Every request so far, "; " between them.
  const std::string& Log() const { return log_; }

  // A session of this script, for TrkUploader::NewSession.
  std::unique_ptr<TrkTransferSession> NewSession();

 private:
  struct Line {
    std::string request;
    int nth = 0;
    std::string answer;
    int matched = 0;  // requests that fitted `request` so far
  };
  std::vector<Line> lines_;
  std::string log_;
};

class RecordingSession : public TrkTransferSession {
 public:
  explicit RecordingSession(SessionScript* script) : script_(script) { script_->Ask("OPEN"); }

  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    const std::string answer =
        script_->Ask("LOGIN " + user + ":" + password + "@" + server + ":" + std::to_string(port));
    turned_away_ = answer.starts_with("421");
    denied_ = answer.starts_with("530");
    return Succeeded(answer);
  }
  bool TurnedAway() const override { return turned_away_; }
  bool LoginDenied() const override { return denied_; }
  const std::string& EntryPath() const override { return entry_path_; }
  const std::string& LastFailure() const override { return last_failure_; }

  bool ChangeDir(const std::string& directory) override { return Succeeded(script_->Ask("CWD " + directory)); }
  bool MakeDir(const std::string& directory) override { return Succeeded(script_->Ask("MKD " + directory)); }
  bool Delete(const std::string& path) override { return Succeeded(script_->Ask("DELE " + path)); }
  bool RemoveDir(const std::string& directory) override { return Succeeded(script_->Ask("RMD " + directory)); }

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return Send(script_->Ask("STOR " + remote), local_path, 0, digest);
  }

  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return Send(script_->Ask("APPE " + remote + " from " + std::to_string(offset)), local_path, offset, nullptr);
  }

  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    const std::string answer = script_->Ask("RENAME " + from + " " + to);
    if (Succeeded(answer)) return true;
    if (answer.starts_with("cut ")) return std::nullopt;
    return false;
  }

  Listing ListFolder(const std::string& directory) override {
    const std::string answer = script_->Ask("LIST " + directory);
    Listing listing;
    if (answer == "missing") {
      listing.outcome = Listing::Outcome::kNoFolder;
    } else if (Succeeded(answer)) {
      listing.outcome = Listing::Outcome::kUnlisted;
    }
    return listing;
  }

  Held FileSize(const std::string& path) override {
    const std::string answer = script_->Ask("SIZE " + path);
    const auto [size, held] = SizeSays(answer, 0);
    if (size == SizeAnswer::kNone) Succeeded(answer);
    return {size, size == SizeAnswer::kHeld ? std::stoll(held) : -1};
  }

 private:
  // A store of the local file from `offset` on, as `answer` says it went.
  Stored Send(const std::string& answer, const std::string& local_path, int64_t offset, TrkMD5* digest) {
    if (answer.starts_with("broke ")) {
      last_failure_ = "Connection reset by peer";
      Stored broken;
      broken.sent = broken.reached = std::stoll(answer.substr(6));
      return broken;
    }
    if (!Sent(answer)) {
      Succeeded(answer);
      Stored broken;
      broken.refused = !answer.starts_with("cut ");
      return broken;
    }
    const std::string bytes = ReadFileBytes(local_path).substr(static_cast<size_t>(offset));
    if (digest != nullptr) {
      digest->Init();
      digest->Update(bytes.data(), bytes.size());
    }
    const auto [size, held] = SizeSays(answer, offset + static_cast<int64_t>(bytes.size()));
    return {.transferred = true, .sent = static_cast<int64_t>(bytes.size()), .size = size, .held = held};
  }

  // Whether a store so answered sent every byte.
  static bool Sent(const std::string& answer) {
    return answer.empty() || answer.starts_with("held ") || answer == "unknown" || answer == "missing" ||
           answer == "unanswered";
  }
  // What SIZE says of a file of `bytes` bytes when the script answers `answer`.
  static std::pair<SizeAnswer, std::string> SizeSays(const std::string& answer, int64_t bytes) {
    if (answer.empty()) return {SizeAnswer::kHeld, std::to_string(bytes)};
    if (answer.starts_with("held ")) return {SizeAnswer::kHeld, answer.substr(5)};
    if (answer == "unknown") return {SizeAnswer::kUnknown, ""};
    if (answer == "missing") return {SizeAnswer::kMissing, ""};
    return {SizeAnswer::kNone, ""};
  }
  // Whether `answer` is a success; if not, LastFailure tells why.
  bool Succeeded(const std::string& answer) {
    if (answer.empty()) return true;
    last_failure_ = answer.starts_with("cut ") ? answer.substr(4) : answer;
    return false;
  }

  SessionScript* const script_;  // not owned; the test's
  const std::string entry_path_ = "/";
  std::string last_failure_;
  bool turned_away_ = false;
  bool denied_ = false;
};

inline std::unique_ptr<TrkTransferSession> SessionScript::NewSession() {
  return std::make_unique<RecordingSession>(this);
}

}  // namespace testing_support
