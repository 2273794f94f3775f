#include "project/control.h"

#include <exception>

#include "project/ascii.h"
#include "project/options.h"

namespace {

// The text to write for `info`, or false when `text` does not suit it.
bool CanonicalText(const TrkPropInfo& info, const std::string& text, std::string* out) {
  switch (info.kind) {
    case TrkPropKind::kEnumeration: {
      const std::string wanted = text.empty() ? std::string("False") : text;
      for (const auto& identifier : info.identifiers) {
        if (TrkSameTextIgnoreCase(identifier, wanted)) {
          *out = identifier;
          return true;
        }
      }
      return false;
    }
    case TrkPropKind::kInteger: {
      // Two different fallbacks agree only when the text is a number.
      int value = TrkParseInt(text, 0);
      if (value != TrkParseInt(text, 1)) return false;
      *out = std::to_string(value);
      return true;
    }
    case TrkPropKind::kText:
      *out = text;
      return true;
  }
  return false;
}

}  // namespace

TrkPropList::TrkPropList(TrkControl* instance) : instance_(instance) {
  try {
    prop_list_ = instance_->Properties();
  } catch (const std::exception&) {
    prop_list_.clear();
  }
}

const TrkPropInfo* TrkPropList::Find(const std::string& prop_name) const {
  for (const auto& info : prop_list_) {
    if (TrkSameTextIgnoreCase(info.name, prop_name)) return &info;
  }
  return nullptr;
}

std::string TrkPropList::GetValue(const std::string& prop_name) const {
  if (Find(prop_name) == nullptr) return std::string();
  try {
    return instance_->ReadProperty(prop_name);
  } catch (const std::exception&) {
    return std::string();
  }
}

void TrkPropList::SetValue(const std::string& prop_name, const std::string& text) {
  const TrkPropInfo* info = Find(prop_name);
  std::string value;
  if (info == nullptr || !CanonicalText(*info, text, &value)) return;
  try {
    instance_->WriteProperty(prop_name, value);
  } catch (const std::exception&) {
    // An unsuitable value leaves the control as it was.
  }
}
