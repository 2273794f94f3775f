#include "support/record_truth.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "project/platform.h"
#include "project/text_file.h"
#include "project/whole_file.h"
#include "digest/md5.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

const char kHeaderPrefix[] = "Destination: ";

// The lines of a CR LF text file, and whether the last one ended in CR LF.
struct TextLines {
  std::vector<std::string> lines;
  bool torn = false;
};

TextLines ReadCrLf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  TextLines result;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    result.lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) {
    result.lines.push_back(text.substr(start));
    result.torn = true;
  }
  return result;
}

bool IsDigest(const std::string& text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsRecordLine(const std::string& line) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return line.rfind(kHeaderPrefix, 0) == 0;
  return IsDigest(line.substr(0, equals)) && IsDigest(line.substr(equals + 1));
}

std::string Describe(const std::string& bytes) {
  return std::to_string(bytes.size()) + " bytes, digest " + ContentDigestOf(bytes);
}

// What is wrong with the claim that `file`'s content with digest `recorded`
// is on the server; empty when it is true.
std::string RemoteProblem(const RunFile& file, const std::string& recorded, const fs::path& root) {
  const fs::path remote = root / fs::path(file.remote_path).relative_path();
  if (!fs::is_regular_file(remote)) return "recorded, but " + file.remote_path + " is missing on the server";
  const std::string served = ReadFileBytes(remote.string());
  if (ContentDigestOf(served) == recorded) return "";
  const std::string local = ReadFileBytes(file.local_path);
  if (ContentDigestOf(local) == recorded) {
    return "recorded, but " + file.remote_path + " holds " + std::to_string(served.size()) + " of " +
           std::to_string(local.size()) + " bytes" + (served.size() == local.size() ? " (other bytes)" : "");
  }
  return "recorded with digest " + recorded + ", but " + file.remote_path + " holds " + Describe(served);
}

void Complain(std::ostringstream& out, int& problems, const std::string& what) {
  if (++problems <= 20) out << "\n  " << what;
}

::testing::AssertionResult Verdict(const std::ostringstream& out, int problems, const std::string& what) {
  if (problems == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problems << (problems == 1 ? " problem" : " problems") << " with "
                                       << what << ":" << out.str()
                                       << (problems > 20 ? "\n  ..." : "");
}

void CheckWhole(const std::string& path, bool record, const std::set<std::string>& paths,
                std::ostringstream& out, int& problems) {
  if (!fs::exists(path)) return;
  TextLines text = ReadCrLf(path);
  if (text.torn) Complain(out, problems, path + ": the last line has no line break: " + text.lines.back());
  for (size_t i = 0; i < text.lines.size(); ++i) {
    const std::string& line = text.lines[i];
    bool good = record ? IsRecordLine(line) : paths.count(line) > 0;
    if (!good) Complain(out, problems, path + " line " + std::to_string(i + 1) + " is torn: \"" + line + "\"");
  }
}

}  // namespace

std::string PathKeyOf(const std::string& local_path) {
  return TrkMD5().DigestHex(trk_platform::PathKeyText(local_path));
}

std::string ContentDigestOf(const std::string& bytes) { return TrkMD5().DigestHex(bytes); }

::testing::AssertionResult RecordIsTruthful(const std::string& project_file,
                                            const std::vector<RunFile>& files,
                                            const fs::path& server_root) {
  std::map<std::string, const RunFile*> by_key;
  for (const RunFile& file : files) by_key[PathKeyOf(file.local_path)] = &file;
  std::ostringstream out;
  int problems = 0;
  std::map<std::string, std::string> recorded;  // key -> value of its first line
  for (const std::string& line : ReadCrLf(project_file + ".ini").lines) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    recorded.emplace(key, value);
    auto file = by_key.find(key);
    if (file == by_key.end()) {
      Complain(out, problems, "record line \"" + line + "\" names no file of the run");
      continue;
    }
    std::string problem = RemoteProblem(*file->second, value, server_root);
    if (!problem.empty()) Complain(out, problems, file->second->local_path + ": " + problem);
  }
  for (const RunFile& file : files) {
    if (!file.failed) continue;
    auto line = recorded.find(PathKeyOf(file.local_path));
    if (line != recorded.end() && line->second == ContentDigestOf(ReadFileBytes(file.local_path))) {
      Complain(out, problems, file.local_path + ": reported Failure, yet recorded as uploaded");
    }
  }
  return Verdict(out, problems, "the record");
}

::testing::AssertionResult RecordFilesAreWhole(const std::string& project_file,
                                               const std::vector<RunFile>& files) {
  std::set<std::string> paths;
  for (const RunFile& file : files) {
    paths.insert(file.local_path);
    paths.insert(EscapeControlChars(file.local_path));
  }
  std::ostringstream out;
  int problems = 0;
  CheckWhole(project_file + ".ini", true, paths, out, problems);
  CheckWhole(project_file + ".ini.old", true, paths, out, problems);
  CheckWhole(project_file + ".log", false, paths, out, problems);
  return Verdict(out, problems, "the record files");
}

}  // namespace testing_support
