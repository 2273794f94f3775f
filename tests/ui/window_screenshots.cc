// Takes pictures of the window as a user sees it: idle with a project, during
// an upload to the FTP test server, and the Config and About windows. Run it
// under Xvfb with scripts/screenshot; the pictures go into the folder given,
// their names ending in the second argument (the scale they were taken at).
#include <QApplication>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/program.h"
#include "batch/batch.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "support/ftp_server.h"
#include "support/recording_opener.h"
#include "support/temp_dir.h"
#include "ui/frm_about.h"
#include "ui/frm_cfg.h"
#include "ui/frm_dropvan_main.h"
#include "ui/list_model.h"

namespace {

using testing_support::FtpServer;
using testing_support::TempDir;

QString suffix;  // before ".png" in every name

bool Save(QWidget& widget, const QString& folder, const char* name) {
  const QString path = QDir(folder).filePath(QString(name).replace(".png", suffix + ".png"));
  const bool saved = widget.grab().save(path);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
  return saved;
}

// A small site: pages, styles and pictures in a few folders.
void MakeSite(const TempDir& site) {
  const char* folders[] = {"", "css/", "img/", "blog/2026/"};
  for (int i = 0; i < 400; ++i) {
    const std::string folder = folders[i % 4];
    const char* ext = i % 4 == 2 ? ".png" : i % 4 == 1 ? ".css" : ".html";
    site.Write(folder + "page" + std::to_string(i) + ext, std::string(50000 + i * 100, 'x'));
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  Q_INIT_RESOURCE(images);
  const QString folder = argc > 1 ? argv[1] : ".";
  suffix = argc > 2 ? argv[2] : "";
  TempDir work, site;
  MakeSite(site);
  // Two stores hang for a while and one is refused, so the picture catches
  // finished, failed and pending rows together.
  testing_support::FtpFaults faults;
  faults.refuse_stor = 1;
  faults.stall = 2;
  faults.stall_seconds = 4;
  FtpServer server(FtpServer::Kind::kPyftpdlib, faults);
  if (!server.available()) {
    std::fprintf(stderr, "no FTP test server: %s\n", server.why_unavailable().c_str());
    return 1;
  }
  std::vector<std::string> links;
  TrkInfo info(TrkDropvanIdentity(), work.dir() + "dropvan",
               std::make_unique<testing_support::RecordingOpener>(&links));
  TrkProject project(work.dir() + "dropvan");
  TrkSetProjectIdentity(project);
  const std::string project_file = work.dir() + "mysite.batch-dropvan";
  std::ofstream(project_file) << "Source=" << site.dir() << "*\r\nSubdir=True\r\nTarget=/www/\r\nServer="
                              << server.host() << "\r\nPort=" << server.port() << "\r\nUser=" << server.user()
                              << "\r\nPassword=" << server.password() << "\r\nThreadsCount=2\r\nTryTimes=0\r\n";
  project.SetFileName(project_file);
  TrkMatch filter;
  TrkFrmDropvanMain window(project, info, &filter);
  window.resize(1000, 520);
  window.show();
  QTest::qWait(300);
  bool saved = Save(window, folder, "window-idle.png");

  QTest::mouseClick(window.bCreate, Qt::LeftButton);
  if (!QTest::qWaitFor([&] { return window.Batch() && window.Batch()->Succeeded() >= 25; }, 20000)) return 1;
  QTest::qWait(60);  // one refresh of the list
  // Down to where the workers are, so that pending rows show too.
  const TrkListModel& model = window.Model();
  int last_done = 0;
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.State(row) != 0) last_done = row;
  }
  window.lViewer->scrollTo(model.index(last_done, 0), QAbstractItemView::PositionAtCenter);
  saved &= Save(window, folder, "window-upload.png");
  if (!QTest::qWaitFor([&] { return !window.IsRunning(); }, 30000)) return 1;

  QTimer::singleShot(300, [&] {
    saved &= Save(*window.Cfg(), folder, "window-config.png");
    window.Cfg()->close();
  });
  window.aConfigExecute();
  TrkFrmDropvanAbout about(project, &window);
  about.ShowAbout();
  QTimer::singleShot(300, [&] {
    saved &= Save(about, folder, "window-about.png");
    about.close();
  });
  about.ShowAbout();
  return saved ? 0 : 1;
}
