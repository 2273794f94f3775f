#pragma once

#include <QAction>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <memory>
#include <string>
#include <vector>

#include "ui/action_button.h"
#include "ui/frm_base.h"

class TrkBatch;
class TrkDialogs;
class TrkFrmAbout;
class TrkFrmCfg;
class TrkGuiDispatcher;
class TrkInfo;
class TrkLinkOpener;
class TrkListModel;
class TrkMatchBase;
class TrkProject;
class TrkRowFeed;
class TrkRun;
class TrkStatusBar;
class TrkWidgetControl;

// The generic main window of a batch tool: the source and target rows, the
// toolbar of project and product actions, and the list of the current batch's
// items with each one's state and result. It drives runs but does no file work:
// the batch lists the files on its search thread, the workers process them on
// theirs, and their notes reach the list through the model's refresh.
//
// Ownership: owns its widgets, the current batch (shared with the run's
// workers), the batches dropped while their search still runs, and the Config
// dialog. The project, the product information and the filter belong to the
// program and outlive the window; the about window is not owned.
//
// Threads: every member runs on the GUI thread. Workers reach it only through
// the row feed and through the dispatcher that runs their end (OnFinish) here.
// A batch is never released while its search thread or a worker uses it: the
// actions that would replace it are disabled during a run, and closing the
// window first stops the run and keeps serving the workers until they end.
//
// The most derived window's constructor calls FormCreate last, so that the
// virtual RegisterOptionControls sees every control.
class TrkFrmMain : public TrkFrmBase {
  Q_OBJECT

 public:
  ~TrkFrmMain() override;

  // The about window that the About action shows (not owned; may be null).
  void SetAbout(TrkFrmAbout* about) { about_ = about; }
  // Replaces the dialogs and the opener of files and folders (tests).
  void SetDialogs(std::unique_ptr<TrkDialogs> dialogs);
  void SetOpener(std::unique_ptr<TrkLinkOpener> opener);

  // Operations of the window.
  void SuggestTarget(const std::string& folder);
  void NewBatch();
  void AddFile(const std::string& path);
  void AutoRun();
  void RunEnded();
  // Files dropped from the file manager on `target` (an edit, the list or its
  // viewport; anything else ignores the drop).
  void FilesDropped(QWidget* target, const QStringList& names);
  void OpenSelected(bool folder_only);
  void RecentProjectClick(const QString& path);
  void UpdateCaption();
  // One list line per row, in row order, written as a log file. Throws TrkError.
  void WriteListLog(const std::string& path);

  // Handlers.
  void bSourceClick();
  void bSourceFileClick();
  void bTargetClick();
  void aSearchExecute();
  void aConvertExecute();
  void aSearchConvertExecute();
  void aPauseExecute();
  void aStopExecute();
  void aViewExecute();
  void OnFinish();
  void pm1Popup();
  void pm2Popup();
  void ViewSource1Click() { OpenSelected(true); }
  void OpenSource1Click() { OpenSelected(false); }
  void ExportList1Click();
  void aOpenExecute();
  void aNewExecute();
  void aConfigExecute();
  void aSaveExecute();
  void aSaveAsExecute();
  void aUpdateExecute();
  void aHelpExecute();
  void aHomePageExecute();
  void aSupportsExecute();
  void aAboutExecute();

  // State, for the program and its tests.
  bool IsRunning() const;
  bool IsWaitingToRepeat() const { return daemon_timer_.isActive(); }
  // The batch of the current listing; null when there is none.
  std::shared_ptr<TrkBatch> Batch() const;
  TrkListModel& Model() const { return *model_; }
  TrkStatusBar& StatusBar() const { return *status_; }
  TrkFrmCfg* Cfg() const { return cfg_.get(); }
  TrkProject& Project() const { return project_; }
  // 1 when an unattended run could not write its log, else 0.
  int ExitCode() const { return exit_code_; }

 signals:
  // A run started (true) or the window is idle again (false).
  void RunningChanged(bool running);

 public:

  // Controls, named as the design names them.
  QToolBar* ToolBar;
  QToolButton* tbOpen;
  QFrame *pAction, *pSource, *pTarget, *pOthers, *pSpacer, *pViewer;
  QLabel *lblSource, *lblTarget;
  QLineEdit *eSource, *eTarget;
  QPushButton *bSource, *bSourceFile, *bTarget;
  QCheckBox* cSubdir;
  TrkActionButton *bSearch, *bView, *bSearchConvert, *bCreate;
  QTreeView* lViewer;
  QMenu *pm1, *pm2;
  QAction *BrowseFiles1, *ViewSource1, *OpenSource1, *ViewOutput1, *ExportList1;
  QAction *aConvert, *aStop, *aOpen, *aNew, *aConfig, *aSave, *aSaveAs, *aUpdate, *aHelp, *aHomePage,
      *aSupports, *aAbout, *aSearch, *aView, *aSearchConvert, *aPause;

 protected:
  TrkFrmMain(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter);

  // Registers the controls bound to options: eSource, cSubdir, eTarget. A
  // derived window calls this first, then registers its own.
  virtual void RegisterOptionControls();
  // Binds `widget` to the option named by its object name less the first letter,
  // through the property `hint` names.
  void BindOption(QWidget* widget, const std::string& hint);
  // Start-up: the bound controls, the start-up project, the caption, drops.
  void FormCreate();
  // Puts `edit` (taken over) with a label of `caption` left of it into `row`
  // at position `at`; the pair gets `share` of the room the row's fixed
  // controls leave (the design's width of the edit). The label's accelerator
  // focuses the edit.
  static QLineEdit* NewLabelledEdit(QHBoxLayout* row, int at, QLineEdit* edit, const char* name,
                                    const char* caption, int share, QLabel** label);
  // Lets `widget` take files dropped from the file manager (FilesDropped).
  void AcceptFileDrops(QWidget* widget);

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

  // False in a window whose target is no local folder: no folder dialog for it.
  bool target_is_local_ = true;
  // The target row: the labelled eTarget first, then bTarget, bView,
  // bSearchConvert and bCreate. Owned by pTarget.
  QHBoxLayout* target_row_ = nullptr;

 private:
  void CreateActions();
  void CreateToolBar();
  void CreateRows();
  void CreateList();
  // The labels of the two rows' first edits as wide as the wider of them.
  void AlignLabelColumn();
  QAction* NewAction(const char* caption, const char* hint, const char* image, void (TrkFrmMain::*handler)());

  // The listing of aSearchExecute; false when it was refused (empty source).
  bool ListSource();
  // Target normalisation of a run's start: the target as the run uses it,
  // written back into eTarget; empty when nothing is left of it.
  std::string NormaliseTarget();
  void StartWorkers(const std::string& target);
  // The end of the run (TrkRun::Finish); an unsaved record is reported.
  void ReportRun();
  // Idle, running or waiting to repeat: which action each run button shows and
  // which actions may touch the batch.
  void ShowIdle();
  void ShowRunning();
  void ShowWaiting();
  void EnableBatchActions(bool enabled);
  // Lets go of a batch no longer shown; one whose search still runs is kept
  // (its search stopped) until it ends, so its release never waits.
  void Retire(std::shared_ptr<TrkBatch> batch);
  void ReleaseEndedSearches();
  // Stops a run and serves its workers until every one has ended.
  void StopAndWait();
  // Reports an error of a handler as the program does (no message box).
  void ReportError(const std::string& message);
  void ProtectedCall(void (TrkFrmMain::*handler)());

  TrkProject& project_;
  TrkInfo& info_;
  const TrkMatchBase* const filter_;
  std::unique_ptr<TrkDialogs> dialogs_;
  std::unique_ptr<TrkLinkOpener> opener_;
  TrkFrmAbout* about_ = nullptr;  // not owned
  std::unique_ptr<TrkFrmCfg> cfg_;
  std::vector<std::unique_ptr<TrkWidgetControl>> bound_;
  TrkListModel* model_;  // owned by the window (Qt parent)
  TrkStatusBar* status_;  // owned by the window (Qt parent); under the list
  std::shared_ptr<TrkGuiDispatcher> dispatcher_;

  std::unique_ptr<TrkRun> run_;             // the current listing (FBatch) and its runs
  std::unique_ptr<TrkRun> stopped_run_;     // a run stopped by Stop, released at the next listing
  std::shared_ptr<TrkRowFeed> feed_;        // the current batch's notes to the list
  std::vector<std::shared_ptr<TrkBatch>> dropped_;  // retired batches whose search still runs
  QTimer release_timer_;                    // looks at dropped_ now and then
  QTimer daemon_timer_;                     // the pause between repeated runs
  bool stopped_ = false;                    // FStopped
  bool shown_ = false;                      // FShown
  bool closing_ = false;                    // the window waits for its run to end before it closes
  int exit_code_ = 0;
};
