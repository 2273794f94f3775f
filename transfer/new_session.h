#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// The session of the settings' protocol: FTP, with TLS or without, on a
// control connection of the program's own (TrkNewPipelinedFtpSession), or SFTP
// through libssh2 (TrkNewSshSftpSession). What a run's uploaders are given to
// reach the server through.
std::unique_ptr<TrkTransferSession> TrkNewTransferSession(const TrkSessionSettings& settings);
