#include "ui/frm_cfg.h"

#include <QShortcut>
#include <QShowEvent>

#include "project/options.h"
#include "project/project.h"
#include "report/info.h"
#include "ui/frm_main.h"

namespace {

const char kOkDuringARun[] = "A run is going on and reads these options: Ok is possible once it has ended";

QPushButton* NewButton(QWidget* form, const char* name, const char* caption, int x) {
  auto* button = new QPushButton(caption, form);
  button->setObjectName(name);
  button->setGeometry(x, 233, 72, 25);
  return button;
}

}  // namespace

TrkFrmCfg::TrkFrmCfg(TrkFrmMain& main, TrkInfo& info)
    : TrkFrmBase(&main, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      main_(main),
      info_(info) {
  setObjectName("rkFrmCfg");
  setWindowTitle("Config");
  setFixedSize(292, 273);
  txtCfg = new QPlainTextEdit(this);
  txtCfg->setObjectName("txtCfg");
  txtCfg->setGeometry(16, 16, 256, 200);
  txtCfg->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtCfg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtCfg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtCfg->setToolTip("Please add/delete/modify the options by yourself");
  btnOk = NewButton(this, "btnOk", "&Ok", 120);
  btnCancel = NewButton(this, "btnCancel", "Cancel", 200);
  btnHelp = NewButton(this, "btnHelp", "Help", 16);
  btnHelp->setToolTip("Click here to see the details about the options");
  connect(btnOk, &QPushButton::clicked, this, [this] {
    btnOkClick();
    close();
  });
  connect(btnCancel, &QPushButton::clicked, this, &QWidget::close);
  // Escape is Cancel, wherever the focus is.
  connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this, &QWidget::close);
  connect(&main_, &TrkFrmMain::RunningChanged, this, &TrkFrmCfg::FollowRun);
  connect(btnHelp, &QPushButton::clicked, this, &TrkFrmCfg::btnHelpClick);
  setTabOrder(txtCfg, btnOk);
  setTabOrder(btnOk, btnCancel);
  setTabOrder(btnCancel, btnHelp);
}

void TrkFrmCfg::showEvent(QShowEvent* event) {
  TrkFrmBase::showEvent(event);
  if (!event->spontaneous()) FormShow();
}

void TrkFrmCfg::FormShow() {
  TrkProject& project = main_.Project();
  project.UpdateOptions(false);
  QStringList lines;
  for (const std::string& line : project.Options().Lines()) lines << QString::fromStdString(line);
  txtCfg->setPlainText(lines.join('\n'));
  FollowRun(main_.IsRunning());
  CentreOnScreen();
}

void TrkFrmCfg::FollowRun(bool running) {
  // Replacing the options mid-run would change what the workers read.
  btnOk->setEnabled(!running);
  btnOk->setToolTip(running ? kOkDuringARun : "");
}

void TrkFrmCfg::btnOkClick() {
  if (main_.IsRunning()) return;
  TrkProject& project = main_.Project();
  std::vector<std::string> lines;
  const QString text = txtCfg->toPlainText();
  if (!text.isEmpty()) {
    for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
  }
  project.Options().SetLines(lines);
  project.OptionsToControls();
}

void TrkFrmCfg::btnHelpClick() { info_.OpenLink("h", "", ""); }
