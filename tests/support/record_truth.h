#pragma once

// The one promise of the upload record, checked after a run: a record line
// means "this content is whole at this remote path on this server". A line
// that lies makes every later run skip a file the server does not have.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// One local file of a run, as the check sees it.
struct RunFile {
  std::string local_path;   // the full path the run held it under
  std::string remote_path;  // where it belongs, relative to the server's root folder
  bool failed = false;      // the run reported Failure for it
};

// Checks the record beside `project_file` against the files the server keeps
// under `server_root`. Every KEY=VALUE line (lines without "=" are headers)
// must be the path key of one of `files` whose remote copy exists with content
// digest VALUE; no file that failed may have a line holding its current
// content digest. The failure names each file and what is wrong with it.
::testing::AssertionResult RecordIsTruthful(const std::string& project_file,
                                            const std::vector<RunFile>& files,
                                            const std::filesystem::path& server_root);

// Checks that the record, its backup and the upload list beside
// `project_file` are whole, as a crash or a full disk must leave them: every
// line ends in CR LF, record lines are headers ("Destination: ...") or two
// digests joined by "=", and each upload list line is a local path of `files`.
// Files that do not exist pass.
::testing::AssertionResult RecordFilesAreWhole(const std::string& project_file,
                                               const std::vector<RunFile>& files);

// The record's digests: of a local path (its key) and of content bytes.
std::string PathKeyOf(const std::string& local_path);
std::string ContentDigestOf(const std::string& bytes);

}  // namespace testing_support
