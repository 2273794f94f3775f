#include "transfer/curl_session.h"

#include "transfer/curl_ftp_session.h"
#include "transfer/curl_sftp_session.h"

std::unique_ptr<TrkTransferSession> TrkNewCurlSession(const TrkSessionSettings& settings) {
  return settings.Protocol == TrkProtocol::kSftp ? TrkNewCurlSftpSession(settings) : TrkNewCurlFtpSession(settings);
}
