#pragma once

#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/frm_base.h"

class TrkFrmMain;
class TrkInfo;

// The "Config" dialog: the project's whole option list as text, one
// name=value line per option, to add, delete or change freely. It edits the
// options in memory only; Save in the main window writes them. While a run is
// going the options are shown but "&Ok" is disabled, since the run reads them,
// and enabled as soon as the run ends. Escape closes it as Cancel does.
//
// Kept by the main window from its first use until the program ends. GUI thread.
class TrkFrmCfg : public TrkFrmBase {
  Q_OBJECT

 public:
  // `main` and `info` are not owned and outlive the dialog.
  TrkFrmCfg(TrkFrmMain& main, TrkInfo& info);

  // Each showing: the bound controls' values into the options (not written to
  // the file), then the option list into the text.
  void FormShow();
  // The text's lines become the option list as typed, then the bound controls
  // show the options.
  void btnOkClick();
  void btnHelpClick();
  // "&Ok" disabled, with a hint that says why, while a run goes on.
  void FollowRun(bool running);

  QPlainTextEdit* txtCfg;
  QPushButton *btnOk, *btnCancel, *btnHelp;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TrkFrmMain& main_;
  TrkInfo& info_;
};
