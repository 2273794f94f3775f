#include "transfer/new_session.h"

#include "transfer/pipelined_ftp_session.h"
#include "transfer/ssh_sftp_session.h"

std::unique_ptr<TrkTransferSession> TrkNewTransferSession(const TrkSessionSettings& settings) {
  if (settings.Protocol == TrkProtocol::kSftp) return TrkNewSshSftpSession(settings);
  return TrkNewPipelinedFtpSession(settings);
}
