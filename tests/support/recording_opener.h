#pragma once

#include <string>
#include <vector>

#include "report/link_opener.h"

namespace testing_support {

// Keeps the links instead of opening them, so no test ever starts a browser.
class RecordingOpener : public TrkLinkOpener {
 public:
  explicit RecordingOpener(std::vector<std::string>* links) : links_(links) {}
  bool Open(const std::string& link) override {
    links_->push_back(link);
    return true;
  }

 private:
  std::vector<std::string>* links_;  // not owned; the test's
};

}  // namespace testing_support
