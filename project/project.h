#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "project/options.h"

class TrkBatch;
class TrkNode;
class TrkChainShare;
class TrkConvertor;
class TrkControl;
class TrkPropList;

// The item-done event: called with the batch and the finished item. The context
// of the event is whatever the callable captures.
using TrkItemEvent = std::function<void(TrkBatch& batch, TrkNode& item)>;
// The project's convertor class: what a chain of workers shares, made first
// (`share`; unset: nothing but the chain's count of its running workers), and
// the worker numbered `number` (`make`, which through the base class makes the
// rest of the chain below it, each worker given the same share). A program
// registers its own (see TrkConvertorClassOf).
struct TrkConvertorClass {
  std::function<std::shared_ptr<TrkChainShare>(TrkBatch& batch)> share;
  std::function<std::shared_ptr<TrkConvertor>(TrkBatch& batch, int number, TrkItemEvent on_item_done,
                                              const std::shared_ptr<TrkChainShare>& share)>
      make;
  explicit operator bool() const { return static_cast<bool>(make); }
};

// The project of the process: its options, its file, the recently used project
// files, the program's identity, and the binding of window controls to options.
//
// Thread safety: the option list locks itself (TrkOptions); everything else is
// used from the main thread only, except the identity fields, which are set at
// start-up before any other thread exists and never change afterwards.
class TrkProject {
 public:
  // Reads the recent list file beside `exe_name` when it exists (errors ignored).
  explicit TrkProject(std::string exe_name);
  // Unbinds the controls and writes the recent list file (errors ignored).
  ~TrkProject();
  TrkProject(const TrkProject&) = delete;
  TrkProject& operator=(const TrkProject&) = delete;

  // Identity, set at start-up.
  TrkConvertorClass ConvertorClass;
  bool AutoTarget = true;
  std::string ProjectExt;
  std::string ProjectFilter;
  std::string ProgramKey;
  char PathDelimiter = '\\';
  std::string Title;
  std::string SourceFilter;
  std::string SourceMask;
  std::string Version;

  // Hooks the window and the reporting module supply. Without them: no dialogs
  // (SaveAs and Open(false) behave as cancelled) and no links.
  // Open/save dialogs: (filter, default extension or empty, file name in/out) -> confirmed.
  std::function<bool(const std::string& filter, std::string& file_name)> OpenDialog;
  std::function<bool(const std::string& filter, const std::string& default_ext, std::string& file_name)>
      SaveDialog;
  // OpenLink of the product information (page, report, extra).
  std::function<void(const std::string& page, const std::string& report, const std::string& extra)> OpenLink;

  TrkOptions& Options() { return options_; }
  const TrkOptions& Options() const { return options_; }

  const std::string& ExeName() const { return exe_name_; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string name) { file_name_ = std::move(name); }
  const std::string& ParamOptions() const { return param_options_; }
  const std::vector<std::string>& RecentFiles() const { return recent_files_; }

  enum class CommandLineResult { kContinue, kExit };
  // Reads the first command-line argument and loads the project (OpenDefault).
  // kExit: an install or uninstall notice was sent and the process should end (0).
  CommandLineResult ParseCommandLine(const std::string& param);
  void OpenDefault();
  // A project file that cannot be read leaves the options as they were; one that
  // is a FIFO, device or socket is refused with a TrkError instead.
  void Open(bool silent);
  void NewProject();
  // Errors writing the project file reach the caller as TrkError. A new project
  // file that holds a Password is readable by its owner alone (mode 0600); an
  // existing file keeps its mode.
  void UpdateOptions(bool write_file);
  void Save();
  void SaveAs();
  void AddToRecent();

  std::string DefaultProjectName() const;
  std::string RecentListName() const;
  bool IsProjectFile(const std::string& path) const;

  std::string GetOption(const std::string& key) const { return options_.Get(key); }
  std::string GetSource() const;
  std::string GetTarget() const;
  bool GetSubdir() const;
  int GetThreadsCount() const;
  // ThreadsCount=Auto (any case): the run finds its number of connections.
  bool GetAutoThreads() const;
  int GetDaemon() const;
  bool GetPureConsole() const;
  bool GetKeepTargetSubdirs() const;
  bool IsAutoRun() const;
  // Target as a directory ending in PathDelimiter (created locally only when the
  // delimiter is '\'). An empty Target gives an empty text.
  std::string GetTargetDir() const;

  // Control binding; controls are not owned and must outlive the binding.
  void BindControl(TrkControl* control);
  void OptionsToControls();
  void ControlsToOptions();
  // Clears every bound control's accessor and forgets the controls, so that
  // nothing touches them afterwards; the window calls it before its controls go.
  void UnbindControls();

 private:
  void ReadRecentList();
  void WriteRecentList() const;
  // The control's accessor, made on first use and owned by the project.
  TrkPropList& AccessorOf(TrkControl* control);
  // Target := the folder part of `path` when AutoTarget is on and Target is empty.
  void AutoFillTarget(const std::string& path);

  std::string exe_name_;
  TrkOptions options_;
  std::string file_name_;
  std::string param_options_;
  std::vector<std::string> recent_files_;
  std::vector<TrkControl*> bound_controls_;               // not owned
  std::vector<std::unique_ptr<TrkPropList>> accessors_;  // of the bound controls
};
