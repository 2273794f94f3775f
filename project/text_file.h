#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// The program's text files: lines end in CR LF when written; CR, LF or CR LF are
// accepted when read. Bytes are passed through unchanged.

// Splits `text` at CR, LF or CR LF. A final line end does not start another line.
std::vector<std::string> SplitLines(std::string_view text);
// Every line followed by CR LF, the last one included.
std::string JoinLines(const std::vector<std::string>& lines);

// `text` with every control character written as an escape (CR as \r, LF as
// \n, TAB as \t, any other as \xNN), so that a name holding a line break can
// never start a line of its own in a report. Other bytes pass unchanged.
std::string EscapeControlChars(std::string_view text);
// Appends EscapeControlChars(text) to `out`.
void AppendEscaped(std::string& out, std::string_view text);

// Reads the whole file; throws TrkError when it cannot be opened or read. Only
// regular files (or links to them) are read: a FIFO, device or socket is refused
// at once rather than waited on, as its open or read could block forever.
std::string ReadFileBytes(const std::string& path);

// Replaces `path` with `data` atomically: the data goes to a temporary file beside
// the target, is flushed to disk, and is then renamed over the target, so that a
// crash or a full disk never leaves a truncated file. Missing parent folders are
// created. A symbolic link is followed, and a device or FIFO is written in place,
// so that neither node is ever replaced; so is an existing file in a folder where
// no temporary file may be made (only then can a failed write leave it cut short).
// Throws TrkError when the file cannot be written (a file we may not write
// included); the previous content of `path` is then left as it was.
//
// An existing file keeps its permission bits exactly, whatever the umask. A new
// file is created with `new_file_mode` less the umask; files holding secrets pass
// 0600 so that they are never readable by others, not even for a moment.
void ReplaceFile(const std::string& path, std::string_view data, mode_t new_file_mode = 0666);
