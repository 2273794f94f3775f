#pragma once

#include <QLabel>
#include <QLineEdit>

#include "ui/frm_main.h"

// The upload window the program shows: the main window with the FTP server's
// address, port, user and password in the target row, the target a directory
// on the server (no local folder dialog, no View), and the run action
// "Up&load". Its behaviour, ownership and threads are the main window's.
class TrkFrmDropvanMain : public TrkFrmMain {
  Q_OBJECT

 public:
  // Builds the window and runs its start-up (FormCreate): the bound controls
  // get the start-up project's options. The arguments are not owned and must
  // outlive the window.
  TrkFrmDropvanMain(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter);

  QLineEdit *eServer, *ePort, *eUser, *ePassword;
  QLabel *lblServer, *lblPort, *lblUser, *lblPassword;

 protected:
  // The inherited three, then eServer, eUser, ePassword and ePort.
  void RegisterOptionControls() override;
};
