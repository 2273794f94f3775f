#pragma once

#include <chrono>
#include <memory>

class TrkFtpControl;
class TrkFtpDataLink;
class TrkServerProfile;

// Learns from a session's stores how its FTP server takes the commands that
// come during a transfer, into the profile the run's sessions share
// (TrkServerProfile::Commands). A store to a server not known yet sends a
// NOOP with its data (TrkFtpDataLink::AskNoopDuring, waiting Wait()): a
// server that answers it during the transfer reads commands at once; one
// that answers only after the transfer's final reply queues them (vsftpd),
// and from then on gets a store's size check with the data.
//
// One per session, on the session's thread.
class TrkQueueProbe {
 public:
  TrkQueueProbe(std::shared_ptr<TrkServerProfile> profile, std::chrono::milliseconds reply_timeout);

  // The login's round trip, which sets Wait.
  void SetRoundTrip(std::chrono::milliseconds round_trip) { round_trip_ = round_trip; }
  // How long NOOP's answer is waited for: long enough for a server that
  // reads commands during a transfer to answer one (a round trip and its
  // time to answer, with room for a busy link), within the reply time-out.
  std::chrono::milliseconds Wait() const;
  // After a transfer's final reply (`done`: the transfer succeeded): reads
  // NOOP's answer from `control` where one is owed, and learns; a transfer
  // that failed tells nothing. False when no answer came: the order of the
  // control connection's replies is lost and the connection must go (the
  // server is taken as reading at once).
  bool Hear(const TrkFtpDataLink& link, bool done, TrkFtpControl& control);
  // The server answered commands sent with a transfer's data before the
  // transfer's final reply: it reads them at once.
  void Disordered();

 private:
  const std::shared_ptr<TrkServerProfile> profile_;
  const std::chrono::milliseconds reply_timeout_;
  std::chrono::milliseconds round_trip_{0};
};
