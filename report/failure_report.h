#pragma once

#include <string>
#include <string_view>
#include <vector>

// The failure report that ends a run with failed items: the run's distinct error
// messages, sent as the report part of an error-report link.

// Joins `items` with ",". An item holding a double quote, a comma, a blank or a
// control character is written in double quotes with its inner quotes doubled;
// other items, empty ones included, are written as they are. A list of exactly one
// empty item gives "" so that it is not mistaken for an empty list.
std::string TrkCommaText(const std::vector<std::string>& items);

// Converts text in the system's single-byte code page to UTF-8. The program's
// texts on POSIX systems are UTF-8 bytes already, so they pass through unchanged.
std::string TrkAnsiToUtf8(std::string_view text);

// "err&e=" followed by the comma text of `messages`, with every "?" written as
// "%3F" so that the report cannot open a second query inside the link, and the
// control characters of each message written as escapes (EscapeControlChars), so
// that each message stays on one line.
std::string TrkFailureReportText(const std::vector<std::string>& messages);
