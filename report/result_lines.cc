#include "report/result_lines.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>

#include "project/error.h"
#include "project/text_file.h"
#include "project/whole_file.h"

namespace {

constexpr std::string_view kSeparator = " => ";

// The file name and the result text (which may repeat the name) come from the
// file system: a name holding a line break must not start a forged line of its own.
void AppendFields(std::string& out, std::string_view word, std::string_view file_name,
                  std::string_view result_text) {
  out.append(word).append(kSeparator);
  AppendEscaped(out, file_name);
  out.append(kSeparator);
  AppendEscaped(out, result_text);
}

std::string JoinFields(std::string_view word, std::string_view file_name, std::string_view result_text) {
  std::string line;
  AppendFields(line, word, file_name, result_text);
  return line;
}

// ReplaceFile creates missing folders; a run log must not, so check first.
void RequireParentFolder(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return;
  struct stat info;
  if (stat(parent.c_str(), &info) != 0) {
    throw TrkError("Cannot create file \"" + path + "\". " + strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw TrkError("Cannot create file \"" + path + "\". " + strerror(ENOTDIR));
  }
}

}  // namespace

const char* TrkStatusWord(int state) {
  if (state == 1) return "Success";
  if (state == 2) return "Failure";
  return "Running";
}

std::string TrkConsoleLine(int state, std::string_view file_name, std::string_view result_text) {
  return JoinFields(TrkStatusWord(state), file_name, result_text);
}

void TrkAppendConsoleLine(std::string& out, int state, std::string_view file_name, std::string_view result_text) {
  AppendFields(out, TrkStatusWord(state), file_name, result_text);
  out += "\r\n";
}

std::string TrkListLine(int state, std::string_view file_name, std::string_view result_text) {
  return JoinFields(std::string("[") + TrkStatusWord(state) + "]", file_name, result_text);
}

void TrkWriteLogFile(const std::string& path, const std::vector<std::string>& lines) {
  TrkWriteLogText(path, JoinLines(lines));
}

void TrkWriteLogText(const std::string& path, std::string_view text) {
  TrkWriteLogFrom(path, [text](const TrkBytesSink& sink) { sink(text); });
}

void TrkWriteLogFrom(const std::string& path, const std::function<void(const TrkBytesSink& sink)>& source) {
  RequireParentFolder(path);
  ReplaceFileFrom(path, source);
}

void TrkFinishOrder::Append(int index) {
  std::lock_guard<std::mutex> lock(mu_);
  indices_.push_back(index);
}

std::vector<int> TrkFinishOrder::Indices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return indices_;
}

size_t TrkFinishOrder::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return indices_.size();
}
