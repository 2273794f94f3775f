#pragma once

#include <memory>

#include "transfer/transfer_session.h"

// An FTP session (without TLS) on a control connection of the program's own,
// which sends together what needs no answer in between, so that a file costs
// about four round trips from one STOR to the next where libcurl's session
// waits for six:
// - a store's command and its data go out together as soon as its data
//   connection stands, with no wait for the server's 150;
// - the stored file's SIZE goes out together with the next transfer's EPSV,
//   whose port the next store or listing takes, whatever folder commands came
//   between (a port the server closed meanwhile is asked for again);
// - RNFR and RNTO go out together, and the login's FEAT, PWD, TYPE I and EPSV.
// A file is still known as stored only once the server has said its size.
//
// Data connections are active or passive as the settings say, as in
// TrkNewCurlFtpSession (auto mode falls back to passive at once, the profile
// learns it); EPSV falls back to PASV where the server has no EPSV. A
// control connection found dead before a request is logged in again, as
// libcurl's connection cache does.
std::unique_ptr<TrkTransferSession> TrkNewPipelinedFtpSession(const TrkSessionSettings& settings);
