// The dialog helpers on Qt's dialogs: cancelling leaves the caller's text.
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>

#include "window_fixture.h"

namespace ui_testing {
namespace {

// Cancels the next modal dialog as soon as it is open.
void CancelNextDialog() {
  QTimer::singleShot(0, [] {
    if (!QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000)) return;
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
}

TEST(DialogsTest, CancellingLeavesTheCallersTextAsItWas) {
  TrkQtDialogs dialogs(nullptr);
  TempDir folder;
  CancelNextDialog();
  EXPECT_EQ(folder.dir(), dialogs.BrowseForFolder(folder.dir()));
  std::string name = folder.dir() + "*.*";
  CancelNextDialog();
  EXPECT_FALSE(dialogs.OpenFileDialog("All Files (*.*)|*.*", name, true));
  EXPECT_EQ(folder.dir() + "*.*", name);
  name = folder.dir() + "list.log";
  CancelNextDialog();
  EXPECT_FALSE(dialogs.SaveFileDialog("Log File|*.log", ".log", name));
  EXPECT_EQ(folder.dir() + "list.log", name);
}

TEST(DialogsTest, FiltersBecomeQtNameFilters) {
  struct Row {
    const char *filter, *qt;
  };
  for (const Row& row : {Row{"Log File|*.log", "Log File (*.log)"},
                         Row{"All Files (*.*)|*.*", "All Files (*)"},
                         Row{"Dropvan Project|*.batch-dropvan|All Files (*.*)|*.*",
                             "Dropvan Project (*.batch-dropvan);;All Files (*)"},
                         Row{"Pages|*.htm;*.html", "Pages (*.htm *.html)"}}) {
    EXPECT_EQ(row.qt, TrkQtDialogs::QtFilter(row.filter).toStdString()) << row.filter;
  }
}

}  // namespace
}  // namespace ui_testing
