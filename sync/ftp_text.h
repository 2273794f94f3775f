#pragma once

#include <string>

// The texts of an FTP session: remote names, the URLs libcurl is given and the
// server's replies. Plain text work, kept apart from the session itself.
namespace trk_ftp {

// Whether `text` holds a control character (CR or LF would smuggle commands
// onto the control connection).
bool HasControlChar(const std::string& text);
// Whether `path` ends in ".exe", in any letter case.
bool EndsWithExe(const std::string& path);
// The URL path that makes libcurl (asked to do no CWD of its own) send
// `remote` byte for byte.
std::string UrlPath(const std::string& remote);
// "ftp://host:port" ("ftps://" with `implicit_tls`; port 0 is 21), or empty
// when the host would not survive inside a URL.
std::string BaseUrl(const std::string& server, int port, bool implicit_tls);
// The code of a reply line "NNN text"; 0 when it has none.
long ReplyCode(const std::string& reply);

}  // namespace trk_ftp
