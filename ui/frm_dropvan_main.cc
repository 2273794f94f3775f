#include "ui/frm_dropvan_main.h"

#include <QProxyStyle>
#include <algorithm>

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

// Never too narrow for a five-digit port, whatever the font.
class TrkPortEdit : public QLineEdit {
 public:
  QSize minimumSizeHint() const override {
    QSize size = QLineEdit::minimumSizeHint();
    const QMargins margins = textMargins() + contentsMargins();
    size.setWidth(std::max(size.width(), fontMetrics().horizontalAdvance("65535") + margins.left() +
                                             margins.right() + 2 * fontMetrics().averageCharWidth()));
    return size;
  }
};

}  // namespace

TrkFrmDropvanMain::TrkFrmDropvanMain(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter)
    : TrkFrmMain(project, info, filter) {
  setObjectName("rkFrmDropvanMain");
  target_is_local_ = false;
  eTarget->setText("/www/");
  bTarget->hide();
  aView->setVisible(false);
  aView->setEnabled(false);
  aConvert->setText("Up&load");
  aConvert->setToolTip("Upload the file(s) instantly");
  bSourceFile->setToolTip("Choose file(s) and click \"Upload\" to upload them");
  lViewer->setToolTip("Drag & drop file(s) here and click \"Upload\" to upload them");

  // After eTarget, in the proportions of the design's widths; the port edit's
  // share is wider than the design's 20 pixels, taken from the server's.
  target_row_->setStretch(0, 126);
  eServer = NewLabelledEdit(target_row_, 1, new QLineEdit, "eServer", "Server", 124, &lblServer);
  ePort = NewLabelledEdit(target_row_, 2, new TrkPortEdit, "ePort", "Port", 40, &lblPort);
  ePort->setText("21");
  eUser = NewLabelledEdit(target_row_, 3, new QLineEdit, "eUser", "User", 60, &lblUser);
  ePassword = NewLabelledEdit(target_row_, 4, new QLineEdit, "ePassword", "Password", 76, &lblPassword);
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
