#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// An SFTP session over libssh2 (TrkSshSftpSession), driven without blocking
// so that requests overlap where the rules allow and a wait costs no CPU:
// - a file's data goes out in a window of write requests, refilled from the
//   local file as the server acknowledges them, so a far server is kept busy;
// - the stored size is asked of the open handle, and for a file of one write
//   request that question goes out with the data, not after its answer;
// - the handle's close is sent without waiting, and its answer is read while
//   the next request is on its way (by the time of the close the server has
//   reported the whole size on the handle, which is what a store is judged
//   by, so a refused close is not told).
// The server's host key must be in the settings' known_hosts file (OpenSSH's
// format, hashed names too); any other key refuses the connection, and the
// failure names the key's SHA256 fingerprint and how to accept it. It logs in
// with the key file, the password or a running ssh-agent. Folders are made
// with mode 755, files with 644.
std::unique_ptr<TrkTransferSession> TrkNewSshSftpSession(const TrkSessionSettings& settings);
