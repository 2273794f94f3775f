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

using Commands = TrkServerProfile::Commands;

// What a line says of its destination. Words it does not know (a later
// version's) are passed over.
struct Facts {
  std::string destination;  // before the line's last "=": a destination never holds one unescaped
  DataMode data = DataMode::kUnknown;
  Commands commands = Commands::kUnknown;
};

Facts Parse(const std::string& line) {
  Facts facts;
  const size_t equals = line.rfind('=');
  if (equals == std::string::npos) return facts;
  facts.destination = line.substr(0, equals);
  std::istringstream words(line.substr(equals + 1));
  for (std::string word; words >> word;) {
    if (word == "Passive") facts.data = DataMode::kPassive;
    if (word == "Active") facts.data = DataMode::kActive;
    if (word == "Queued") facts.commands = Commands::kQueued;
    if (word == "Concurrent") facts.commands = Commands::kConcurrent;
  }
  return facts;
}

}  // namespace

TrkServerProfile::TrkServerProfile(std::string file, std::string destination, bool read_only)
    : file_(std::move(file)), destination_(std::move(destination)), read_only_(read_only) {}

std::shared_ptr<TrkServerProfile> TrkServerProfile::Load(const std::string& file, const std::string& destination,
                                                         bool read_only) {
  std::shared_ptr<TrkServerProfile> profile(new TrkServerProfile(file, destination, read_only));
  for (const std::string& line : Lines(file)) {
    const Facts facts = Parse(line);
    if (facts.destination != destination) continue;
    profile->data_ = facts.data;
    profile->commands_ = facts.commands;
  }
  return profile;
}

TrkServerProfile::DataMode TrkServerProfile::Data() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_;
}

TrkServerProfile::Commands TrkServerProfile::DuringTransfers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
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
    if (data_ == mode || mode == DataMode::kUnknown) return;
    data_ = mode;
  }
  Save();
}

void TrkServerProfile::Learn(Commands commands) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (commands_ == commands || commands == Commands::kUnknown) return;
    commands_ = commands;
  }
  Save();
}

std::string TrkServerProfile::FactsText() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string text;
  if (data_ != DataMode::kUnknown) text += Text(data_);
  if (commands_ != Commands::kUnknown) {
    if (!text.empty()) text += " ";
    text += commands_ == Commands::kQueued ? "Queued" : "Concurrent";
  }
  return text;
}

void TrkServerProfile::Save() {
  if (file_.empty() || read_only_) return;
  std::lock_guard<std::mutex> write(write_mu_);
  std::string text;
  for (const std::string& line : Lines(file_)) {
    if (Parse(line).destination != destination_) text += line + "\n";
  }
  text += destination_ + "=" + FactsText() + "\n";
  std::string failure;
  try {
    ReplaceFile(file_, text);
  } catch (const TrkError& error) {
    failure = error.what();
  }
  std::lock_guard<std::mutex> lock(mu_);
  save_failure_ = failure;
}
