#include "transfer/sftp_status.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

namespace trk_sftp {

std::string StatusText(unsigned long status) {
  switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE: return "No such file";
    case LIBSSH2_FX_PERMISSION_DENIED: return "Permission denied";
    case LIBSSH2_FX_FAILURE: return "Failure";
    case LIBSSH2_FX_BAD_MESSAGE: return "Bad message";
    case LIBSSH2_FX_OP_UNSUPPORTED: return "Operation unsupported";
    case LIBSSH2_FX_NO_SUCH_PATH: return "No such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS: return "File already exists";
    case LIBSSH2_FX_WRITE_PROTECT: return "Write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM: return "No space left on the server";
    case LIBSSH2_FX_QUOTA_EXCEEDED: return "Quota exceeded";
    case LIBSSH2_FX_DIR_NOT_EMPTY: return "Folder not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY: return "Not a folder";
    case LIBSSH2_FX_INVALID_FILENAME: return "Invalid file name";
    default: return "SFTP status " + std::to_string(status);
  }
}

bool IsMissing(unsigned long status) {
  return status == LIBSSH2_FX_NO_SUCH_FILE || status == LIBSSH2_FX_NO_SUCH_PATH;
}

}  // namespace trk_sftp
