#include "ui/frm_dropvan_main.h"

#include <QProxyStyle>

namespace {

// Shows a password as one "*" per character, whatever the platform's style draws.
class TrkStarPasswordStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

TrkFrmDropvanMain::TrkFrmDropvanMain(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter)
    : TrkFrmMain(project, info, filter) {
  setObjectName("rkFrmDropvanMain");
  target_is_local_ = false;
  eTarget->setFixedWidth(126);
  eTarget->setText("/www/");
  bTarget->hide();
  aView->setVisible(false);
  aView->setEnabled(false);
  aConvert->setText("Up&load");
  aConvert->setToolTip("Upload the file(s) instantly");
  bSourceFile->setToolTip("Choose file(s) and click \"Upload\" to upload them");
  lViewer->setToolTip("Drag & drop file(s) here and click \"Upload\" to upload them");

  // The port edit is wider than the design's 20 pixels so that a five-digit
  // port can be read; the server edit gives up the room.
  eServer = NewLabelledEdit(pTarget, "eServer", "Server", 216, 124, &lblServer);
  ePort = NewLabelledEdit(pTarget, "ePort", "Port", 372, 40, &lblPort);
  ePort->setText("21");
  eUser = NewLabelledEdit(pTarget, "eUser", "User", 442, 60, &lblUser);
  ePassword = NewLabelledEdit(pTarget, "ePassword", "Password", 550, 76, &lblPassword);
  ePassword->setEchoMode(QLineEdit::Password);
  auto* stars = new TrkStarPasswordStyle;
  stars->setParent(ePassword);
  ePassword->setStyle(stars);
  for (QLineEdit* edit : {eServer, ePort, eUser, ePassword}) AcceptFileDrops(edit);

  setTabOrder(eTarget, eServer);
  setTabOrder(eServer, ePort);
  setTabOrder(ePort, eUser);
  setTabOrder(eUser, ePassword);
  setTabOrder(ePassword, bTarget);
  FormCreate();
}

void TrkFrmDropvanMain::RegisterOptionControls() {
  TrkFrmMain::RegisterOptionControls();
  BindOption(eServer, "Text");
  BindOption(eUser, "Text");
  BindOption(ePassword, "Text");
  BindOption(ePort, "Text");
}
