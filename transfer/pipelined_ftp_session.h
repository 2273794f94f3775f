#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// An FTP session, in clear or over TLS (explicit or implicit), on a control
// connection of the program's own, which sends together what needs no answer
// in between, so that a file costs about four round trips from one STOR to
// the next where waiting for each answer costs six:
// - a store's command goes out as its data connection is being made; its
//   data waits for the server's 150 (a server may drop data that comes before
//   it took the command);
// - the stored file's SIZE goes out together with the next transfer's EPSV,
//   whose port the next store or listing takes, whatever folder commands came
//   between (a port the server closed meanwhile is asked for again); to a
//   server that queues commands during a transfer (asked once with a NOOP,
//   kept in the server profile) both go with the end of the data;
// - RNFR and RNTO go out together, and the login's FEAT, PWD, TYPE I and EPSV
//   (with PBSZ and PROT over TLS).
// A file is still known as stored only once the server has said its size.
//
// Data connections are active or passive as the settings say (auto mode
// falls back to passive at once, the profile learns it); EPSV falls back to
// PASV where the server has no EPSV. A control connection found dead before a
// request is logged in again.
std::unique_ptr<TrkTransferSession> TrkNewPipelinedFtpSession(const TrkSessionSettings& settings);
