#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// The session of the settings' protocol: plain FTP on a control connection of
// the program's own (TrkNewPipelinedFtpSession), FTP with TLS through libcurl
// (TrkNewCurlFtpSession) or SFTP through libssh2 (TrkNewSshSftpSession). What a run's uploaders are given to reach the
// server through; null when the library cannot make one.
std::unique_ptr<TrkTransferSession> TrkNewTransferSession(const TrkSessionSettings& settings);
