#pragma once

#include <memory>

#include "sync/transfer_session.h"

// An FTP session over libcurl (TrkCurlFtpSession, the one place of the program
// that speaks to libcurl): active mode unless Passive (the data ports of
// TrkDataPorts), binary transfers, explicit TLS when Secure. Each store asks
// SIZE in the same request, so the answer comes over the same connection and in
// binary type. Null when libcurl cannot make a handle.
std::unique_ptr<TrkTransferSession> TrkNewCurlFtpSession(const TrkSessionSettings& settings);

// Whether the libcurl in use can protect an active data connection with TLS;
// where it cannot, Secure data connections are passive whatever Passive says.
bool TrkCurlActiveTlsWorks();
