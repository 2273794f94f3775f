// The window as a person meets it: every caption with "&" is an accelerator
// that shows its letter and runs its action from anywhere in the window, and
// no control of a row overlaps another or is cut, whatever the font and scale.
#include <QSignalSpy>
#include <QTest>

#include <QToolBar>

#include "ui/frm_cfg.h"
#include "window_fixture.h"

namespace ui_testing {
namespace {

// Alt with the letter of `action`'s caption, typed into `edit` as a person
// would; true when it ran `action` rather than typing into the edit.
bool AltRuns(QLineEdit* edit, QAction* action) {
  const Qt::Key key = QKeySequence::mnemonic(action->text())[0].key();
  const QString typed = edit->text() + QChar(key).toLower();
  QSignalSpy triggered(action, &QAction::triggered);
  edit->setFocus();
  QTest::keyClick(edit, key, Qt::AltModifier);
  // A button clicked by its accelerator shows the click first, for a moment.
  return QTest::qWaitFor([&] { return triggered.count() == 1; }, 5000) && edit->text() != typed;
}

TEST_F(WindowTest, EveryCaptionWithAnAmpersandIsAnAcceleratorThatShowsItsLetter) {
  // The first store hangs, so that the run is still going when Alt+P comes.
  testing_support::FtpFaults hang;
  hang.stall = 1;
  hang.stall_seconds = 30;
  FtpServer server(FtpServer::Kind::kPyftpdlib, hang);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  TrkFrmDropvanMain& w = Open();
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const auto on_toolbar = [&w](QAction* action) {
    return qobject_cast<QAbstractButton*>(w.ToolBar->widgetForAction(action));
  };
  struct Row {
    QAction* action;
    QAbstractButton* button;  // the one showing it
    QLineEdit* focus;
  };
  // New first (it empties the edits), Stop last: Upload starts the run it stops.
  for (const Row& row : {Row{w.aNew, on_toolbar(w.aNew), w.eSource}, Row{w.aOpen, w.tbOpen, w.eTarget},
                         Row{w.aSave, on_toolbar(w.aSave), w.eServer}, Row{w.aSaveAs, on_toolbar(w.aSaveAs), w.eUser},
                         Row{w.aUpdate, on_toolbar(w.aUpdate), w.eSource}, Row{w.aHelp, on_toolbar(w.aHelp), w.eSource},
                         Row{w.aConvert, w.bCreate, w.ePassword}, Row{w.aStop, w.bSearchConvert, w.ePassword}}) {
    const QString caption = row.action->text();
    SCOPED_TRACE(caption.toStdString());
    ASSERT_NE(nullptr, row.button);
    EXPECT_EQ(caption, row.button->text()) << "the button must show the caption with its \"&\"";
    EXPECT_EQ(QKeySequence::mnemonic(caption), row.button->shortcut());
    EXPECT_TRUE(AltRuns(row.focus, row.action));
    if (row.action == w.aNew) FillIn(server);
  }
  EXPECT_EQ("Up&load", w.aConvert->text().toStdString());
  WaitUntilIdle();
  EXPECT_EQ(nullptr, w.Batch()) << "Stop did not stop the run";

  // Config: "&Ok" applies what was typed.
  QTimer::singleShot(0, [this] {
    TrkFrmCfg* cfg = window_->Cfg();
    cfg->txtCfg->setPlainText("Server=typed.test");
    cfg->activateWindow();
    if (QTest::qWaitFor([cfg] { return QApplication::activeWindow() == cfg; }, 5000)) {
      QTest::keyClick(cfg->txtCfg, Qt::Key_O, Qt::AltModifier);
    }
    // The button shows the click for a moment first.
    if (!QTest::qWaitFor([cfg] { return !cfg->isVisible(); }, 5000)) cfg->close();
  });
  window_->aConfigExecute();
  EXPECT_FALSE(window_->Cfg()->isVisible());
  EXPECT_EQ("typed.test", window_->eServer->text().toStdString());
}

// Each row's shown controls: none overlaps another, none reaches past the
// row, every caption has its width, the toolbar hides no button, and the port
// edit has room for five digits.
void ExpectRowsWhole(const TrkFrmDropvanMain& window, const std::string& look) {
  for (QWidget* row : std::initializer_list<QWidget*>{window.ToolBar, window.pSource, window.pTarget}) {
    std::vector<QWidget*> shown;
    for (QWidget* child : row->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (child->isVisible()) shown.push_back(child);
    }
    for (size_t i = 0; i < shown.size(); ++i) {
      const std::string name = shown[i]->objectName().toStdString() + " at " + look;
      EXPECT_TRUE(row->rect().contains(shown[i]->geometry())) << name << " reaches past its row";
      if (qobject_cast<QLabel*>(shown[i]) || qobject_cast<QAbstractButton*>(shown[i])) {
        EXPECT_GE(shown[i]->width(), shown[i]->sizeHint().width()) << name << " is cut";
      }
      for (size_t j = i + 1; j < shown.size(); ++j) {
        EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
            << name << " overlaps " << shown[j]->objectName().toStdString();
      }
    }
  }
  for (QAction* action : window.ToolBar->actions()) {
    EXPECT_TRUE(action->isSeparator() || window.ToolBar->widgetForAction(action)->isVisible())
        << action->text().toStdString() << " left the toolbar at " << look;
  }
  // A five-digit port stays readable: its digits and the edit's frame and margins.
  EXPECT_GE(window.ePort->width(), window.ePort->fontMetrics().horizontalAdvance("65535") + 8)
      << "the port edit is too narrow at " << look;
}

// The rows are whole at the window's own font and two larger ones, at the
// window's size and shrunk as far as it goes, with both run buttons shown as
// during a run. CTest runs it with QT_SCALE_FACTOR 1.5 and 2 too.
TEST_F(WindowTest, NoControlOfARowOverlapsAnotherOrIsCutAtAnyFontSize) {
  Open();
  window_->bSearchConvert->Show(window_->aStop);
  window_->eUser->setText("a.rather.long.user.name@example.test");
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  QFont font = window_->font();
  const QSize size = window_->size();
  for (const double points : {font.pointSizeF(), 12.0, 16.0}) {
    for (const bool shrunk : {false, true}) {
      font.setPointSizeF(points);
      window_->setFont(font);
      window_->resize(shrunk ? QSize(1, size.height()) : size);
      QTest::qWait(50);  // the layouts follow the font and the size
      const std::string look = std::to_string(points) + " pt" + (shrunk ? ", shrunk" : "");
      ExpectRowsWhole(*window_, look);
    }
  }
}

}  // namespace
}  // namespace ui_testing
