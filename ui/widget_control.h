#pragma once

#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "project/control.h"

// A widget as the project's option binding sees it: the control's name is the
// widget's object name, its hint names the bound property ("Text", "Checked"),
// and the published properties are the widget's Qt properties of text, integer
// and Boolean type, named with their first letter in capitals ("text" is
// "Text"), so the project copies option values through Qt's property system.
//
// The widget is not owned; once it is gone every read gives an error and every
// write is dropped. GUI thread only.
class TrkWidgetControl : public TrkControl {
 public:
  TrkWidgetControl(QWidget* widget, std::string hint);

  std::string Name() const override;
  std::string Hint() const override { return hint_; }
  std::vector<TrkPropInfo> Properties() const override;
  std::string ReadProperty(const std::string& name) const override;
  void WriteProperty(const std::string& name, const std::string& text) override;

  QWidget* Widget() const { return widget_; }

 private:
  // "Text" -> "text": the Qt property a published name stands for.
  static QByteArray QtName(const std::string& name);

  QPointer<QWidget> widget_;
  std::string hint_;
};
