#include "transfer/server_profile.h"

#include <sstream>
#include <utility>
#include <vector>

#include "project/error.h"
#include "project/whole_file.h"

namespace {

using DataMode = TrkServerProfile::DataMode;

// The file's lines, or none when it is missing or unreadable.
std::vector<std::string> Lines(const std::string& file) {
  std::vector<std::string> lines;
  try {
    std::istringstream in(ReadFileBytes(file));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines.push_back(line);
    }
  } catch (const TrkError&) {
    // Nothing learnt yet, or nothing that can be used: learnt again as needed.
  }
  return lines;
}

// The destination of a line (before its last "="; a destination never holds
// one unescaped) and its mode.
std::pair<std::string, DataMode> Parse(const std::string& line) {
  const size_t equals = line.rfind('=');
  if (equals == std::string::npos) return {"", DataMode::kUnknown};
  const std::string value = line.substr(equals + 1);
  const DataMode mode = value == "Passive"  ? DataMode::kPassive
                        : value == "Active" ? DataMode::kActive
                                            : DataMode::kUnknown;
  return {line.substr(0, equals), mode};
}

}  // namespace

TrkServerProfile::TrkServerProfile(std::string file, std::string destination, DataMode mode, bool read_only)
    : file_(std::move(file)), destination_(std::move(destination)), read_only_(read_only), data_(mode) {}

std::shared_ptr<TrkServerProfile> TrkServerProfile::Load(const std::string& file, const std::string& destination,
                                                         bool read_only) {
  DataMode mode = DataMode::kUnknown;
  for (const std::string& line : Lines(file)) {
    auto [where, what] = Parse(line);
    if (where == destination) mode = what;
  }
  return std::shared_ptr<TrkServerProfile>(new TrkServerProfile(file, destination, mode, read_only));
}

TrkServerProfile::DataMode TrkServerProfile::Data() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_;
}

std::string TrkServerProfile::SaveFailure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return save_failure_;
}

const char* TrkServerProfile::Text(DataMode mode) {
  return mode == DataMode::kPassive ? "Passive" : mode == DataMode::kActive ? "Active" : "Unknown";
}

void TrkServerProfile::Learn(DataMode mode) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (data_ == mode) return;
    data_ = mode;
  }
  if (file_.empty() || read_only_ || mode == DataMode::kUnknown) return;
  std::lock_guard<std::mutex> write(write_mu_);
  std::string text;
  for (const std::string& line : Lines(file_)) {
    if (Parse(line).first != destination_) text += line + "\n";
  }
  text += destination_ + "=" + Text(Data()) + "\n";
  std::string failure;
  try {
    ReplaceFile(file_, text);
  } catch (const TrkError& error) {
    failure = error.what();
  }
  std::lock_guard<std::mutex> lock(mu_);
  save_failure_ = failure;
}
