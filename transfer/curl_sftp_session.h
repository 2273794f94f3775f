#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// An SFTP session over libcurl and libssh2 (TrkCurlSftpSession). The server's
// host key must be in the settings' known_hosts file (OpenSSH's format, hashed
// names too); any other key refuses the connection, and the failure names the
// key's SHA256 fingerprint and how to accept it. It logs in with the key file,
// a running ssh-agent or the password. A store is followed by a request for
// the stored file's size on the same connection; folders are made with mkdir,
// files renamed with rename and removed with rm. Null when libcurl cannot
// make a handle.
std::unique_ptr<TrkTransferSession> TrkNewCurlSftpSession(const TrkSessionSettings& settings);
