#include "report/failure_report.h"

#include "project/text_file.h"

namespace {

bool NeedsQuotes(std::string_view item) {
  for (char c : item) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F || c == '"' || c == ',') return true;
  }
  return false;
}

std::string Quoted(std::string_view item) {
  std::string text = "\"";
  for (char c : item) {
    if (c == '"') text += '"';
    text += c;
  }
  text += '"';
  return text;
}

}  // namespace

std::string TrkCommaText(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ',';
    text += NeedsQuotes(items[i]) ? Quoted(items[i]) : items[i];
  }
  return text;
}

std::string TrkAnsiToUtf8(std::string_view text) { return std::string(text); }

std::string TrkFailureReportText(const std::vector<std::string>& messages) {
  // Messages often quote a file name, and a name may hold a line break.
  std::vector<std::string> one_line_each;
  one_line_each.reserve(messages.size());
  for (const std::string& message : messages) one_line_each.push_back(EscapeControlChars(message));
  std::string escaped;
  for (char c : TrkCommaText(one_line_each)) {
    if (c == '?') {
      escaped += "%3F";
    } else {
      escaped += c;
    }
  }
  return "err&e=" + TrkAnsiToUtf8(escaped);
}
