#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

// The folder-browse, open-file and save-file dialogs with the settings the
// program always uses. Cancelling any of them leaves the caller's text as it
// was. The window reaches them through this interface so that its handlers can
// be driven without a person at the dialogs.
//
// Filters are "description|pattern" pairs joined with "|", as in
// "Log File|*.log".
class TrkDialogs {
 public:
  virtual ~TrkDialogs() = default;
  // The chosen folder (no trailing separator except for the root), or
  // `start_folder` when cancelled.
  virtual std::string BrowseForFolder(const std::string& start_folder) = 0;
  // Files that must exist. On confirm `file_name` becomes the chosen path, or,
  // with `multi_select`, every chosen path followed by CR LF.
  virtual bool OpenFileDialog(const std::string& filter, std::string& file_name, bool multi_select) = 0;
  // Adds `default_ext` to a typed name without one and asks before overwriting.
  virtual bool SaveFileDialog(const std::string& filter, const std::string& default_ext,
                              std::string& file_name) = 0;
};

// The dialogs on Qt's file dialogs, owned by (centred on) `owner`. GUI thread.
class TrkQtDialogs : public TrkDialogs {
 public:
  explicit TrkQtDialogs(QWidget* owner) : owner_(owner) {}
  std::string BrowseForFolder(const std::string& start_folder) override;
  bool OpenFileDialog(const std::string& filter, std::string& file_name, bool multi_select) override;
  bool SaveFileDialog(const std::string& filter, const std::string& default_ext, std::string& file_name) override;

  // "All Files (*.*)|*.*|Log File|*.log" as Qt's name filters:
  // "All Files (*);;Log File (*.log)". "*.*" stands for every file, as the
  // description says, though a name without a dot would not match it here.
  static QString QtFilter(const std::string& filter);

 private:
  QPointer<QWidget> owner_;
};
