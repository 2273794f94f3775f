#include "transfer/queue_probe.h"

#include <algorithm>
#include <utility>

#include "transfer/ftp_control.h"
#include "transfer/ftp_data_link.h"
#include "transfer/server_profile.h"

using Commands = TrkServerProfile::Commands;

TrkQueueProbe::TrkQueueProbe(std::shared_ptr<TrkServerProfile> profile, std::chrono::milliseconds reply_timeout)
    : profile_(std::move(profile)), reply_timeout_(reply_timeout) {}

std::chrono::milliseconds TrkQueueProbe::Wait() const {
  return std::min(reply_timeout_, 4 * round_trip_ + std::chrono::milliseconds(250));
}

bool TrkQueueProbe::Hear(const TrkFtpDataLink& link, bool done, TrkFtpControl& control) {
  if (link.noop() == TrkFtpDataLink::Noop::kAnsweredDuring) {
    profile_->Learn(Commands::kConcurrent);
    return true;
  }
  if (link.noop() != TrkFtpDataLink::Noop::kOwed) return true;
  const TrkFtpControl::Reply answer = control.ReadWithin(Wait());
  if (answer.code == 200) {
    if (done) profile_->Learn(Commands::kQueued);
    return true;
  }
  profile_->Learn(Commands::kConcurrent);
  return answer.code != 0;
}

void TrkQueueProbe::Disordered() { profile_->Learn(Commands::kConcurrent); }
