#include "ui/window_entry.h"

#include <QApplication>
#include <exception>
#include <ostream>

#include "project/project.h"
#include "report/info.h"
#include "ui/frm_about.h"
#include "ui/frm_dropvan_main.h"

namespace {

// Errors that reach the event loop go to the program's handler (a usage count
// and an error-report link) and the program goes on; nothing is shown.
class TrkApplication : public QApplication {
 public:
  TrkApplication(int& argc, char** argv, TrkInfo& info) : QApplication(argc, argv), info_(info) {}

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      info_.ReportError(e.what());
    } catch (...) {
      info_.ReportError("Unknown error");
    }
    return false;
  }

 private:
  TrkInfo& info_;
};

}  // namespace

// Outside any namespace and outside the C linkage of the entry point, as the
// resource macro requires.
static void InitImages() { Q_INIT_RESOURCE(images); }

extern "C" int TrkWindowMain(const TrkWindowRun& run) {
  // The toolkit gets the program's name alone: the first argument is the
  // project's, and must not be read as a toolkit option.
  int argc = 1;
  std::string name = run.exe_name;
  char* argv[] = {name.data(), nullptr};
  TrkApplication application(argc, argv, *run.info);
  QApplication::setApplicationName(QString::fromStdString(run.project->Title));
  InitImages();
  int exit_code = 0;
  {
    TrkFrmDropvanMain main(*run.project, *run.info, run.filter);
    TrkFrmDropvanAbout about(*run.project, &main);
    main.SetAbout(&about);
    about.ShowAbout();
    main.show();
    QApplication::exec();
    exit_code = main.ExitCode();
  }
  if (exit_code != 0 && run.err != nullptr) {
    *run.err << run.project->Title << ": the run log \"" << run.project->GetOption("LogFile")
             << "\" could not be written" << std::endl;
  }
  return exit_code;
}
