#pragma once

#include <chrono>
#include <memory>

#include "transfer/transfer_session.h"

// An FTP session over libcurl (TrkCurlFtpSession). Like the SFTP session it
// drives libcurl through TrkCurlRequest, whose header and libcurl's loader
// (curl_library.cc) are the only files that include curl.h. Active data
// connections (the data ports of TrkDataPorts) or passive ones as the settings
// say; in auto mode a transfer whose active data connection fails (the PORT
// refused, a 425 or 426 before any byte went, or no connection back within
// kAutoAcceptWait) is made again at once in passive mode, and the profile
// learns it. Binary transfers, explicit TLS when Secure (from the first byte
// when ImplicitTls too). Each store asks SIZE in the same request, so the
// answer comes over the same connection and in binary type. Null when libcurl
// cannot make a handle.
std::unique_ptr<TrkTransferSession> TrkNewCurlFtpSession(const TrkSessionSettings& settings);

// In auto mode, how long an active transfer waits for the server to connect
// back (at most the reply time-out): a server that can reach the program does
// so at once.
inline constexpr std::chrono::milliseconds kAutoAcceptWait{5000};

// Whether the libcurl in use can protect an active data connection with TLS;
// where it cannot, Secure data connections are passive whatever Passive says.
bool TrkCurlActiveTlsWorks();
