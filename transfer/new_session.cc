#include "transfer/new_session.h"

#include "transfer/curl_ftp_session.h"
#include "transfer/ssh_sftp_session.h"

std::unique_ptr<TrkTransferSession> TrkNewTransferSession(const TrkSessionSettings& settings) {
  return settings.Protocol == TrkProtocol::kSftp ? TrkNewSshSftpSession(settings) : TrkNewCurlFtpSession(settings);
}
