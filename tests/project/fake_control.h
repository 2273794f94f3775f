#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "project/control.h"
#include "project/project.h"
#include "support/temp_dir.h"

namespace project_testing {

// A control with the published properties of an edit ("Text") or a check box
// ("Checked"), plus an integer "Width". Stands in for the window's widgets,
// which are adapted to TrkControl by the window module.
class FakeControl : public TrkControl {
 public:
  FakeControl(std::string name, std::string hint) : name_(std::move(name)), hint_(std::move(hint)) {
    values_["Text"] = "";
    values_["Checked"] = "False";
    values_["Width"] = "80";
  }

  std::string Name() const override { return name_; }
  std::string Hint() const override { return hint_; }
  std::vector<TrkPropInfo> Properties() const override {
    return {{"Text", TrkPropKind::kText, {}},
            {"Checked", TrkPropKind::kEnumeration, {"False", "True"}},
            {"Width", TrkPropKind::kInteger, {}}};
  }
  std::string ReadProperty(const std::string& name) const override {
    if (fail_reads) throw std::runtime_error("cannot read " + name);
    return values_.at(name);
  }
  void WriteProperty(const std::string& name, const std::string& text) override {
    if (fail_writes) throw std::runtime_error("cannot write " + name);
    values_[name] = text;
    ++writes;
  }

  std::string Get(const std::string& name) const { return values_.at(name); }
  void Put(const std::string& name, const std::string& text) { values_[name] = text; }

  bool fail_reads = false;
  bool fail_writes = false;
  int writes = 0;

 private:
  std::string name_;
  std::string hint_;
  std::map<std::string, std::string> values_;
};

// The controls the two main windows bind, in their binding order.
struct WindowControls {
  FakeControl eSource{"eSource", "Text"};
  FakeControl cSubdir{"cSubdir", "Checked"};
  FakeControl eTarget{"eTarget", "Text"};
  FakeControl eServer{"eServer", "Text"};
  FakeControl eUser{"eUser", "Text"};
  FakeControl ePassword{"ePassword", "Text"};
  FakeControl ePort{"ePort", "Text"};

  void BindTo(TrkProject& project) {
    for (FakeControl* c : {&eSource, &cSubdir, &eTarget, &eServer, &eUser, &ePassword, &ePort}) {
      project.BindControl(c);
    }
  }
};

// A project with this program's identity, for a program file "dropvan" in `dir`.
inline std::unique_ptr<TrkProject> MakeProject(const testing_support::TempDir& dir) {
  auto project = std::make_unique<TrkProject>(dir.dir() + "dropvan");
  project->ProgramKey = "dropvan";
  project->ProjectExt = ".batch-dropvan";
  project->ProjectFilter = "Dropvan Project|*.batch-dropvan";
  project->SourceFilter = "All Files (*.*)|*.*";
  project->SourceMask = "*.*";
  project->Title = "Dropvan";
  project->AutoTarget = false;
  project->PathDelimiter = '/';
  return project;
}

}  // namespace project_testing
