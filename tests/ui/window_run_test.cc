// Runs from the window against the real FTP test server: rows, Pause, Stop,
// repeated runs, what a run keeps from change, the end of a run with several
// workers, and the dispatcher that hands the workers' ends to the window.
#include <QTest>
#include <algorithm>
#include <chrono>
#include <functional>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/silent_server.h"
#include "ui/frm_cfg.h"
#include "ui/gui_dispatcher.h"
#include "ui/status_bar.h"
#include "window_fixture.h"

namespace ui_testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

testing_support::FtpFaults RefusedStores(int count) {
  testing_support::FtpFaults faults;
  faults.refuse_stor = count;
  return faults;
}

TEST_F(WindowTest, ListsTheFolderAndUploadsItShowingEachResult) {
  FtpServer server(FtpServer::Kind::kPyftpdlib, RefusedStores(1));
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  site_.Write("b.txt", "b");
  project_.Options().Set("TryTimes", "0");  // one try
  Open();
  FillIn(server, "/www");  // without its "/": run as "/www/"
  UploadAndWait();

  EXPECT_EQ("/www/", window_->eTarget->text().toStdString());
  // The server refuses the first store; the second file goes up.
  EXPECT_THAT(Rows(), ElementsAre(StartsWith("2 " + site_.dir() + "a.txt => [Error]"),
                                  "1 " + site_.dir() + "b.txt => /www/b.txt"));
  EXPECT_TRUE(std::filesystem::exists(server.root() / "www/b.txt"));
  TrkListModel& model = window_->Model();
  EXPECT_EQ(model.StateIcon(2).cacheKey(), model.data(model.index(0, 0), Qt::DecorationRole).value<QIcon>().cacheKey());
  EXPECT_EQ(model.StateIcon(1).cacheKey(), model.data(model.index(1, 0), Qt::DecorationRole).value<QIcon>().cacheKey());
  EXPECT_EQ(window_->aConvert, window_->bCreate->Shown()) << "back to idle";
  EXPECT_EQ(window_->StatusBar().Text().toStdString(), "2 of 2 files, 1 failed, 1 B sent") << "the run's last figures";
  EXPECT_FALSE(window_->StatusBar().BarShown()) << "the progress bar only shows during a run";
  EXPECT_EQ("Up&load", window_->aConvert->text().toStdString());
  EXPECT_FALSE(window_->bSearchConvert->isVisibleTo(window_.get())) << "no Stop button while idle";
}

TEST_F(WindowTest, PauseKeepsTheRowsAndUploadGoesOnWithTheRest) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  for (int i = 0; i < 30; ++i) site_.Write("f" + std::to_string(100 + i) + ".txt", std::string(1000, 'x'));
  Open();
  FillIn(server);
  QTest::mouseClick(window_->bCreate, Qt::LeftButton);
  EXPECT_EQ(window_->aPause, window_->bCreate->Shown());
  EXPECT_EQ(window_->aStop, window_->bSearchConvert->Shown());
  EXPECT_TRUE(window_->bSearchConvert->isVisibleTo(window_.get())) << "Stop shows during a run";
  QTest::mouseClick(window_->bCreate, Qt::LeftButton);  // Pause
  EXPECT_TRUE(window_->aStop->isEnabled() || !window_->IsRunning()) << "a pause must still be stoppable";
  WaitUntilIdle();
  const std::shared_ptr<TrkBatch> paused = window_->Batch();
  const int done_before = paused->Succeeded();
  ASSERT_LT(done_before, 30) << "the pause came too late to test anything";

  UploadAndWait();
  EXPECT_EQ(paused, window_->Batch()) << "the same batch goes on";
  EXPECT_EQ(30, paused->Succeeded());
  EXPECT_EQ(30u, Rows().size());
  int stores = 0;
  for (const std::string& command : server.Commands()) stores += command.rfind("STOR", 0) == 0;
  EXPECT_EQ(30, stores) << "no file went up twice";
}

TEST_F(WindowTest, StopDropsTheBatchAndTheNextUploadListsAfresh) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  for (int i = 0; i < 30; ++i) site_.Write("f" + std::to_string(100 + i) + ".txt", "x");
  Open();
  FillIn(server);
  QTest::mouseClick(window_->bCreate, Qt::LeftButton);
  // Rows to keep: a Stop at once may end the listing before it found a file.
  window_->Batch()->WaitForSearch();
  QTest::mouseClick(window_->bSearchConvert, Qt::LeftButton);  // Stop
  WaitUntilIdle();
  EXPECT_EQ(nullptr, window_->Batch());
  EXPECT_FALSE(Rows().empty()) << "the rows stay until the next listing";
  EXPECT_THAT(window_->StatusBar().Text().toStdString(), Not(HasSubstr("left"))) << "no run goes on";

  site_.Write("new.txt", "n");
  window_->aSearchExecute();
  EXPECT_TRUE(QTest::qWaitFor([this] { return window_->StatusBar().Text() == "31 files found"; }, 10000))
      << "a new listing shows what it found, not the stopped run: " << window_->StatusBar().Text().toStdString();
  UploadAndWait();
  EXPECT_EQ(31u, Rows().size());
  EXPECT_EQ(31, window_->Batch()->Succeeded());
}

TEST_F(WindowTest, AFinishedRunIsNeverRunAgainTheNextListsAfresh) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  site_.Write("a.txt", "a");
  Open();
  FillIn(server);
  UploadAndWait();
  const std::shared_ptr<TrkBatch> first = window_->Batch();
  site_.Write("b.txt", "b");
  UploadAndWait();

  EXPECT_NE(first, window_->Batch());
  EXPECT_THAT(Rows(), ElementsAre("1 " + site_.dir() + "a.txt => File identical.",
                                  "1 " + site_.dir() + "b.txt => /www/b.txt"));
}

TEST_F(WindowTest, TwoWorkersEndTheRunOnce) {
  FtpServer server(FtpServer::Kind::kPyftpdlib, RefusedStores(2));
  DROPVAN_REQUIRE_FTP_SERVER(server);
  for (int i = 0; i < 6; ++i) site_.Write("f" + std::to_string(i) + ".txt", "x");
  project_.Options().Set("ThreadsCount", "2");
  project_.Options().Set("TryTimes", "0");  // one try
  Open();
  FillIn(server);
  UploadAndWait();

  // Every row shows its file's end, and the window is ready for the next run.
  const std::vector<std::string> rows = Rows();
  ASSERT_EQ(6u, rows.size());
  EXPECT_EQ(4, std::count_if(rows.begin(), rows.end(), [](const std::string& row) { return row[0] == '1'; }));
  EXPECT_EQ(2, std::count_if(rows.begin(), rows.end(), [](const std::string& row) { return row[0] == '2'; }));
  // A failed row's tooltip says why, in the server's words.
  for (int row = 0; row < 6; ++row) {
    const QString tip = window_->Model().data(window_->Model().index(row, 2), Qt::ToolTipRole).toString();
    if (rows[static_cast<size_t>(row)][0] == '2') {
      EXPECT_EQ("550 STOR refused by test.", tip.toStdString());
    }
  }
  EXPECT_TRUE(window_->aConvert->isEnabled());
  EXPECT_FALSE(window_->aStop->isEnabled());
}

TEST_F(WindowTest, ClosingDuringARunStopsTheWorkersAndWaitsForThem) {
  FtpServer server;
  DROPVAN_REQUIRE_FTP_SERVER(server);
  for (int i = 0; i < 200; ++i) site_.Write("f" + std::to_string(i) + ".txt", "x");
  project_.Options().Set("ThreadsCount", "3");
  Open();
  FillIn(server);
  window_->show();
  QTest::mouseClick(window_->bCreate, Qt::LeftButton);
  std::weak_ptr<TrkBatch> batch = window_->Batch();
  // The run reads the batch and the project: drops change neither, and Config may not either.
  for (const std::string& name : {work_.Write("other.batch-dropvan", "Server=ftp.test\r\n"), site_.dir() + "f0.txt"}) {
    window_->FilesDropped(window_->lViewer->viewport(), {QString::fromStdString(name)});
  }
  EXPECT_EQ(batch.lock(), window_->Batch()) << "a drop replaced the batch being run";
  EXPECT_EQ(server.host(), window_->eServer->text().toStdString()) << "a dropped project was opened";
  QTimer::singleShot(0, [this] {
    EXPECT_FALSE(window_->Cfg()->btnOk->isEnabled()) << "Config's Ok during a run";
    window_->Cfg()->close();
  });
  window_->aConfigExecute();
  window_->close();

  EXPECT_FALSE(window_->IsRunning()) << "close returned before the workers ended";
  EXPECT_LT(batch.lock()->Succeeded(), 200) << "the run was not stopped";
  window_.reset();
  EXPECT_TRUE(batch.expired()) << "the window kept its batch";
}

// Closing the window ends the run within a second whatever its worker waits
// for: the pause between connect attempts after a refused password, or the
// greeting of a server that never answers. The file is left as it was, not
// failed.
TEST_F(WindowTest, ClosingEndsTheRunWithinASecondWhateverTheWorkerWaitsFor) {
  testing_support::FtpFaults refuse;
  refuse.refuse_login = -1;
  FtpServer refusing(FtpServer::Kind::kPyftpdlib, refuse);
  DROPVAN_REQUIRE_FTP_SERVER(refusing);
  testing_support::SilentServer silent;
  site_.Write("a.txt", "a");
  struct Row {
    const char* waiting_for;
    int port;
    std::function<bool()> in_the_wait;
  };
  const auto login_refused = [&] {
    const std::vector<std::string> commands = refusing.Commands();
    return std::any_of(commands.begin(), commands.end(), [](const std::string& c) { return c.rfind("PASS", 0) == 0; });
  };
  for (const Row& row : {Row{"a greeting", silent.port(), [&] { return silent.Called(); }},
                         Row{"the next connect attempt", refusing.port(), login_refused}}) {
    SCOPED_TRACE(row.waiting_for);
    Open();
    FillIn(refusing);
    window_->ePort->setText(QString::number(row.port));
    window_->show();
    QTest::mouseClick(window_->bCreate, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(row.in_the_wait, 10000)) << "the worker never called";
    QTest::qWait(300);  // into the wait
    ASSERT_TRUE(window_->IsRunning());
    const auto start = std::chrono::steady_clock::now();
    window_->close();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(window_->IsRunning());
    EXPECT_LT(took, std::chrono::seconds(1)) << "closing waited for the worker";
    EXPECT_THAT(Rows(), ElementsAre("0 " + site_.dir() + "a.txt => "));
  }
}

TEST_F(WindowTest, AWebAddressAsSourceIsOneRow) {
  Open();
  window_->eSource->setText("http://example.test/index.html");
  window_->aSearchExecute();
  window_->Model().Refresh();
  EXPECT_THAT(Rows(), ElementsAre("0 http://example.test/index.html => "));
}

// What a worker's call throws reaches the handler, with its message, and the
// worker goes on to its next call.
TEST(GuiDispatcherTest, AWorkersErrorsReachTheHandlerWithTheirMessages) {
  QObject receiver;
  std::vector<std::string> errors;
  TrkGuiDispatcher dispatcher(&receiver, [&](const std::string& message) { errors.push_back(message); });
  std::thread worker([&] {
    dispatcher.RunOnMain([] { throw std::runtime_error("550 Permission denied"); });
    dispatcher.RunOnMain([] { throw 550; });
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return errors.size() == 2; }, 10000)) << "the worker was never served";
  worker.join();
  EXPECT_THAT(errors, ElementsAre("550 Permission denied", "Unknown error"));
}

}  // namespace
}  // namespace ui_testing
