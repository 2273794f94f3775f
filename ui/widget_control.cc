#include "ui/widget_control.h"

#include <QMetaProperty>
#include <QVariant>

#include "project/error.h"

TrkWidgetControl::TrkWidgetControl(QWidget* widget, std::string hint) : widget_(widget), hint_(std::move(hint)) {}

std::string TrkWidgetControl::Name() const { return widget_ ? widget_->objectName().toStdString() : std::string(); }

std::vector<TrkPropInfo> TrkWidgetControl::Properties() const {
  std::vector<TrkPropInfo> list;
  if (!widget_) return list;
  const QMetaObject* meta = widget_->metaObject();
  for (int i = 0; i < meta->propertyCount(); ++i) {
    const QMetaProperty property = meta->property(i);
    std::string name = property.name();
    if (name.empty() || !property.isWritable()) continue;
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    switch (property.metaType().id()) {
      case QMetaType::QString: list.push_back({name, TrkPropKind::kText, {}}); break;
      case QMetaType::Int: list.push_back({name, TrkPropKind::kInteger, {}}); break;
      case QMetaType::Bool: list.push_back({name, TrkPropKind::kEnumeration, {"False", "True"}}); break;
      default: break;  // geometry, colours and the like are no option values
    }
  }
  return list;
}

QByteArray TrkWidgetControl::QtName(const std::string& name) {
  QByteArray qt_name = QByteArray::fromStdString(name);
  if (!qt_name.isEmpty()) qt_name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(qt_name[0])));
  return qt_name;
}

std::string TrkWidgetControl::ReadProperty(const std::string& name) const {
  if (!widget_) throw TrkError("The control of " + name + " is gone");
  const QVariant value = widget_->property(QtName(name).constData());
  if (!value.isValid()) throw TrkError("The control has no property " + name);
  if (value.metaType().id() == QMetaType::Bool) return value.toBool() ? "True" : "False";
  return value.toString().toStdString();
}

void TrkWidgetControl::WriteProperty(const std::string& name, const std::string& text) {
  if (!widget_) return;
  const QByteArray qt_name = QtName(name);
  const QVariant current = widget_->property(qt_name.constData());
  QVariant value = QString::fromStdString(text);
  if (current.metaType().id() == QMetaType::Bool) value = (text == "True");
  if (current.metaType().id() == QMetaType::Int) value = QString::fromStdString(text).toInt();
  widget_->setProperty(qt_name.constData(), value);
}
