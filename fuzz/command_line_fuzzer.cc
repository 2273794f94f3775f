// ParseCommandLine on any first argument: "-I"/"-U" send their notice and end,
// "-P" options become the option list (split at "," ";" and line ends, Target
// filled from Source), any other text names a project file or a source. Checked
// against an independent reading of each form.

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/line_model.h"
#include "project/project.h"

namespace {

using Lines = std::vector<std::string>;

struct Notice {
  int count = 0;
  std::string page, report, extra;
};

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "-P" text as option lines: one leading ":" dropped, then a line ends at each
// "," ";" CR or LF, a CR LF pair ending one line only; a separator at the very
// end starts no further line.
Lines ParamLines(std::string text) {
  if (!text.empty() && text[0] == ':') text.erase(0, 1);
  Lines lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != ',' && c != ';' && c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    lines.push_back(line);
    line.clear();
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Target := the folder of Source, when the options have no Target.
void FillTarget(Lines& lines, const std::string& source) {
  if (ValueNamed(lines, "Target").empty()) SetNamed(lines, "Target", FolderOf(source));
}

bool IsProjectFileName(const std::string& name) {
  static const std::string kExt = ".batch-dropvan";
  size_t at = name.find(kExt);
  return at != std::string::npos && at + kExt.size() == name.size();
}

void CheckLines(const Lines& got, const Lines& want, const std::string& arg) {
  if (got == want) return;
  std::string detail = "argument " + FuzzQuote(arg) + "\n  got:";
  for (const auto& line : got) detail += " " + FuzzQuote(line);
  detail += "\n  want:";
  for (const auto& line : want) detail += " " + FuzzQuote(line);
  FuzzCheck(false, "the command line gives the options its form says", detail);
}

bool IsSwitch(const std::string& arg) { return arg.size() >= 2 && arg[0] == '-'; }

// The switch's letter in capitals; 0 when the argument is no switch.
char SwitchLetter(const std::string& arg) {
  if (!IsSwitch(arg)) return 0;
  return (arg[1] >= 'a' && arg[1] <= 'z') ? static_cast<char>(arg[1] - 32) : arg[1];
}

// The options and file name the argument must leave when it is not a notice.
void CheckLoaded(const TrkProject& project, const std::string& arg) {
  const bool is_switch = IsSwitch(arg);
  const char letter = SwitchLetter(arg);
  Lines want;
  if (letter == 'P' && !ParamLines(arg.substr(2)).empty()) {
    want = ParamLines(arg.substr(2));
    FillTarget(want, ValueNamed(want, "Source"));
    FuzzCheckEqual(project.FileName(), "", "-P options come from no file");
  } else if (arg.size() >= 2 && !is_switch && IsProjectFileName(arg)) {
    // A project file name: read when it exists, which a fuzzed name hardly does.
    FuzzCheckEqual(project.FileName(), arg, "a project file argument becomes the file name");
    return;
  } else if (arg.size() >= 2 && !is_switch) {
    want = {"Source=" + arg};
    FillTarget(want, arg);
    FuzzCheckEqual(project.FileName(), "", "a source argument is no project file");
  }
  CheckLines(project.Options().Lines(), want, arg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string arg(reinterpret_cast<const char*>(data), size);
  TrkProject project("");  // no program file: no default project, no recent list on disk
  project.ProjectExt = ".batch-dropvan";
  project.PathDelimiter = '/';
  Notice notice;
  project.OpenLink = [&notice](const std::string& page, const std::string& report, const std::string& extra) {
    ++notice.count;
    notice.page = page;
    notice.report = report;
    notice.extra = extra;
  };

  const bool exits = project.ParseCommandLine(arg) == TrkProject::CommandLineResult::kExit;
  const char letter = SwitchLetter(arg);
  const bool is_notice = letter == 'I' || letter == 'U';
  FuzzCheck(exits == is_notice, "only -I and -U end the process", FuzzQuote(arg));
  if (is_notice) {
    FuzzCheck(notice.count == 1 && notice.page.empty(), "a notice opens one link", FuzzQuote(arg));
    FuzzCheckEqual(notice.report, letter == 'I' ? "ins" : "uni", "the notice names its report", FuzzQuote(arg));
    FuzzCheckEqual(notice.extra, letter == 'I' ? arg.substr(2) : "", "-I passes the rest of the argument");
    FuzzCheck(project.Options().Lines().empty(), "a notice loads no options", FuzzQuote(arg));
    return 0;
  }
  FuzzCheck(notice.count == 0, "only a notice opens a link", FuzzQuote(arg));
  CheckLoaded(project, arg);
  // The typed readers take any value.
  (void)project.GetThreadsCount();
  (void)project.IsAutoRun();
  (void)project.GetTargetDir();
  return 0;
}
