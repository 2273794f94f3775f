#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "report/link_builder.h"
#include "report/link_opener.h"
#include "report/usage_counters.h"

// The program-wide product information: opens the product's links, keeps the
// usage counters that travel with them, and reports unhandled errors. One
// instance lives for the whole process; it is made before the project, so it
// takes the product identity itself.
//
// Thread safety: every operation may be called from any thread. mu_ guards the
// counters; store_mu_ orders the store writes so that the file always ends up
// with the newest counters; links are opened outside both locks.
class TrkInfo {
 public:
  // Computes the install stamp from the creation time (UTC) of the folder holding
  // `exe_path`, loads the counters from the store file (the program's path with
  // the extension ".ext", beside the program or in the configuration folder when
  // the program's folder is read-only), sets the format mark and counts the start
  // in "R". `opener` receives every link; null means the system's handler.
  TrkInfo(TrkProductIdentity identity, std::string exe_path, std::unique_ptr<TrkLinkOpener> opener = nullptr);
  // Writes the store once more (errors ignored).
  ~TrkInfo();
  TrkInfo(const TrkInfo&) = delete;
  TrkInfo& operator=(const TrkInfo&) = delete;

  // Builds the link for (page, report, extra) and hands it to the opener. A link
  // that cannot be opened is dropped silently.
  void OpenLink(const std::string& page, const std::string& report, const std::string& extra);
  // The link OpenLink would open now.
  std::string BuildLink(const std::string& page, const std::string& report, const std::string& extra) const;

  // Value <= 0 adds `increment` to the counter, else sets it to `value`; the
  // store is written when the counter's text changed (write errors ignored, the
  // counters are an auxiliary file).
  void AddCount(const std::string& name, long long value, long long increment);
  std::string Count(const std::string& name) const;
  std::string CounterText() const;

  // The handler of errors that reach the event loop: counts the error in "E" and
  // opens an error report carrying `message`. Shows nothing; the program goes on.
  void ReportError(const std::string& message);

  int32_t InstallStamp() const { return links_.install_stamp(); }
  const std::string& StorePath() const { return store_path_; }

 private:
  void WriteStore() const;

  const TrkLinkBuilder links_;
  const std::string store_path_;
  const std::unique_ptr<TrkLinkOpener> opener_;
  mutable std::mutex store_mu_;  // held for a whole store write; taken before mu_
  mutable std::mutex mu_;
  TrkUsageCounters counters_;  // guarded by mu_
};
