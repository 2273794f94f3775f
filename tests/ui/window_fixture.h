#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTest>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "batch/batch.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "support/ftp_server.h"
#include "support/recording_opener.h"
#include "support/temp_dir.h"
#include "ui/dialogs.h"
#include "ui/frm_dropvan_main.h"
#include "ui/list_model.h"

namespace ui_testing {

using testing_support::FtpServer;
using testing_support::TempDir;

// Dialogs answered by the test: each call takes the next answer (an empty
// optional is a cancel); a call with no answer left cancels.
class ScriptedDialogs : public TrkDialogs {
 public:
  std::vector<std::string> answers;
  std::vector<std::string> asked;  // the start text of each call

  std::string BrowseForFolder(const std::string& start) override {
    std::string answer;
    return Next(start, answer) ? answer : start;
  }
  bool OpenFileDialog(const std::string&, std::string& name, bool) override { return Next(name, name); }
  bool SaveFileDialog(const std::string&, const std::string&, std::string& name) override { return Next(name, name); }

 private:
  bool Next(const std::string& start, std::string& out) {
    asked.push_back(start);
    if (answers.empty()) return false;
    out = answers.front();
    answers.erase(answers.begin());
    return true;
  }
};

// The program's window over a project of its own, with links and opened files
// recorded instead of opened, and a site folder to upload.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest()
      : info_(TrkDropvanIdentity(), work_.dir() + "dropvan",
              std::make_unique<testing_support::RecordingOpener>(&links_)),
        project_(work_.dir() + "dropvan") {
    TrkSetProjectIdentity(project_);
  }
  ~WindowTest() override { window_.reset(); }

  // Makes the window; `options` become the start-up project's (its file in work_).
  TrkFrmDropvanMain& Open(const std::vector<std::string>& options = {}) {
    if (!options.empty()) {
      project_file_ = work_.dir() + "site.batch-dropvan";
      std::ofstream(project_file_) << Join(options);
      project_.SetFileName(project_file_);
    }
    window_.reset();  // its end unbinds the project's controls: before the next window binds its own
    window_ = std::make_unique<TrkFrmDropvanMain>(project_, info_, &filter_);
    auto dialogs = std::make_unique<ScriptedDialogs>();
    dialogs_ = dialogs.get();
    window_->SetDialogs(std::move(dialogs));
    window_->SetOpener(std::make_unique<testing_support::RecordingOpener>(&opened_));
    return *window_;
  }

  // Points the window at the test server and the site.
  void FillIn(const FtpServer& server, const std::string& target = "/www/") {
    window_->eSource->setText(QString::fromStdString(site_.dir() + "*"));
    window_->eTarget->setText(QString::fromStdString(target));
    window_->eServer->setText(QString::fromStdString(server.host()));
    window_->ePort->setText(QString::number(server.port()));
    window_->eUser->setText(QString::fromStdString(server.user()));
    window_->ePassword->setText(QString::fromStdString(server.password()));
  }

  // Clicks the button that shows the run action, then waits for the run's end.
  void UploadAndWait() {
    QTest::mouseClick(window_->bCreate, Qt::LeftButton);
    ASSERT_TRUE(window_->IsRunning()) << "the run did not start";
    WaitUntilIdle();
  }
  void WaitUntilIdle() {
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->IsRunning(); }, 60000)) << "the run did not end";
  }

  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    TrkListModel& model = window_->Model();
    for (int row = 0; row < model.rowCount(); ++row) {
      rows.push_back(std::to_string(model.State(row)) + " " + model.FileName(row) + " => " + model.Result(row));
    }
    return rows;
  }

  static std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
  }

  TempDir work_, site_;
  std::vector<std::string> links_, opened_;
  TrkInfo info_;
  TrkProject project_;
  TrkMatch filter_;
  std::string project_file_;
  std::unique_ptr<TrkFrmDropvanMain> window_;
  ScriptedDialogs* dialogs_ = nullptr;  // owned by the window
};

}  // namespace ui_testing
