#pragma once

#include <string>

// The SFTP server's status codes as the SFTP session tells them.
namespace trk_sftp {

// The words for a status code, as OpenSSH's client says them.
std::string StatusText(unsigned long status);
// Whether the status says the path (or a folder on its way) does not exist.
bool IsMissing(unsigned long status);

}  // namespace trk_sftp
