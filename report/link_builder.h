#pragma once

#include <cstdint>
#include <string>

// The product's identity as its links show it.
struct TrkProductIdentity {
  std::string title;    // "Dropvan"
  std::string key;      // "dropvan": the path part of the product's web pages
  std::string version;  // "2024.16.1026.3528"
};

// Deployment values of the product links.
inline constexpr const char* kTrkHomePage = "https://dropvan.example";
inline constexpr const char* kTrkSupportMail = "support@dropvan.example";

// Builds the exact text of a product link; opening it is someone else's job
// (TrkLinkOpener). Holds only values fixed at start-up, so it may be used from any
// thread.
class TrkLinkBuilder {
 public:
  // `exe_path`: the program's full path, the base of the help file's name.
  // `install_stamp`: the DOS date-time of the program folder's creation, or -1.
  TrkLinkBuilder(TrkProductIdentity identity, std::string exe_path, int32_t install_stamp);

  // Page "supports": the support mail with its subject line. Page "h": the help
  // file (HelpFile). Any other
  // page: a web link; an empty page gives the home page, or the report address
  // when `report` is not empty. `counter_text` is the usage counters' short form
  // ("r12c3h1"). Values are inserted without escaping, as the server expects.
  std::string Build(const std::string& page, const std::string& report, const std::string& extra,
                    const std::string& counter_text) const;

  // "?subject=Support required for <title> <version> - <stamp>", the title's
  // first "&" written as "And" (mail programs drop a lone "&").
  std::string SupportSubject() const;
  // The first that exists of the program's path with ".chm", with ".pdf", and
  // the installed manual <prefix>/share/doc/<key>/<program>.pdf of a program in
  // <prefix>/bin; when none exists, the program's path with ".pdf".
  std::string HelpFile() const;
  std::string WebLink(const std::string& page, const std::string& report, const std::string& extra,
                      const std::string& counter_text) const;

  int32_t install_stamp() const { return install_stamp_; }

 private:
  TrkProductIdentity identity_;
  std::string exe_path_;
  int32_t install_stamp_;
};
