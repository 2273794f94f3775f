#include "transfer/new_session.h"

#include "transfer/curl_ftp_session.h"
#include "transfer/pipelined_ftp_session.h"
#include "transfer/ssh_sftp_session.h"

std::unique_ptr<TrkTransferSession> TrkNewTransferSession(const TrkSessionSettings& settings) {
  if (settings.Protocol == TrkProtocol::kSftp) return TrkNewSshSftpSession(settings);
  // TLS is libcurl's; the program's own control connection speaks plain FTP.
  if (settings.Secure) return TrkNewCurlFtpSession(settings);
  return TrkNewPipelinedFtpSession(settings);
}
