#include "project/project.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "project/ascii.h"
#include "project/control.h"
#include "project/error.h"
#include "project/platform.h"
#include "project/text_file.h"
#include "project/whole_file.h"

namespace {

// The folder part of a local path, with its trailing separator; empty when the
// path has none.
std::string FolderPart(const std::string& path) {
  size_t sep = trk_platform::LastSeparator(path);
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

// Whether the argument is a switch. On POSIX a leading "/" starts an absolute
// path, so only "-" introduces one there.
bool IsSwitch(const std::string& arg) {
#ifdef _WIN32
  return arg[0] == '-' || arg[0] == '/';
#else
  return arg[0] == '-';
#endif
}

// "/P" option text as lines: "," and ";" both separate options.
std::string OptionTextToLines(std::string text) {
  if (!text.empty() && text[0] == ':') text.erase(0, 1);
  std::string lines;
  for (char c : text) {
    if (c == ',' || c == ';') {
      lines += "\r\n";
    } else {
      lines += c;
    }
  }
  return lines;
}

// Refuses a project file that exists but is neither a regular file nor a
// folder: a FIFO, device or socket. Reading one could wait forever, and silently
// falling back to other options would hide a mistake the user must hear about.
// A missing file or a folder is no error here: the load then fails silently.
void RefuseNonRegularFile(const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) return;
  throw TrkError("The project file \"" + name + "\" is not a regular file");
}

// Project files may hold the FTP password: a new one is kept from other users.
mode_t NewProjectFileMode(const TrkOptions& options) { return options.Get("Password").empty() ? 0666 : 0600; }

}  // namespace

TrkProject::TrkProject(std::string exe_name) : exe_name_(std::move(exe_name)) { ReadRecentList(); }

TrkProject::~TrkProject() {
  UnbindControls();
  WriteRecentList();
}

std::string TrkProject::DefaultProjectName() const {
  if (exe_name_.empty()) return std::string();
  return trk_platform::ChangeExtension(trk_platform::SideFilePath(exe_name_), ProjectExt);
}

std::string TrkProject::RecentListName() const {
  if (exe_name_.empty()) return std::string();
  return trk_platform::SideFilePath(exe_name_) + ".log";
}

void TrkProject::ReadRecentList() {
  std::string name = RecentListName();
  if (name.empty()) return;
  try {
    recent_files_ = SplitLines(ReadFileBytes(name));
  } catch (const TrkError&) {
    // A missing or unreadable list starts empty.
  }
}

void TrkProject::WriteRecentList() const {
  std::string name = RecentListName();
  if (name.empty()) return;
  try {
    ReplaceFile(name, JoinLines(recent_files_));
  } catch (const std::exception&) {
    // The list is an auxiliary file: failing to keep it must not stop the exit.
  }
}

TrkProject::CommandLineResult TrkProject::ParseCommandLine(const std::string& param) {
  if (param.size() >= 2) {
    if (IsSwitch(param)) {
      const char letter = TrkUpperAscii(param[1]);
      if (letter == 'I' || letter == 'U') {
        if (OpenLink) OpenLink("", letter == 'I' ? "ins" : "uni", letter == 'I' ? param.substr(2) : "");
        return CommandLineResult::kExit;
      }
      if (letter == 'P') param_options_ = OptionTextToLines(param.substr(2));
    } else {
      file_name_ = param;
    }
  }
  OpenDefault();
  return CommandLineResult::kContinue;
}

void TrkProject::OpenDefault() {
  if (file_name_.empty() && param_options_.empty()) file_name_ = DefaultProjectName();
  Open(true);
}

void TrkProject::Open(bool silent) {
  if (!silent) {
    std::string chosen = file_name_;
    if (!OpenDialog || !OpenDialog(ProjectFilter + "|" + SourceFilter, chosen)) return;
    file_name_ = chosen;
  }
  const std::string name = file_name_;
  if (IsProjectFile(name)) {
    RefuseNonRegularFile(name);
    try {
      options_.SetLines(SplitLines(ReadFileBytes(name)));
      AddToRecent();
    } catch (const TrkError&) {
      // A project file that cannot be read leaves the options as they were.
    }
  } else if (!param_options_.empty()) {
    options_.SetLines(SplitLines(param_options_));
    // The name is no project file: keeping it would let a later Save overwrite
    // the chosen file with options.
    file_name_.clear();
    AutoFillTarget(GetSource());
  } else {
    file_name_.clear();
    options_.Set("Source", name);
    AutoFillTarget(name);
  }
  OptionsToControls();
}

void TrkProject::AutoFillTarget(const std::string& path) {
  if (AutoTarget && GetTarget().empty()) options_.Set("Target", FolderPart(path));
}

void TrkProject::NewProject() {
  file_name_.clear();
  options_.Clear();
  OptionsToControls();
}

void TrkProject::UpdateOptions(bool write_file) {
  ControlsToOptions();
  if (!write_file) return;
  ReplaceFile(file_name_, JoinLines(options_.Lines()), NewProjectFileMode(options_));
  AddToRecent();
}

void TrkProject::Save() {
  if (!file_name_.empty()) {
    UpdateOptions(true);
  } else {
    SaveAs();
  }
}

void TrkProject::SaveAs() {
  std::string chosen = file_name_;
  if (!SaveDialog || !SaveDialog(ProjectFilter, ProjectExt, chosen)) return;
  file_name_ = chosen;
  UpdateOptions(true);
}

void TrkProject::AddToRecent() {
  if (file_name_.empty()) return;
  for (const auto& path : recent_files_) {
    if (TrkSameTextIgnoreCase(path, file_name_)) return;
  }
  recent_files_.insert(recent_files_.begin(), file_name_);
}

bool TrkProject::IsProjectFile(const std::string& path) const {
  if (ProjectExt.empty()) return false;
  size_t pos = path.find(ProjectExt);
  return pos != std::string::npos && pos + ProjectExt.size() == path.size();
}

std::string TrkProject::GetSource() const { return options_.Get("Source"); }
std::string TrkProject::GetTarget() const { return options_.Get("Target"); }
bool TrkProject::GetSubdir() const { return options_.GetBool("Subdir", false); }
int TrkProject::GetThreadsCount() const { return options_.GetInt("ThreadsCount", 1); }
bool TrkProject::GetAutoThreads() const { return TrkSameTextIgnoreCase(options_.Get("ThreadsCount"), "Auto"); }
int TrkProject::GetDaemon() const { return options_.GetInt("Daemon", 0); }
bool TrkProject::GetPureConsole() const { return options_.GetBool("PureConsole", false); }
bool TrkProject::GetKeepTargetSubdirs() const { return options_.GetBool("KeepTargetSubdirs", true); }

bool TrkProject::IsAutoRun() const {
  return options_.GetBool("RunAndClose", false) || GetPureConsole() || GetDaemon() > 0;
}

std::string TrkProject::GetTargetDir() const {
  std::string dir = GetTarget();
  if (dir.empty()) return dir;
  if (PathDelimiter == '\\') {
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
  }
  if (dir.back() != PathDelimiter) dir += PathDelimiter;
  return dir;
}

void TrkProject::BindControl(TrkControl* control) { bound_controls_.push_back(control); }

TrkPropList& TrkProject::AccessorOf(TrkControl* control) {
  if (control->Accessor() == nullptr) {
    accessors_.push_back(std::make_unique<TrkPropList>(control));
    control->SetAccessor(accessors_.back().get());
  }
  return *control->Accessor();
}

void TrkProject::OptionsToControls() {
  for (TrkControl* control : bound_controls_) {
    TrkPropList& accessor = AccessorOf(control);
    const std::string name = control->Name();
    const std::string property = control->Hint();
    const std::string key = name.empty() ? name : name.substr(1);
    std::string value = options_.Get(key);
    if (value.empty()) {
      // Older project files stored the control's property under its own name.
      const std::string legacy = name + "." + property;
      value = options_.Get(legacy);
      options_.Remove(legacy);
    }
    accessor.SetValue(property, value);
  }
}

void TrkProject::ControlsToOptions() {
  for (TrkControl* control : bound_controls_) {
    TrkPropList& accessor = AccessorOf(control);
    const std::string name = control->Name();
    const std::string key = name.empty() ? name : name.substr(1);
    options_.Set(key, accessor.GetValue(control->Hint()));
  }
}

void TrkProject::UnbindControls() {
  for (TrkControl* control : bound_controls_) {
    if (control->Accessor() != nullptr) control->SetAccessor(nullptr);
  }
  bound_controls_.clear();
  accessors_.clear();
}
