#include "ui/dialogs.h"

#include <QFileDialog>
#include <QStringList>

#include "project/platform.h"

namespace {

// Splits `path` into its folder (with the separator) and its name.
void SplitPath(const std::string& path, QString& folder, QString& name) {
  const size_t separator = trk_platform::LastSeparator(path);
  if (separator == std::string::npos) {
    name = QString::fromStdString(path);
    return;
  }
  folder = QString::fromStdString(path.substr(0, separator + 1));
  name = QString::fromStdString(path.substr(separator + 1));
}

}  // namespace

QString TrkQtDialogs::QtFilter(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    const int bracket = description.lastIndexOf(" (");
    if (bracket > 0 && description.endsWith(')')) description.truncate(bracket);
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
#ifndef _WIN32
    if (patterns == "*.*") patterns = "*";
#endif
    filters << description + " (" + patterns + ")";
  }
  return filters.join(";;");
}

std::string TrkQtDialogs::BrowseForFolder(const std::string& start_folder) {
  const QString chosen = QFileDialog::getExistingDirectory(owner_, QString(), QString::fromStdString(start_folder));
  return chosen.isEmpty() ? start_folder : chosen.toStdString();
}

bool TrkQtDialogs::OpenFileDialog(const std::string& filter, std::string& file_name, bool multi_select) {
  std::string start = file_name;
  for (char& c : start) {
    if (c == '?') c = '*';
  }
  QString folder, name;
  SplitPath(start, folder, name);
  QFileDialog dialog(owner_, QString(), folder, QtFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(multi_select ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  if (!name.isEmpty()) dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  if (!multi_select) {
    file_name = dialog.selectedFiles().first().toStdString();
    return true;
  }
  std::string lines;
  for (const QString& path : dialog.selectedFiles()) lines += path.toStdString() + "\r\n";
  file_name = lines;
  return true;
}

bool TrkQtDialogs::SaveFileDialog(const std::string& filter, const std::string& default_ext,
                                  std::string& file_name) {
  QString folder, name;
  SplitPath(file_name, folder, name);
  QFileDialog dialog(owner_, QString(), folder, QtFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  QString suffix = QString::fromStdString(default_ext);
  if (suffix.startsWith('.')) suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);
  if (!name.isEmpty()) dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  file_name = dialog.selectedFiles().first().toStdString();
  return true;
}
