#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct stat;

// Files read and written whole: the one place of the program that opens a file
// for it. Every call opens its own descriptor and shares nothing, so any number
// of threads may call at once. Errors are TrkError naming the file and the
// system's reason.

// The program's own text files (project, recent list, counters, .netrc). Only
// regular files (or links to them) are read: a FIFO, device or socket is refused
// at once rather than waited on, as its open or read could block forever.
// Throws "Cannot open file "%s". %s" or "Cannot read file "%s". %s".
std::string ReadFileBytes(const std::string& path);

// The user's files (what is uploaded) and the upload record: the bytes the file
// holds as it is opened, while other processes may go on reading and writing it.
// A FIFO, device or socket reads as empty, without waiting for a writer. Throws
// "Cannot open file "%s". %s" (a folder included) or "Stream read error" when the
// file ends before the size it had at opening.
std::string ReadFileContent(const std::string& path);
// Told an open file's stat data (fstat(2)) as a read begins and ends.
using TrkReadEnds = std::function<void(const struct stat& info)>;
// ReadFileContent in pieces of at most `piece_size` bytes handed to `consume`,
// so that no file is held in memory whole. `at_ends`, when given, is handed the
// open file's stat data before the first byte is read (those the open took)
// and again after the last (taken again; not handed when they cannot be), so
// a caller can tell whether the file changed meanwhile without looking it up
// by its path again.
void ReadFilePieces(const std::string& path, const std::function<void(std::string_view)>& consume,
                    size_t piece_size = 1 << 20, const TrkReadEnds& at_ends = nullptr);
// Throws as ReadFileContent would when the file cannot be opened for reading.
void CheckFileReadable(const std::string& path);

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
//
// `flush` says whether the data reach the disk before the rename (fsync): the
// record, the project and the logs must come back whole after a crash;
// derived and courtesy files may come back empty or older, and sparing them
// the wait for the disk saves every run several.
enum class TrkFlush { kToDisk, kLeaveToSystem };
void ReplaceFile(const std::string& path, std::string_view data, mode_t new_file_mode = 0666,
                 TrkFlush flush = TrkFlush::kToDisk);
// Where a file's bytes go, a piece at a time.
using TrkBytesSink = std::function<void(std::string_view piece)>;
// ReplaceFile for bytes too many to gather first: `source` hands them to the
// sink it is given, in pieces of any size. It is called at most once, before the data
// are flushed to disk, so a caller that must lock what it writes from holds
// that lock only while the bytes are copied out. An exception it throws
// leaves the file as it was and is passed on.
void ReplaceFileFrom(const std::string& path, const std::function<void(const TrkBytesSink& sink)>& source,
                     mode_t new_file_mode = 0666, TrkFlush flush = TrkFlush::kToDisk);

// Appends `data` to `path`, creating a missing file (not its folders). Throws
// "Cannot open file", "Cannot create file" or "Stream write error".
void AppendToFile(const std::string& path, std::string_view data);

// Writes all of `data` to the open descriptor `fd`; false on any error (errno
// then says which).
bool WriteFully(int fd, std::string_view data);
