// The window without a person at it (RunAndClose, Daemon), and its project,
// drop, target and list handling.
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <filesystem>

#include "project/text_file.h"
#include "ui/frm_about.h"
#include "ui/frm_cfg.h"
#include "window_fixture.h"

namespace ui_testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Caption(const QWidget& window) { return window.windowTitle().toStdString(); }

void Drop(QWidget* target, const std::vector<std::string>& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const auto& path : paths) urls << QUrl::fromLocalFile(QString::fromStdString(path));
  data.setUrls(urls);
  // As the file manager sends them: the drag enters, then it drops.
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
}

TEST_F(WindowTest, RunAndCloseWritesTheListLogAndCloses) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  const std::string log = work_.dir() + "run.log";
  Open({"Source=" + site_.dir() + "*", "Target=/www/", "Server=" + server.host(),
        "Port=" + std::to_string(server.port()), "User=" + server.user(), "Password=" + server.password(),
        "RunAndClose=True", "LogFile=" + log});
  window_->show();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->isVisible(); }, 60000)) << "the window did not close";
  EXPECT_EQ("[Success] => " + site_.dir() + "a.txt => /www/a.txt\r\n", work_.Read("run.log"));
}

TEST_F(WindowTest, RunAndCloseRefusesDeletionsThatCouldReachTheSiteAndExitsOne) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  Open({"Source=" + site_.dir() + "*", "Target=/www/", "Server=" + server.host(),
        "Port=" + std::to_string(server.port()), "User=" + server.user(), "Password=" + server.password(),
        "RunAndClose=True", "DeleteRemoved=True", "DeleteTo=/"});
  window_->show();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->isVisible(); }, 60000)) << "the window did not close";
  EXPECT_EQ(1, window_->ExitCode());
  EXPECT_EQ("1", info_.Count("E")) << "the refusal is reported";
  EXPECT_EQ("", info_.Count("C")) << "no run started";
  EXPECT_FALSE(std::filesystem::exists(server.root() / "www" / "a.txt"));
}

TEST_F(WindowTest, DaemonRepeatsUntilStopWhileTheWindowStaysResponsive) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  Open({"Source=" + site_.dir() + "*", "Target=/www/", "Server=" + server.host(),
        "Port=" + std::to_string(server.port()), "User=" + server.user(), "Password=" + server.password(),
        "Daemon=200"});
  window_->show();
  ASSERT_TRUE(QTest::qWaitFor([this] { return info_.Count("C") == "3"; }, 20000)) << "no third run";
  ASSERT_TRUE(QTest::qWaitFor([this] { return window_->IsWaitingToRepeat(); }, 20000));
  EXPECT_TRUE(window_->aStop->isEnabled()) << "Stop must end the pause";
  window_->aStop->trigger();
  QTest::qWait(600);
  EXPECT_EQ("3", info_.Count("C")) << "a run started after Stop";
  EXPECT_TRUE(window_->isVisible()) << "Stop keeps the window open";

  // Upload starts the repetition again. Stop is pressed during its first
  // repeated run: Pause turns on when a run has started, and the Stop comes
  // from the event loop after that, as a person's click would.
  QObject::connect(window_->aPause, &QAction::changed, window_.get(), [this] {
    if (window_->aPause->isEnabled() && info_.Count("C") == "5") window_->aStop->trigger();
  }, Qt::QueuedConnection);
  window_->aConvert->trigger();
  ASSERT_TRUE(QTest::qWaitFor([this] { return info_.Count("C") == "5" && !window_->IsRunning(); }, 20000))
      << "Upload did not start the repetition again";
  EXPECT_FALSE(window_->IsWaitingToRepeat()) << "Stop during a run must end the repetition";

  // Upload by hand in the pause ends the pause; so does closing the window.
  window_->aConvert->trigger();
  ASSERT_TRUE(QTest::qWaitFor([this] { return window_->IsWaitingToRepeat(); }, 20000));
  window_->aConvert->trigger();
  EXPECT_FALSE(window_->IsWaitingToRepeat()) << "Upload in the pause left it on";
  ASSERT_TRUE(QTest::qWaitFor([this] { return window_->IsWaitingToRepeat(); }, 20000));
  window_->close();
  EXPECT_FALSE(window_->IsWaitingToRepeat()) << "closing left the pause on";
}

TEST_F(WindowTest, CaptionNamesTheProjectFileOrNone) {
  Open({"Source=/srv/site/*"});
  EXPECT_EQ("Dropvan - " + project_file_, Caption(*window_));
  window_->aNew->trigger();
  EXPECT_EQ("Dropvan - None", Caption(*window_));
  for (QLineEdit* edit : {window_->eSource, window_->eTarget, window_->eServer, window_->ePort, window_->eUser,
                          window_->ePassword}) {
    EXPECT_TRUE(edit->text().isEmpty()) << edit->objectName().toStdString() << " after New";
  }
}

TEST_F(WindowTest, RecentProjectsAreListedAndThoseGoneAreGrey) {
  const std::string kept = work_.Write("kept.batch-dropvan", "Server=kept.test\r\n");
  for (const std::string& file : {work_.dir() + "gone.batch-dropvan", kept}) {
    project_.SetFileName(file);
    project_.AddToRecent();
  }
  Open();  // starts with the last one, "kept"
  window_->aNew->trigger();
  window_->pm2Popup();
  window_->pm2Popup();  // each popup lists them afresh
  const QList<QAction*> entries = window_->pm2->actions();
  ASSERT_EQ(2, entries.size());
  EXPECT_EQ(kept, entries[0]->text().toStdString()) << "the latest first";
  EXPECT_TRUE(entries[0]->isEnabled());
  EXPECT_FALSE(entries[1]->isEnabled()) << "its file is gone";
  entries[0]->trigger();
  EXPECT_EQ("Dropvan - " + kept, Caption(*window_));
  EXPECT_EQ("kept.test", window_->eServer->text().toStdString());
}

TEST_F(WindowTest, DropsOpenProjectsFillEditsAndListFiles) {
  Open();
  const std::string project = work_.Write("other.batch-dropvan", "Source=/srv/other/*\r\nServer=ftp.test\r\n");
  const std::string a = site_.Write("a.txt", "a"), b = site_.Write("b.txt", "b");

  Drop(window_->lViewer->viewport(), {project});
  EXPECT_EQ("Dropvan - " + project, Caption(*window_));
  EXPECT_EQ("ftp.test", window_->eServer->text().toStdString());

  Drop(window_->eUser, {a, b});
  EXPECT_EQ(a, window_->eUser->text().toStdString()) << "only the first name goes into an edit";

  Drop(window_->lViewer->viewport(), {project, a});
  window_->Model().Refresh();
  EXPECT_THAT(Rows(), ElementsAre("0 " + project + " => ", "0 " + a + " => ")) << "with others, a project is a file";

  Drop(window_->bSourceFile, {b});
  window_->Model().Refresh();
  EXPECT_EQ(2u, Rows().size()) << "a drop on a button does nothing";
}

TEST_F(WindowTest, TargetsThatCannotBeAFolderAreShortenedBeforeTheRun) {
  const std::string file = site_.Write("list.txt", "x");
  struct Row {
    std::string typed, run_as;
  };
  for (const Row& row : {Row{"/www", "/www/"}, Row{"/www/*.html", "/www/"}, Row{"/www/pages/a?.html", "/www/pages/"},
                         Row{"/www/abcdef:x/y", "/www/"}, Row{"/abcdefghij:x/y", "/"}, Row{"x*", ""},
                         Row{"/abcdefghi:x/y", "/"}, Row{"/abcdefgh:x/y", "/abcdefgh:x/y/"},
                         Row{file, site_.dir()}}) {
    Open();
    window_->eSource->clear();  // the run stops at the empty source, after the target's turn
    window_->eTarget->setText(QString::fromStdString(row.typed));
    window_->aConvertExecute();
    EXPECT_EQ(row.run_as, window_->eTarget->text().toStdString()) << "typed " << row.typed;
    EXPECT_FALSE(window_->IsRunning());
  }
}

TEST_F(WindowTest, ConfigShowsWhatWasJustTypedAndOkWithNoTextEmptiesTheControls) {
  Open({"Source=/srv/site/*", "Subdir=True", "Server=ftp.test"});
  window_->eSource->setText("/srv/typed/*");
  std::string shown;
  QTimer::singleShot(0, [&] {
    TrkFrmCfg* cfg = window_->Cfg();
    shown = cfg->txtCfg->toPlainText().toStdString();
    cfg->txtCfg->clear();
    QTest::mouseClick(cfg->btnOk, Qt::LeftButton);
  });
  window_->aConfigExecute();

  EXPECT_NE(std::string::npos, shown.find("Source=/srv/typed/*")) << shown;
  EXPECT_TRUE(window_->eSource->text().isEmpty());
  EXPECT_TRUE(window_->eServer->text().isEmpty());
  EXPECT_FALSE(window_->cSubdir->isChecked());
  EXPECT_EQ("Dropvan - " + project_file_, Caption(*window_)) << "the project file stays";
  EXPECT_TRUE(project_.Options().Lines().empty());
}

// Config opened during a run: "&Ok" is disabled with a hint that says why and
// enabled as soon as the run ends; Escape closes the dialog as Cancel does.
TEST_F(WindowTest, ConfigDuringARunTakesOkOnlyOnceItEndsAndEscapeCancels) {
  testing_support::FtpFaults hang;  // the store hangs until the run is stopped
  hang.stall = 1;
  hang.stall_seconds = 30;
  FtpServer server(FtpServer::Kind::kPyftpdlib, hang);
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  Open();
  FillIn(server);
  window_->show();
  QTest::mouseClick(window_->bCreate, Qt::LeftButton);
  ASSERT_TRUE(window_->IsRunning());
  std::vector<std::pair<bool, std::string>> ok;  // enabled, hint: during the run, after it
  QTimer::singleShot(0, [&] {
    TrkFrmCfg* cfg = window_->Cfg();
    ok.emplace_back(cfg->btnOk->isEnabled(), cfg->btnOk->toolTip().toStdString());
    window_->aStopExecute();
    const bool ended = QTest::qWaitFor([&] { return !window_->IsRunning(); }, 5000);
    if (ended) ok.emplace_back(cfg->btnOk->isEnabled(), cfg->btnOk->toolTip().toStdString());
    cfg->txtCfg->setPlainText("Server=typed.test");
    QTest::keyClick(cfg->txtCfg, Qt::Key_Escape);
  });
  window_->aConfigExecute();

  EXPECT_FALSE(window_->Cfg()->isVisible()) << "Escape left Config open";
  EXPECT_EQ(server.host(), window_->eServer->text().toStdString()) << "Escape applied the text";
  ASSERT_EQ(2u, ok.size()) << "the stopped run did not end";
  EXPECT_FALSE(ok[0].first) << "Ok during the run";
  EXPECT_THAT(ok[0].second, HasSubstr("run")) << "no hint says why Ok is disabled";
  EXPECT_TRUE(ok[1].first) << "Ok after the run ended";
  EXPECT_EQ("", ok[1].second);
}

TEST_F(WindowTest, ExportTheListWritesRowsWithoutAResultAsRunning) {
  site_.Write("a.txt", "a");
  Open();
  window_->eSource->setText(QString::fromStdString(site_.dir() + "*"));
  window_->aSearchExecute();
  window_->Batch()->WaitForSearch();
  dialogs_->answers = {work_.dir() + "list.log"};
  window_->ExportList1Click();
  EXPECT_EQ("[Running] => " + site_.dir() + "a.txt => \r\n", work_.Read("list.log"));
}

TEST_F(WindowTest, TheAboutWindowClosesOnAClick) {
  Open();
  TrkFrmDropvanAbout about(project_, window_.get());
  about.ShowAbout();  // the start-up call shows nothing
  EXPECT_FALSE(about.isVisible());
  QTimer::singleShot(0, [&] { QTest::mouseClick(about.lblVersion, Qt::LeftButton); });
  about.ShowAbout();
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ("Dropvan", about.lblProduct->text().toStdString());
  EXPECT_EQ("2024.16.1026.3528", about.lblVersion->text().toStdString());
}

}  // namespace
}  // namespace ui_testing
