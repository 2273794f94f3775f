#include "app/program.h"

#include <exception>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "app/console_runner.h"
#include "app/usage.h"
#include "app/window_loader.h"
#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "sync/account.h"
#include "sync/dropvan.h"
#include "sync/server_check.h"
#include "sync/server_lock.h"
#include "sync/uploader.h"
#include "transfer/new_session.h"
#include "record/upload_store.h"
#include "ui/window_entry.h"

TrkProductIdentity TrkDropvanIdentity() { return TrkProductIdentity{kTrkTitle, kTrkProgramKey, kTrkVersion}; }

void TrkSetProjectIdentity(TrkProject& project) {
  project.ConvertorClass = TrkDropvan::Class();
  project.SourceMask = "*.*";
  project.SourceFilter = "All Files (*.*)|*.*";
  project.ProgramKey = kTrkProgramKey;
  project.ProjectExt = std::string(".batch-") + kTrkProgramKey;
  project.ProjectFilter = std::string(kTrkTitle) + " Project|*" + project.ProjectExt;
  project.Title = kTrkTitle;
  project.AutoTarget = false;
  project.PathDelimiter = '/';
  project.Version = kTrkVersion;
}

TrkRunMode TrkChooseRunMode(const TrkProject& project) {
  if (project.GetPureConsole() && project.GetSource().find("http") == std::string::npos) {
    return TrkRunMode::kConsole;
  }
  return TrkRunMode::kWindow;
}

TrkProgram::TrkProgram(int argc, const char* const* argv) : app_(argc, argv) {
  info_ = std::make_unique<TrkInfo>(TrkDropvanIdentity(), app_.ExeName());
  project_ = std::make_unique<TrkProject>(app_.ExeName());
  main_ = std::make_unique<TrkMain>(*project_, *info_);
  TrkUploadStore::Process();  // the process-wide upload record and list, empty
  TrkSetProjectIdentity(*project_);
  TrkInfo* info = info_.get();
  project_->OpenLink = [info](const std::string& page, const std::string& report, const std::string& extra) {
    info->OpenLink(page, report, extra);
  };
}

TrkProgram::~TrkProgram() {
  // The runner's workers use the filter and the project: they go first.
  main_.reset();
  filter_.reset();
  project_.reset();
  info_.reset();
}

int TrkProgram::Run(std::ostream& err) {
  if (project_->ParseCommandLine(app_.Param()) == TrkProject::CommandLineResult::kExit) return 0;
  filter_ = std::make_unique<TrkMatch>();
  if (TrkChooseRunMode(*project_) == TrkRunMode::kWindow) return RunWindow(err);
  main_->Run(filter_.get(), err);
  return ConsoleExitCode();
}

int TrkProgram::ConsoleExitCode() const {
  if (main_->StopSignal() != 0) return 128 + main_->StopSignal();  // as the shell tells a signal
  if (main_->Batch() == nullptr || main_->Batch()->Failed() == 0) return 0;
  const int code = project_->Options().GetInt("FailureExitCode", 0);
  return (code < 0 || code > 255) ? 1 : code;
}

int TrkProgram::RunWindow(std::ostream& err) {
  TrkWindowRun run;
  run.project = project_.get();
  run.info = info_.get();
  run.filter = filter_.get();
  run.exe_name = app_.ExeName().c_str();
  run.err = &err;
  return TrkRunWindowLibrary(run, app_.ExeName(), err);
}

int TrkProgram::Check(std::ostream& out, std::ostream& err) {
  if (app_.Param().empty()) {
    err << "Usage: " << kTrkProgramKey << " --check PROJECT.batch-dropvan\n";
    return 1;
  }
  project_->ParseCommandLine(app_.Param());
  TrkServerCheck check(*project_, [&out](const std::string& line) { out << line << std::endl; });
  return check.Run() ? 0 : 1;
}

int TrkProgram::BreakLock(std::ostream& out, std::ostream& err) {
  if (app_.Param().empty()) {
    err << "Usage: " << kTrkProgramKey << " --break-lock PROJECT.batch-dropvan\n";
    return 1;
  }
  project_->ParseCommandLine(app_.Param());
  TrkUploader uploader(TrkNewTransferSession);
  TrkAccount::FromOptions(project_->Options()).SetUp(uploader);
  out << TrkServerLock::Break(uploader, TrkBatch::UrlToPath(project_->GetTargetDir())) << std::endl;
  return 0;
}

int TrkProgramMain(int argc, const char* const* argv, std::ostream& err) {
  // Answered before any object exists: no project is read, no side file written.
  if (argc > 1 && argv[1] != nullptr && TrkWriteUsageAnswer(argv[1], std::cout)) return std::cout.good() ? 0 : 1;
  const std::string mode = argc > 1 && argv[1] != nullptr ? argv[1] : "";
  std::string message;
  try {
    if (mode == "--check" || mode == "--break-lock") {
      // Both read the project named after them as a run would read it.
      std::vector<const char*> rest(argv, argv + argc);
      rest.erase(rest.begin() + 1);
      TrkProgram program(argc - 1, rest.data());
      return mode == "--check" ? program.Check(std::cout, err) : program.BreakLock(std::cout, err);
    }
    TrkProgram program(argc, argv);
    return program.Run(err);
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  err << kTrkTitle << ": " << message << std::endl;
  return 1;
}
