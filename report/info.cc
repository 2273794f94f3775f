#include "report/info.h"

#include <filesystem>

#include "project/platform.h"
#include "select/file_utils.h"

namespace {

int32_t ProgramFolderStamp(const std::string& exe_path) {
  std::filesystem::path folder = std::filesystem::path(exe_path).parent_path();
  std::error_code ignored;
  if (folder.empty()) folder = std::filesystem::current_path(ignored);
  return TrkFileUtils::FileDate(folder.string(), /*creation=*/true, /*utc=*/true);
}

std::string StoreFileFor(const std::string& exe_path) {
  return trk_platform::ChangeExtension(trk_platform::SideFilePath(exe_path), ".ext");
}

}  // namespace

TrkInfo::TrkInfo(TrkProductIdentity identity, std::string exe_path, std::unique_ptr<TrkLinkOpener> opener)
    : links_(std::move(identity), exe_path, ProgramFolderStamp(exe_path)),
      store_path_(StoreFileFor(exe_path)),
      opener_(opener ? std::move(opener) : std::make_unique<TrkSystemOpener>()) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    counters_ = TrkUsageCounters::Load(store_path_);
    counters_.Set("v", "2");
  }
  AddCount("R", 0, 1);
}

TrkInfo::~TrkInfo() { WriteStore(); }

std::string TrkInfo::BuildLink(const std::string& page, const std::string& report,
                               const std::string& extra) const {
  return links_.Build(page, report, extra, CounterText());
}

void TrkInfo::OpenLink(const std::string& page, const std::string& report, const std::string& extra) {
  opener_->Open(BuildLink(page, report, extra));
}

void TrkInfo::AddCount(const std::string& name, long long value, long long increment) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!counters_.Add(name, value, increment)) return;
  }
  WriteStore();
}

std::string TrkInfo::Count(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_.Get(name);
}

std::string TrkInfo::CounterText() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_.CounterText();
}

void TrkInfo::ReportError(const std::string& message) {
  try {
    AddCount("E", 0, 1);
  } catch (...) {
    // Counting is a courtesy; the report itself must still go out.
  }
  OpenLink("", "err&e=" + message, "");
}

void TrkInfo::WriteStore() const {
  std::lock_guard<std::mutex> store_lock(store_mu_);
  std::string data;
  {
    std::lock_guard<std::mutex> lock(mu_);
    data = counters_.Serialize();
  }
  try {
    TrkUsageCounters::SaveData(store_path_, data);
  } catch (const std::exception&) {
    // An auxiliary file: the counters stay in memory and the next write retries.
  }
}
