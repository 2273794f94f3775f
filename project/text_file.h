#pragma once

#include <string>
#include <string_view>
#include <vector>

// The program's text files: lines end in CR LF when written; CR, LF or CR LF are
// accepted when read. Bytes are passed through unchanged. Reading and writing
// them is project/whole_file.h's.

// Splits `text` at CR, LF or CR LF. A final line end does not start another line.
std::vector<std::string> SplitLines(std::string_view text);
// The same lines as views into `text`, which must outlive them: a record of a
// million lines is split without a string per line.
std::vector<std::string_view> SplitLineViews(std::string_view text);
// Every line followed by CR LF, the last one included.
std::string JoinLines(const std::vector<std::string>& lines);

// `text` with every control character written as an escape (CR as \r, LF as
// \n, TAB as \t, any other as \xNN), so that a name holding a line break can
// never start a line of its own in a report. Other bytes pass unchanged.
std::string EscapeControlChars(std::string_view text);
// Appends EscapeControlChars(text) to `out`.
void AppendEscaped(std::string& out, std::string_view text);
