#pragma once

#include <string>
#include <string_view>

// The texts of an FTP session: remote names, the URLs libcurl is given (the
// SFTP session's too) and the server's replies. Plain text work, kept apart
// from the sessions themselves.
namespace trk_ftp {

// Whether `text` holds a control character (CR or LF would smuggle commands
// onto the control connection).
bool HasControlChar(const std::string& text);
// Whether `path` ends in ".exe", in any letter case.
bool EndsWithExe(const std::string& path);
// The URL path that makes libcurl (asked to do no CWD of its own) send
// `remote` byte for byte.
std::string UrlPath(const std::string& remote);
// `host` as a URL writes it: an IPv6 address (one holding ":") in brackets,
// so that its colons and the port's stay apart, unless it is bracketed
// already; any other host as it stands.
std::string UrlHost(const std::string& host);
// "scheme://host:port", the host as UrlHost writes it, or empty when the host
// would not survive inside a URL.
std::string ServerUrl(std::string_view scheme, const std::string& server, int port);
// ServerUrl of "ftp" ("ftps" with `implicit_tls`); port 0 is 21.
std::string BaseUrl(const std::string& server, int port, bool implicit_tls);
// The code of a reply line "NNN text"; 0 when it has none.
long ReplyCode(const std::string& reply);

}  // namespace trk_ftp
