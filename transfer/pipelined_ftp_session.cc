#include "transfer/pipelined_ftp_session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

#include "transfer/ftp_control.h"
#include "transfer/ftp_data_link.h"
#include "transfer/ftp_text.h"
#include "transfer/listing_parser.h"
#include "transfer/queue_probe.h"
#include "transfer/server_profile.h"
#include "transfer/stop_sockets.h"
#include "transfer/tcp_socket.h"

namespace {

using trk_ftp::HasControlChar;
using Reply = TrkFtpControl::Reply;
using Commands = TrkServerProfile::Commands;

// Puts `in` at byte `offset`, past what fseek's long reaches on some systems.
bool SeekTo(FILE* in, int64_t offset) { return fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0; }

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// The end of one transfer: its final reply (code 0: none came) and the bytes
// that moved.
struct TransferEnd {
  bool done = false;  // every byte moved and the server took the transfer
  Reply reply;
  int64_t moved = 0;
  // Active: no data connection came of it (PORT refused, no connection back,
  // 425 or 426 before any byte); passive may work.
  bool active_failed = false;
  bool asked = false;  // the command went out: its answer is owed
  // The server answered the commands sent with the data before the
  // transfer's final reply: it is not the server the profile said.
  bool disordered = false;
  Reply size_check;  // SIZE's reply, when it went with the data
};

class TrkPipelinedFtpSession : public TrkTransferSession {
 public:
  explicit TrkPipelinedFtpSession(const TrkSessionSettings& settings)
      : settings_(settings),
        profile_(settings.Profile != nullptr ? settings.Profile : std::make_shared<TrkServerProfile>()) {}

  bool Login(const std::string& server, int port, const std::string& user, const std::string& password) override {
    server_ = server;
    port_ = port == 0 ? 21 : port;
    user_ = user;
    password_ = password;
    return LogIn();
  }

  bool TurnedAway() const override { return turned_away_; }
  bool LoginDenied() const override { return login_denied_; }
  const std::vector<std::string>& Features() const override { return features_; }
  const std::string& EntryPath() const override { return entry_path_; }
  const std::string& LastFailure() const override { return failure_; }

  bool ChangeDir(const std::string& directory) override { return Command("CWD " + directory); }
  bool MakeDir(const std::string& directory) override { return Command("MKD " + directory); }
  bool Delete(const std::string& path) override { return Command("DELE " + path); }
  bool RemoveDir(const std::string& directory) override { return Command("RMD " + directory); }

  std::optional<bool> Rename(const std::string& from, const std::string& to) override {
    // RNTO goes with RNFR: after a refused RNFR the server refuses it too.
    std::vector<Reply> replies = Replies({"RNFR " + from, "RNTO " + to});
    if (replies.empty()) return std::nullopt;
    const Reply& refusal = replies[0].code != 350 ? replies[0] : replies[1];
    if (refusal.code >= 400) failure_ = refusal.text;
    return replies[0].code == 350 && replies[1].code / 100 == 2;
  }

  Stored Store(const std::string& local_path, const std::string& remote, TrkMD5* digest) override {
    return Send(local_path, remote, 0, digest);
  }
  Stored Resume(const std::string& local_path, const std::string& remote, int64_t offset) override {
    return Send(local_path, remote, offset, nullptr);
  }

  // MLSD where the server offers it (its facts are meant for programs), else LIST.
  Listing ListFolder(const std::string& directory) override {
    if (HasControlChar(directory)) return {Listing::Outcome::kUnlisted, {}};
    const bool mlsd = trk_ftp::Offers(features_, "MLST");
    std::string body;
    const TransferEnd listed = Transfer((mlsd ? "MLSD " : "LIST ") + directory, [&body](TrkFtpDataLink& link) {
      body.clear();
      return link.Receive(body);
    });
    if (listed.done) {
      auto sizes = trk_listing::FileSizes(body, mlsd);
      if (!sizes) return {Listing::Outcome::kUnlisted, {}};
      return {Listing::Outcome::kListed, std::move(*sizes), trk_listing::Entries(body)};
    }
    if (listed.reply.code < 400) return {};  // no refusal: the connection failed
    // A folder the server neither lists nor enters is not there.
    if (listed.reply.code == 550 && !ChangeDir(directory)) return {Listing::Outcome::kNoFolder, {}};
    return {Listing::Outcome::kUnlisted, {}};
  }

  Held FileSize(const std::string& path) override {
    std::vector<Reply> replies = Replies({"SIZE " + path});
    if (replies.empty()) return {};
    const Stored answer = trk_ftp::SizeOf(replies[0].text, {});
    if (answer.size != SizeAnswer::kHeld) return {answer.size, -1};
    if (answer.held.empty() || answer.held.size() > 18) return {SizeAnswer::kUnknown, -1};
    return {SizeAnswer::kHeld, std::stoll(answer.held)};
  }

 private:
  bool LogIn();
  bool Greeted();
  bool AskedForTls();
  std::string TlsHost() const;
  bool Authenticated();
  bool Settle();
  bool Live();
  std::vector<Reply> Replies(const std::vector<std::string>& commands);
  bool Command(const std::string& command);
  Stored Send(const std::string& local_path, const std::string& remote, int64_t offset, TrkMD5* digest);
  Stored AskSize(const std::string& remote, Stored stored, Reply size);
  bool SendSizeCheck(const std::string& remote);
  Reply TakeSizeCheck();
  TransferEnd Disordered(TransferEnd result);
  using Body = std::function<bool(TrkFtpDataLink&)>;
  TransferEnd Transfer(const std::string& command, const Body& body);
  TransferEnd TransferOnce(const std::string& command, bool passive, const Body& body);
  using Ready = TrkFtpDataLink::Ready;
  Ready OpenPassive(TrkFtpDataLink& link, const std::string& command, TransferEnd& result);
  int AskPort(TransferEnd& result);
  Ready StartPassive(TrkFtpDataLink& link, const std::string& server, int port, const std::string& command,
                     TransferEnd& result);
  Ready OpenActive(TrkFtpDataLink& link, const std::string& command, TransferEnd& result);
  TransferEnd Finish(TrkFtpDataLink& link, bool moved, bool passive);
  bool PassiveData() const;
  std::chrono::milliseconds AcceptWait() const {
    // A server that can reach the program does so at once.
    if (settings_.Data == TrkDataConnection::kAuto) return std::min(settings_.ReplyTimeout, kAutoAcceptWait);
    return settings_.ReplyTimeout;
  }
  std::string PassiveCommand() const { return epsv_refused_ ? "PASV" : "EPSV"; }
  void TakePassiveReply(const Reply& reply);
  bool Fail(const std::string& why) {
    failure_ = why;
    return false;
  }

  const TrkSessionSettings settings_;
  const std::shared_ptr<TrkServerProfile> profile_;  // what auto mode learnt; shared with the run
  TrkStopSockets sockets_{settings_.Stop};
  std::unique_ptr<TrkFtpControl> control_;  // of the current login; destroyed before sockets_
  std::string server_, user_, password_;
  int port_ = 21;
  std::string entry_path_;             // of the current login
  std::vector<std::string> features_;  // of the current login
  bool turned_away_ = false;   // the last Login was turned away for want of room
  bool login_denied_ = false;  // the last Login was refused at its password
  bool epsv_refused_ = false;  // the server has no EPSV: PASV
  bool eprt_refused_ = false;  // the server has no EPRT: PORT
  // A passive port the server opened ahead of the next transfer, which takes
  // it whatever commands came between (folders, renames: none of them opens
  // a data connection); 0: none.
  int ready_port_ = 0;
  // Replies owed to a size check (and passive port) sent before the
  // transfer's final reply came, with a server that queues them.
  size_t size_check_owed_ = 0;
  TrkQueueProbe probe_{profile_, settings_.ReplyTimeout};
  std::string failure_;  // why the last failed request failed
};

bool TrkPipelinedFtpSession::LogIn() {
  control_.reset();
  control_ = std::make_unique<TrkFtpControl>(settings_, sockets_);
  entry_path_.clear();
  features_.clear();
  turned_away_ = login_denied_ = false;
  ready_port_ = 0;
  size_check_owed_ = 0;
  if (trk_ftp::BaseUrl(server_, port_, false).empty() || HasControlChar(user_) || HasControlChar(password_)) {
    return Fail("the server's name or the account holds a character FTP cannot carry");
  }
  if (!control_->Open(server_, port_)) return Fail(control_->failure());
  // Implicit TLS: from the connection's first byte, the greeting included.
  if (settings_.Secure && settings_.ImplicitTls && !control_->StartTls(TlsHost())) return Fail(control_->failure());
  return Greeted() && AskedForTls() && Authenticated() && Settle();
}

// Explicit TLS, asked for before the account goes out. A server that will not
// speak it gets nothing in clear.
bool TrkPipelinedFtpSession::AskedForTls() {
  if (!settings_.Secure || settings_.ImplicitTls) return true;
  const Reply reply = control_->Ask("AUTH TLS");
  if (reply.code != 234) return Fail(reply.code != 0 ? reply.text : control_->failure());
  return control_->StartTls(TlsHost()) || Fail(control_->failure());
}

// The name the certificate must carry: the server as given, an IPv6 address
// without its brackets.
std::string TrkPipelinedFtpSession::TlsHost() const {
  if (server_.size() > 2 && server_.front() == '[' && server_.back() == ']') return server_.substr(1, server_.size() - 2);
  return server_;
}

bool TrkPipelinedFtpSession::Greeted() {
  const Reply greeting = control_->Read();
  if (greeting.code == 220) return true;
  // A server beyond its limit says so as it greets: 421, or proftpd's 530.
  turned_away_ = greeting.code == 421 || greeting.code == 530;
  return Fail(greeting.code != 0 ? greeting.text : control_->failure());
}

bool TrkPipelinedFtpSession::Authenticated() {
  Reply reply = control_->Ask("USER " + user_);
  if (reply.code == 331) reply = control_->Ask("PASS " + password_);
  if (reply.code == 230) return true;
  turned_away_ = reply.code == 421;
  login_denied_ = reply.code == 530;
  return Fail(reply.code != 0 ? reply.text : control_->failure());
}

// What the server offers, where the login landed and binary type, in one
// round trip, with the first transfer's passive port and, over TLS, the
// protection of every data connection.
bool TrkPipelinedFtpSession::Settle() {
  std::vector<std::string> commands = {"FEAT", "PWD", "TYPE I"};
  if (settings_.Secure) commands.insert(commands.begin(), {"PBSZ 0", "PROT P"});
  if (PassiveData()) commands.push_back(PassiveCommand());
  const auto asked = std::chrono::steady_clock::now();
  if (!control_->Send(commands)) return Fail(control_->failure());
  if (settings_.Secure) {
    control_->Read();
    const Reply prot = control_->Read();
    // No data goes in clear: a server that will not protect it serves nothing.
    if (prot.code / 100 != 2) return Fail(prot.code != 0 ? prot.text : control_->failure());
  }
  const Reply feat = control_->Read();
  const Reply pwd = control_->Read();
  const Reply type = control_->Read();
  probe_.SetRoundTrip(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked));
  if (type.code / 100 != 2) return Fail(type.code != 0 ? type.text : control_->failure());
  if (PassiveData()) TakePassiveReply(control_->Read());
  features_ = trk_ftp::FeatureLines(feat.lines);
  entry_path_ = trk_ftp::QuotedPath(pwd.text);
  // A server that offers UTF8 may need to be told before it stores names
  // as the bytes sent rather than in some code page of its own.
  // Asked on this connection alone: a login must not start another.
  if (trk_ftp::Offers(features_, "UTF8")) control_->Ask("OPTS UTF8 ON");
  return !control_->broken() || Fail(control_->failure());
}

// A connection the server closed while it sat idle (or told something
// unasked, as a 421 before it hangs up) is replaced before the next request.
bool TrkPipelinedFtpSession::Live() {
  if (control_ != nullptr && !control_->broken() && !control_->Readable()) return true;
  if (server_.empty()) return Fail("not logged in");
  return LogIn();
}

// Sends `commands` together and reads a reply to each; nothing when the
// connection failed.
std::vector<Reply> TrkPipelinedFtpSession::Replies(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) {
    if (HasControlChar(command)) return Fail("a name holds a line break or other control character"), std::vector<Reply>{};
  }
  if (!Live()) return {};
  std::vector<Reply> replies;
  if (!control_->Send(commands)) return Fail(control_->failure()), replies;
  for (size_t i = 0; i < commands.size(); ++i) {
    replies.push_back(control_->Read());
    if (replies.back().code == 0) return Fail(control_->failure()), std::vector<Reply>{};
  }
  return replies;
}

bool TrkPipelinedFtpSession::Command(const std::string& command) {
  std::vector<Reply> replies = Replies({command});
  if (replies.empty()) return false;
  if (replies[0].code >= 400) failure_ = replies[0].text;
  return replies[0].code / 100 == 2;
}

TrkTransferSession::Stored TrkPipelinedFtpSession::Send(const std::string& local_path, const std::string& remote,
                                                        int64_t offset, TrkMD5* digest) {
  Stored stored;
  std::error_code error;
  const auto size = std::filesystem::file_size(local_path, error);
  if (error || offset < 0 || static_cast<uintmax_t>(offset) > size) return Fail("cannot read " + local_path), stored;
  std::unique_ptr<FILE, FileCloser> in(std::fopen(local_path.c_str(), "rb"));
  if (in == nullptr) return Fail("cannot read " + local_path), stored;
  const std::string command = (offset > 0 ? "APPE " : "STOR ") + remote;
  // A server that queues what comes during a transfer takes the size check
  // with the data, a round trip a file saved; one not known yet is asked
  // whether it does.
  const Commands during = profile_->DuringTransfers();
  const TransferEnd sent = Transfer(command, [&](TrkFtpDataLink& link) {
    if (during == Commands::kUnknown && !link.AskNoopDuring(probe_.Wait())) return false;
    if (!SeekTo(in.get(), offset) || !link.Send(in.get(), digest, settings_.Rate.get())) return false;
    return during != Commands::kQueued || SendSizeCheck(remote);
  });
  // The profile now says otherwise: the file goes again, as for any server.
  if (sent.disordered) return Send(local_path, remote, offset, digest);
  stored.sent = sent.moved;
  if (!sent.done) {
    stored.reached = sent.moved;
    stored.refused = sent.reply.code / 100 == 5;
    return stored;
  }
  stored.transferred = true;
  return AskSize(remote, stored, sent.size_check);
}

// The stored file's size, and in the same round trip the next transfer's
// passive port; asked now unless they went with the data.
TrkTransferSession::Stored TrkPipelinedFtpSession::AskSize(const std::string& remote, Stored stored,
                                                          Reply size) {
  if (size.code == 0 && !SendSizeCheck(remote)) return Fail(control_->failure()), stored;
  if (size.code == 0) size = TakeSizeCheck();
  if (size.code == 0) return Fail(control_->failure()), stored;
  return trk_ftp::SizeOf(size.text, stored);
}

bool TrkPipelinedFtpSession::SendSizeCheck(const std::string& remote) {
  std::vector<std::string> commands = {"SIZE " + remote};
  if (PassiveData()) commands.push_back(PassiveCommand());
  if (!control_->Send(commands)) return false;
  size_check_owed_ = commands.size();
  return true;
}

// SIZE's reply; the passive port's, when one was asked, is kept for the
// next transfer.
Reply TrkPipelinedFtpSession::TakeSizeCheck() {
  const Reply size = control_->Read();
  if (size.code != 0 && size_check_owed_ > 1) TakePassiveReply(control_->Read());
  size_check_owed_ = 0;
  return size;
}

// A transfer's final reply cannot come after the commands sent with its
// data on a server that queues them; one that came first answered those
// before the file was whole (or ended the transfer for them). The connection's
// replies no longer pair with its commands.
TransferEnd TrkPipelinedFtpSession::Disordered(TransferEnd result) {
  probe_.Disordered();
  control_.reset();
  Fail("the server answered the size check before the transfer's end: " + result.reply.text);
  result.done = false;
  result.disordered = true;
  return result;
}

void TrkPipelinedFtpSession::TakePassiveReply(const Reply& reply) {
  ready_port_ = trk_ftp::PassivePort(reply.text);
  // Asked once; the transfer that needs a port asks PASV itself.
  if (reply.code == 500 || reply.code == 502) epsv_refused_ = true;
}

TransferEnd TrkPipelinedFtpSession::Transfer(const std::string& command, const Body& body) {
  if (HasControlChar(command)) return Fail("a name holds a line break or other control character"), TransferEnd{};
  const bool passive = PassiveData();
  TransferEnd result = TransferOnce(command, passive, body);
  if (settings_.Data != TrkDataConnection::kAuto || passive) return result;
  if (!result.active_failed) {
    if (result.done) profile_->Learn(TrkServerProfile::DataMode::kActive);
    return result;
  }
  profile_->Learn(TrkServerProfile::DataMode::kPassive);
  return TransferOnce(command, true, body);
}

TransferEnd TrkPipelinedFtpSession::TransferOnce(const std::string& command, bool passive, const Body& body) {
  TransferEnd result;
  if (!Live()) return result;
  TrkFtpDataLink link(settings_, sockets_, *control_);
  switch (passive ? OpenPassive(link, command, result) : OpenActive(link, command, result)) {
    case Ready::kConnected: return Finish(link, body(link), passive);
    case Ready::kReplied: return Finish(link, false, passive);
    case Ready::kFailed: break;
  }
  if (!result.asked) return result;
  // The server may answer the command later still: this connection is done.
  result.active_failed = !passive && !settings_.Stop.stop_requested();
  control_.reset();
  return Fail(link.failure()), result;
}

// The data connection for `command`, to the port asked ahead when there is
// one. A server may have closed that one meanwhile and says 425 to the
// command: a port asked now is tried then.
TrkPipelinedFtpSession::Ready TrkPipelinedFtpSession::OpenPassive(TrkFtpDataLink& link, const std::string& command,
                                                                  TransferEnd& result) {
  const std::string server = trk_tcp::PeerAddress(control_->fd());
  if (const int ahead = std::exchange(ready_port_, 0); ahead != 0) {
    const Ready ready = StartPassive(link, server, ahead, command, result);
    if (ready != Ready::kReplied || link.reply()->code != 425 || link.moved() != 0) return ready;
    result.asked = false;
  }
  const int port = AskPort(result);
  return port != 0 ? StartPassive(link, server, port, command, result) : Ready::kFailed;
}

// A passive port asked now; 0 when the server gave none (failure_ says why).
int TrkPipelinedFtpSession::AskPort(TransferEnd& result) {
  Reply reply = control_->Ask(PassiveCommand());
  if (!epsv_refused_ && (reply.code == 500 || reply.code == 502)) {
    epsv_refused_ = true;
    reply = control_->Ask(PassiveCommand());
  }
  result.reply = reply;
  const int port = trk_ftp::PassivePort(reply.text);
  if (port == 0) Fail(reply.code != 0 ? reply.text : control_->failure());
  return port;
}

// The command goes out as the connection is being made: the two round trips
// overlap, and the data waits for the server's 150 either way.
TrkPipelinedFtpSession::Ready TrkPipelinedFtpSession::StartPassive(TrkFtpDataLink& link, const std::string& server,
                                                                   int port, const std::string& command,
                                                                   TransferEnd& result) {
  if (!link.Connect(server, port)) return Fail(link.failure()), Ready::kFailed;
  if (!control_->Send({command})) return Fail(control_->failure()), Ready::kFailed;
  result.asked = true;
  return link.Await(settings_.ConnectTimeout);
}

TrkPipelinedFtpSession::Ready TrkPipelinedFtpSession::OpenActive(TrkFtpDataLink& link, const std::string& command,
                                                                 TransferEnd& result) {
  const std::string address = trk_tcp::LocalAddress(control_->fd());
  if (!link.Listen(address)) return Fail(link.failure()), Ready::kFailed;
  const bool v6 = address.find(':') != std::string::npos;
  Reply reply;
  if (!eprt_refused_) {
    reply = control_->Ask("EPRT |" + std::string(v6 ? "2" : "1") + "|" + address + "|" + std::to_string(link.port()) + "|");
    eprt_refused_ = reply.code == 500 || reply.code == 502;
  }
  if (eprt_refused_ && !v6) {
    std::string numbers = address;
    std::replace(numbers.begin(), numbers.end(), '.', ',');
    reply = control_->Ask("PORT " + numbers + "," + std::to_string(link.port() / 256) + "," +
                          std::to_string(link.port() % 256));
  }
  if (reply.code / 100 != 2) {
    result.reply = reply;
    result.active_failed = reply.code != 0;
    return Fail(reply.code != 0 ? reply.text : control_->failure()), Ready::kFailed;
  }
  if (!control_->Send({command})) return Fail(control_->failure()), Ready::kFailed;
  result.asked = true;
  return link.Await(AcceptWait());
}

// The transfer's final reply, kept by the link or still to come.
TransferEnd TrkPipelinedFtpSession::Finish(TrkFtpDataLink& link, bool moved, bool passive) {
  TransferEnd result;
  result.moved = link.moved();
  if (link.reply()) {
    result.reply = *link.reply();
  } else if (moved && link.AwaitFinal()) {
    result.reply = *link.reply();
  }
  const int code = result.reply.code;
  if (size_check_owed_ > 0 && code / 100 == 2 && code != 226 && code != 250) return Disordered(result);
  result.done = moved && code / 100 == 2;
  if (code != 0 && control_ != nullptr && !probe_.Hear(link, result.done, *control_)) control_.reset();
  if (code != 0 && size_check_owed_ > 0 && control_ != nullptr) result.size_check = TakeSizeCheck();
  if (result.done) return result;
  result.active_failed = !passive && result.moved == 0 && (code == 425 || code == 426);
  if (code >= 400) {
    failure_ = result.reply.text;
  } else {
    // Cut short on this side: the server's answer is still to come, on a
    // connection whose order of replies is lost.
    Fail(!link.failure().empty() ? link.failure() : control_->failure());
    control_.reset();
  }
  return result;
}

bool TrkPipelinedFtpSession::PassiveData() const {
  if (settings_.Data == TrkDataConnection::kAuto) return profile_->Data() == TrkServerProfile::DataMode::kPassive;
  return settings_.Data == TrkDataConnection::kPassive;
}

}  // namespace

std::unique_ptr<TrkTransferSession> TrkNewPipelinedFtpSession(const TrkSessionSettings& settings) {
  return std::make_unique<TrkPipelinedFtpSession>(settings);
}
