#include "report/link_builder.h"

#include <filesystem>
#include <system_error>

#include "project/platform.h"

namespace {

std::string WithoutQuotes(const std::string& value) {
  std::string text;
  for (char c : value) {
    if (c != '"') text += c;
  }
  return text;
}

// Appends "name=value" to `query` when the value is not empty.
void AddParameter(std::string& query, const char* name, const std::string& value) {
  if (value.empty()) return;
  if (!query.empty()) query += '&';
  query.append(name).append("=").append(WithoutQuotes(value));
}

}  // namespace

TrkLinkBuilder::TrkLinkBuilder(TrkProductIdentity identity, std::string exe_path, int32_t install_stamp)
    : identity_(std::move(identity)), exe_path_(std::move(exe_path)), install_stamp_(install_stamp) {}

std::string TrkLinkBuilder::Build(const std::string& page, const std::string& report, const std::string& extra,
                                  const std::string& counter_text) const {
  if (page == "supports") return std::string("mailto:") + kTrkSupportMail + SupportSubject();
  if (page == "h") return HelpFile();
  return WebLink(page, report, extra, counter_text);
}

std::string TrkLinkBuilder::SupportSubject() const {
  std::string title = identity_.title;
  size_t amp = title.find('&');
  if (amp != std::string::npos) title.replace(amp, 1, "And");
  return "?subject=Support required for " + title + " " + identity_.version + " - " +
         std::to_string(install_stamp_);
}

std::string TrkLinkBuilder::HelpFile() const {
  namespace fs = std::filesystem;
  const std::string chm = trk_platform::ChangeExtension(exe_path_, ".chm");
  const std::string pdf = trk_platform::ChangeExtension(exe_path_, ".pdf");
  // A package puts the program in <prefix>/bin and its manual with the documentation.
  const fs::path installed =
      fs::path(exe_path_).parent_path().parent_path() / "share" / "doc" / identity_.key / fs::path(pdf).filename();
  std::error_code ignored;
  for (const fs::path& help : {fs::path(chm), fs::path(pdf), installed}) {
    if (fs::exists(help, ignored)) return help.string();
  }
  return pdf;
}

std::string TrkLinkBuilder::WebLink(const std::string& page, const std::string& report, const std::string& extra,
                                    const std::string& counter_text) const {
  std::string address = kTrkHomePage;
  if (!page.empty()) {
    address += "/en/" + identity_.key + "/" + page + ".htm";
  } else if (!report.empty()) {
    address += "/net/";
  }
  std::string query;
  AddParameter(query, "a", report);
  AddParameter(query, "p", identity_.key);
  AddParameter(query, "v", identity_.version);
  AddParameter(query, "c", counter_text);
  AddParameter(query, "i", std::to_string(install_stamp_));
  if (!extra.empty()) query += "&" + extra;
  return address + "?" + query;
}
