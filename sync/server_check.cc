#include "sync/server_check.h"

#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "batch/convertor.h"
#include "project/error.h"
#include "project/options.h"
#include "project/project.h"
#include "sync/connection_ramp.h"
#include "sync/dropvan.h"
#include "sync/local_note.h"
#include "transfer/server_profile.h"
#include "sync/uploader.h"
#include "sync/removals.h"
#include "transfer/new_session.h"

namespace {

using Mode = TrkDataConnection;

std::string Joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool Offers(const std::vector<std::string>& features, const std::string& feature) {
  return std::any_of(features.begin(), features.end(),
                     [&](const std::string& line) { return line.rfind(feature, 0) == 0; });
}

// An active data connection that cannot be made is given up after this long.
constexpr std::chrono::milliseconds kActiveProbeWait = 2 * kAutoAcceptWait;
// A login turned away for want of room is tried again this often, this long.
constexpr std::chrono::milliseconds kBusyPause{100};
constexpr std::chrono::milliseconds kBusyPatience{3000};

}  // namespace

TrkServerCheck::TrkServerCheck(const TrkProject& project, Say say)
    : project_(project), say_(std::move(say)), account_(TrkAccount::FromOptions(project.Options())) {
  target_ = project.GetTarget();
  if (!target_.empty() && target_.back() != '/') target_ += '/';
  // A program's name: its store goes through the temporary name and the
  // rename into place, as a program's does in a run.
  probe_ = target_ + "dropvan-check-" + std::to_string(getpid()) + ".exe";
  // Small, and not all one byte, so a cut store shows.
  probe_file_ = std::make_unique<TrkLocalNote>("dropvan-check", "Dropvan server check\n");
}

TrkServerCheck::~TrkServerCheck() = default;

std::string TrkServerCheck::RefusedOptions() const {
  try {
    TrkRemovalOptions::ForRun(project_.Options(), target_);
  } catch (const TrkError& e) {
    return e.what();
  }
  return "";
}

bool TrkServerCheck::Run() {
  say_("destination: " + TrkDropvan::Destination(project_.Options(), target_));
  const std::optional<TrkError>& refused = account_.failure;
  std::string failure = refused ? (refused->Reason().empty() ? refused->what() : refused->Reason())
                        : target_.empty() ? "Target is empty"
                                          : RefusedOptions();
  if (failure.empty()) {
    std::unique_ptr<TrkTransferSession> first = LogIn("login");
    if (first == nullptr) {
      failure = "no login";
    } else {
      TellLogin(*first);
      CheckConnectionLimit(std::move(first));
    }
  }
  if (failure.empty()) {
    if (!CheckStores()) failure = "the probe was not stored";
    if (stored_) CheckDelete();
  }
  say_("verdict: an upload would " + std::string(failure.empty() ? "work" : "fail") + " as configured" +
       (failure.empty() ? "" : ": " + failure) + (advice_.empty() ? "" : "; use " + Joined(advice_, ", ")));
  return failure.empty();
}

std::unique_ptr<TrkTransferSession> TrkServerCheck::LogIn(const std::string& what) {
  std::unique_ptr<TrkTransferSession> session = TrkNewTransferSession(account_.settings);
  if (session == nullptr) throw TrkError("Cannot start a network session");
  if (session->Login(account_.server, account_.port, account_.user, account_.password)) return session;
  std::string why = session->LastFailure();
  if (session->TurnedAway()) why = "the server takes no more connections now (" + why + ")";
  if (!account_.connect_note.empty()) why += " (" + account_.connect_note + ")";
  say_(what + ": fails: " + why);
  return nullptr;
}

void TrkServerCheck::TellLogin(const TrkTransferSession& session) {
  const std::string& folder = session.EntryPath();
  say_("login: works, as " + account_.user + (folder.empty() ? "" : ", in \"" + folder + "\""));
  const TrkSessionSettings& settings = account_.settings;
  if (settings.Protocol == TrkProtocol::kSftp) return;
  const std::vector<std::string>& features = session.Features();
  say_("features: " + (features.empty() ? "none listed" : Joined(features, ", ")));
  if (settings.Secure) {
    say_(std::string("TLS: every connection, the certificate ") +
         (settings.SecureVerify ? "verified" : "not verified (SecureVerify=False)"));
  } else if (Offers(features, "AUTH TLS")) {
    say_("TLS: offered but not used: the password goes in clear");
    advice_.push_back("Secure=True");
  }
}

void TrkServerCheck::CheckConnectionLimit(std::unique_ptr<TrkTransferSession> first) {
  const int wanted = TrkConvertor::ThreadsCount(project_);
  std::vector<std::unique_ptr<TrkTransferSession>> open;
  open.push_back(std::move(first));
  std::string refusal;
  while (static_cast<int>(open.size()) < wanted && refusal.empty()) {
    std::unique_ptr<TrkTransferSession> session = TrkNewTransferSession(account_.settings);
    if (session == nullptr) break;
    if (session->Login(account_.server, account_.port, account_.user, account_.password)) {
      open.push_back(std::move(session));
    } else {
      refusal = session->LastFailure();
    }
  }
  const int taken = static_cast<int>(open.size());
  const bool automatic = project_.GetAutoThreads();
  // Auto stops opening connections where the pace stops rising, which only
  // a run can tell; what the check can tell is where the server stops it.
  const std::string reach =
      taken > TrkConnectionRamp::kFirst
          ? "ThreadsCount=Auto opens " + std::to_string(TrkConnectionRamp::kFirst) +
                " connections, then more while the pace rises, up to " + std::to_string(taken)
          : "ThreadsCount=Auto opens " + std::to_string(taken) + ", all the server takes";
  if (refusal.empty()) {
    say_("connections: " + std::to_string(taken) + " at once (" +
         (automatic ? reach : "ThreadsCount=" + std::to_string(wanted)) + ")");
    return;
  }
  say_("connections: " + std::to_string(taken) + " at once, then refused: " + refusal);
  if (automatic) {
    say_("connections: " + reach);
    return;
  }
  // The run shares what the server takes, but each worker beyond waits for room.
  advice_.push_back("ThreadsCount=" + std::to_string(taken));
}

bool TrkServerCheck::CheckStores() {
  const TrkSessionSettings& settings = account_.settings;
  if (settings.Protocol == TrkProtocol::kSftp) return StoreProbe(settings.Data, "probe file");
  const bool active = StoreProbe(Mode::kActive, "active data connection");
  const bool passive = StoreProbe(Mode::kPassive, "passive data connection");
  if (settings.Data == Mode::kAuto && (active || passive)) Remember(active);
  const bool works = settings.Data == Mode::kAuto      ? active || passive
                     : settings.Data == Mode::kPassive ? passive
                                                       : active;
  if (!works && passive) advice_.push_back("Passive=True");
  if (!works && active) advice_.push_back("Passive=False");
  return works;
}

void TrkServerCheck::Remember(bool active) {
  const std::string file = TrkServerProfile::FileName(project_.FileName());
  std::shared_ptr<TrkServerProfile> profile =
      TrkServerProfile::Load(file, TrkDropvan::Destination(project_.Options(), ""));
  profile->Learn(active ? TrkServerProfile::DataMode::kActive : TrkServerProfile::DataMode::kPassive);
  const std::string not_kept = file.empty() ? "options without a project file" : profile->SaveFailure();
  say_(std::string("remembered for Passive=Auto: ") + TrkServerProfile::Text(profile->Data()) +
       (not_kept.empty() ? "" : " (not kept: " + not_kept + ")"));
}

bool TrkServerCheck::StoreProbe(Mode data, const std::string& what) {
  TrkUploader uploader(TrkNewTransferSession);
  uploader.Server = account_.server;
  uploader.User = account_.user;
  uploader.Password = account_.password;
  uploader.Port = account_.port;
  uploader.Settings = account_.settings;
  uploader.Settings.Data = data;
  if (data == Mode::kActive) uploader.Settings.ReplyTimeout = std::min(uploader.Settings.ReplyTimeout, kActiveProbeWait);
  // A server whose count of connections lags may still count the last one.
  int turned_away = 0;
  uploader.OnTooManyConnections = [&turned_away] {
    std::this_thread::sleep_for(kBusyPause);
    return ++turned_away * kBusyPause < kBusyPatience;
  };
  try {
    // Stored twice: the second store renames over the first, as a run
    // replacing a program does.
    uploader.PutFile(probe_file_->path(), probe_, 0);
    uploader.PutFile(probe_file_->path(), probe_, 0);
    say_(what + ": works (store, size check, rename over \"" + probe_ + "\")");
    stored_ = true;
    return true;
  } catch (const TrkError& error) {
    say_(what + ": fails: " + error.what() + (error.Reason().empty() ? "" : ": " + error.Reason()));
    return false;
  }
}

void TrkServerCheck::CheckDelete() {
  std::unique_ptr<TrkTransferSession> session = LogIn("delete");
  if (session == nullptr) return;
  if (session->Delete(probe_)) {
    say_("delete: works");
  } else {
    // Uploads do not need it: a program's old copy that cannot be deleted stays beside it.
    say_("delete: fails: " + session->LastFailure() + " (remove \"" + probe_ + "\" by hand)");
  }
}
