#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "transfer/transfer_session.h"

// The texts of an FTP session: remote names, server addresses as URLs write
// them and the server's replies. Plain text work, kept apart
// from the sessions themselves.
namespace trk_ftp {

// Whether `text` holds a control character (CR or LF would smuggle commands
// onto the control connection).
bool HasControlChar(const std::string& text);
// Whether `path` ends in ".exe", in any letter case.
bool EndsWithExe(const std::string& path);
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
// The features a FEAT reply's lines list ("SIZE", "MLST type*;size*;", ...).
std::vector<std::string> FeatureLines(const std::vector<std::string>& lines);
// Whether `features` list `wanted` (any case), alone or with its details.
bool Offers(const std::vector<std::string>& features, const std::string& wanted);
// The folder a reply to PWD names ("257 \"/a \"\"b\"\" \" is current" names
// `/a "b"`); empty when it names none.
std::string QuotedPath(const std::string& reply);
// The port a reply to EPSV ("229 ... (|||PORT|)") or PASV ("227 ...
// (h1,h2,h3,h4,p1,p2)") opens; 0 when it names none. The address PASV
// names is not taken: a server behind a router often names its inner one.
int PassivePort(const std::string& reply);
// `stored` with what a reply to SIZE says of the stored file (no reply:
// kNone; a server without SIZE: kUnknown).
TrkTransferSession::Stored SizeOf(const std::string& reply, TrkTransferSession::Stored stored);

}  // namespace trk_ftp
