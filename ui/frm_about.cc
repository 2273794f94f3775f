#include "ui/frm_about.h"

#include <QKeyEvent>
#include <QPalette>

#include "project/project.h"

namespace {

QLabel* NewLabel(QWidget* form, const char* name, QRect place, int pixels, bool bold) {
  auto* label = new QLabel(form);
  label->setObjectName(name);
  label->setGeometry(place);
  QFont font("Verdana");
  font.setPixelSize(pixels);
  font.setBold(bold);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(221, 221, 221));
  label->setPalette(palette);
  label->setAttribute(Qt::WA_TranslucentBackground);
  return label;
}

}  // namespace

TrkFrmAbout::TrkFrmAbout(const TrkProject& project, QWidget* main_window)
    : TrkFrmBase(nullptr, Qt::Window | Qt::FramelessWindowHint), project_(project), main_window_(main_window) {
  setObjectName("rkFrmAbout");
  setFixedSize(472, 243);
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, QColor(0, 85, 255));
  setPalette(palette);
  setWindowOpacity(200.0 / 255.0);
  img = new QLabel(this);
  img->setObjectName("img");
  img->setGeometry(40, 40, 80, 80);
  lblProduct = NewLabel(this, "lblProduct", QRect(163, 40, 250, 50), 21, true);
  lblProduct->setAlignment(Qt::AlignCenter);
  lblProduct->setWordWrap(true);
  lblVersion = NewLabel(this, "lblVersion", QRect(176, 96, 224, 16), 13, true);
  lblVersion->setAlignment(Qt::AlignCenter);
  lblCopright = NewLabel(this, "lblCopright", QRect(184, 208, 264, 16), 13, false);
  lblCopright->setText("Uploads only what changed.");
  for (QLabel* label : {img, lblProduct, lblVersion, lblCopright}) label->installEventFilter(this);
}

void TrkFrmAbout::ShowAbout() {
  if (show_count_ == 0) {
    show_count_ = 1;
    if (project_.GetPureConsole() && main_window_ != nullptr) {
      main_window_->setWindowOpacity(0.0);
      // Opacity needs a compositor; without one the window must still not appear.
      main_window_->setAttribute(Qt::WA_DontShowOnScreen);
    }
    return;
  }
  CentreOnScreen();
  ShowModal();
  ++show_count_;
}

void TrkFrmAbout::showEvent(QShowEvent* event) {
  TrkFrmBase::showEvent(event);
  FormShow();
}

void TrkFrmAbout::FormShow() {
  if (lblProduct->text().isEmpty()) {
    lblProduct->setText(QString::fromStdString(project_.Title));  // a label shows "&" as it is
    lblVersion->setText(QString::fromStdString(project_.Version));
  }
  ++show_count_;
}

void TrkFrmAbout::FormClick() {
  if (show_count_ > 1) close();
}

void TrkFrmAbout::mousePressEvent(QMouseEvent* /*event*/) { FormClick(); }
void TrkFrmAbout::keyPressEvent(QKeyEvent* /*event*/) { FormClick(); }

bool TrkFrmAbout::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    FormClick();
    return true;
  }
  return TrkFrmBase::eventFilter(watched, event);
}

TrkFrmDropvanAbout::TrkFrmDropvanAbout(const TrkProject& project, QWidget* main_window)
    : TrkFrmAbout(project, main_window) {
  setObjectName("rkFrmDropvanAbout");
  const QPixmap picture(":/images/picture.png");
  img->setGeometry(16, 16, picture.width(), picture.height());
  img->setPixmap(picture);
  img->setAttribute(Qt::WA_TranslucentBackground);
}
