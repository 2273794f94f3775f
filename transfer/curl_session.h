#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// The libcurl session of the settings' protocol: FTP (with TLS as the
// settings ask, see TrkNewCurlFtpSession) or SFTP (TrkNewCurlSftpSession).
// What a run's uploaders are given to reach the server through; null when
// libcurl cannot make a handle.
std::unique_ptr<TrkTransferSession> TrkNewCurlSession(const TrkSessionSettings& settings);
