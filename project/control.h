#pragma once

#include <memory>
#include <string>
#include <vector>

class TrkPropList;

// The kinds of published property the binding distinguishes. A Boolean is an
// enumeration with the identifiers "False" and "True".
enum class TrkPropKind { kText, kInteger, kEnumeration };

struct TrkPropInfo {
  std::string name;
  TrkPropKind kind = TrkPropKind::kText;
  // Enumeration identifiers in order (for a Boolean: "False", "True").
  std::vector<std::string> identifiers;
};

// A window control as the project sees it: a name, the name of the property it
// binds (its hint text), and published properties read and written as text. The
// window adapts its widgets to this; nothing here depends on a widget toolkit.
//
// Thread safety: main thread only, like the controls themselves.
class TrkControl {
 public:
  virtual ~TrkControl() = default;

  virtual std::string Name() const = 0;
  // The hint text: the name of the property bound to the option.
  virtual std::string Hint() const = 0;
  // The published properties of the control's class.
  virtual std::vector<TrkPropInfo> Properties() const = 0;
  // A property's value: the text, the integer in decimal, or the enumeration's
  // identifier. May throw when the property cannot be read.
  virtual std::string ReadProperty(const std::string& name) const = 0;
  // Sets a property from text that TrkPropList has already checked (a decimal
  // integer, or one of the enumeration's identifiers). May throw.
  virtual void WriteProperty(const std::string& name, const std::string& text) = 0;

  // The control's accessor, kept with it like a tag: null means none yet. Not
  // owned; the project that made it owns it.
  TrkPropList* Accessor() const { return accessor_; }
  void SetAccessor(TrkPropList* accessor) { accessor_ = accessor; }

 private:
  TrkPropList* accessor_ = nullptr;
};

// Reads and writes one control's published properties by name as text, with the
// rules the option binding relies on. Errors of the control are swallowed: an
// unreadable property reads as empty, an unsuitable text leaves it as it was.
class TrkPropList {
 public:
  // `instance` is not owned and must outlive the accessor.
  explicit TrkPropList(TrkControl* instance);

  int PropCount() const { return static_cast<int>(prop_list_.size()); }
  TrkControl* Instance() const { return instance_; }

  std::string GetValue(const std::string& prop_name) const;
  // Enumerations: an empty text counts as "False"; identifiers match without
  // regard to letter case; a text naming no identifier changes nothing. Integers:
  // a text that is no decimal integer changes nothing. Texts are set as given.
  void SetValue(const std::string& prop_name, const std::string& text);

 private:
  const TrkPropInfo* Find(const std::string& prop_name) const;

  TrkControl* instance_;
  std::vector<TrkPropInfo> prop_list_;
};
