// The main window's choices of source and target, drops, the list's menu, and
// the project and product actions.
#include <QFileInfo>
#include <QItemSelectionModel>

#include "batch/batch.h"
#include "project/platform.h"
#include "project/project.h"
#include "report/info.h"
#include "report/link_opener.h"
#include "ui/dialogs.h"
#include "ui/frm_about.h"
#include "ui/frm_cfg.h"
#include "ui/frm_main.h"
#include "ui/list_model.h"

namespace {

std::string FolderOf(const std::string& path) {
  const size_t separator = trk_platform::LastSeparator(path);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string WithSeparator(std::string folder) {
  if (folder.empty() || trk_platform::LastSeparator(folder) != folder.size() - 1) folder += '/';
  return folder;
}

// The lines of a multiple choice, each trimmed, without empty ones.
QStringList ChosenPaths(const std::string& text) {
  QStringList paths;
  for (const QString& line : QString::fromStdString(text).split('\n')) {
    if (!line.trimmed().isEmpty()) paths << line.trimmed();
  }
  return paths;
}

}  // namespace

void TrkFrmMain::bSourceClick() {
  if (IsRunning()) return;
  const std::string start = FolderOf(eSource->text().toStdString());
  const std::string chosen = dialogs_->BrowseForFolder(start);
  // Cancelled with nowhere to start from: "/" plus the mask would be the whole disk.
  if (chosen.empty()) return;
  const std::string folder = WithSeparator(chosen);
  eSource->setText(QString::fromStdString(folder + project_.SourceMask));
  SuggestTarget(folder);
}

void TrkFrmMain::bSourceFileClick() {
  if (IsRunning()) return;
  std::string chosen = eSource->text().toStdString();
  if (!dialogs_->OpenFileDialog(project_.SourceFilter, chosen, true)) return;
  const QStringList paths = ChosenPaths(chosen);
  if (paths.size() == 1) eSource->setText(paths.first());
  NewBatch();
  for (const QString& path : paths) AddFile(path.toStdString());
}

void TrkFrmMain::bTargetClick() {
  const std::string start = eTarget->text().toStdString();
  const std::string chosen = dialogs_->BrowseForFolder(start);
  if (chosen.empty()) return;
  eTarget->setText(QString::fromStdString(WithSeparator(chosen)));
}

void TrkFrmMain::aViewExecute() {
  if (eTarget->text().isEmpty()) {
    eTarget->setFocus();
    return;
  }
  opener_->Open(eTarget->text().toStdString());
}

void TrkFrmMain::FilesDropped(QWidget* target, const QStringList& names) {
  auto* edit = qobject_cast<QLineEdit*>(target);
  const bool on_list = target == lViewer || target == lViewer->viewport();
  if ((edit == nullptr && !on_list) || names.isEmpty()) return;
  if (names.size() == 1 && project_.IsProjectFile(names.first().toStdString())) {
    if (IsRunning()) return;  // the run reads the project's options
    project_.SetFileName(names.first().toStdString());
    project_.Open(true);
    UpdateCaption();
    return;
  }
  if (edit != nullptr) {
    edit->setText(names.first());
    SuggestTarget(FolderOf(names.first().toStdString()));
    return;
  }
  if (IsRunning()) return;  // the workers are drawing from the batch shown
  NewBatch();
  for (const QString& name : names) AddFile(name.toStdString());
}

void TrkFrmMain::OpenSelected(bool folder_only) {
  const QModelIndexList rows = lViewer->selectionModel()->selectedRows();
  if (rows.isEmpty()) return;
  int first = rows.first().row();
  for (const QModelIndex& index : rows) first = std::min(first, index.row());
  const std::string name = model_->FileName(first);
  opener_->Open(folder_only ? FolderOf(name) : name);
}

void TrkFrmMain::pm1Popup() {
  const bool selected = lViewer->selectionModel()->hasSelection();
  OpenSource1->setEnabled(selected);
  ViewSource1->setEnabled(selected);
}

void TrkFrmMain::pm2Popup() {
  pm2->clear();
  for (const std::string& path : project_.RecentFiles()) {
    QString caption = QString::fromStdString(path);
    caption.replace("&", "&&");  // a path is shown as it is, with no accelerator
    QAction* entry = pm2->addAction(caption);
    entry->setEnabled(QFileInfo::exists(QString::fromStdString(path)));
    const QString file = QString::fromStdString(path);
    connect(entry, &QAction::triggered, this, [this, file] {
      try {
        RecentProjectClick(file);
      } catch (const std::exception& e) {
        ReportError(e.what());
      }
    });
  }
}

void TrkFrmMain::RecentProjectClick(const QString& path) {
  if (IsRunning()) return;
  project_.SetFileName(path.toStdString());
  project_.Open(true);
  UpdateCaption();
}

void TrkFrmMain::ExportList1Click() {
  std::string path;
  if (!dialogs_->SaveFileDialog("Log File|*.log", ".log", path)) return;
  WriteListLog(path);
}

void TrkFrmMain::UpdateCaption() {
  const std::string file = project_.FileName().empty() ? "None" : project_.FileName();
  setWindowTitle(QString::fromStdString(project_.Title + " - " + file));
}

void TrkFrmMain::aOpenExecute() {
  if (IsRunning()) return;
  project_.Open(false);
  UpdateCaption();
}

void TrkFrmMain::aNewExecute() {
  if (IsRunning()) return;
  project_.NewProject();
  UpdateCaption();
}

void TrkFrmMain::aConfigExecute() {
  if (cfg_ == nullptr) cfg_ = std::make_unique<TrkFrmCfg>(*this, info_);
  cfg_->ShowModal();
  UpdateCaption();
}

void TrkFrmMain::aSaveExecute() {
  project_.Save();
  UpdateCaption();
}

void TrkFrmMain::aSaveAsExecute() {
  project_.SaveAs();
  UpdateCaption();
}

void TrkFrmMain::aUpdateExecute() { info_.OpenLink("download", "", ""); }

void TrkFrmMain::aHelpExecute() {
  info_.OpenLink("h", "", "");
  info_.AddCount("H", 0, 1);
}

void TrkFrmMain::aHomePageExecute() { info_.OpenLink("", "", ""); }
void TrkFrmMain::aSupportsExecute() { info_.OpenLink("supports", "", ""); }

void TrkFrmMain::aAboutExecute() {
  if (about_ != nullptr) about_->ShowAbout();
}
