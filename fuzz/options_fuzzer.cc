// The option list and the project file parser: a project file's text is read as
// lines at CR, LF or CR LF; the option list then takes any sequence of changes
// and must read back like the plain model of fuzz/line_model.h (first line whose
// key matches without regard to ASCII case wins, an empty value removes it).

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "fuzz/line_model.h"
#include "project/options.h"
#include "project/project.h"
#include "project/text_file.h"

namespace {

using Lines = std::vector<std::string>;

void CheckLines(const Lines& got, const Lines& want, const char* property, const std::string& context = {}) {
  if (got == want) return;
  FuzzCheck(false, property, context + "\n  got:" + FuzzQuoteLines(got) + "\n  want:" + FuzzQuoteLines(want));
}

// What the integer reader must give: an optional sign and decimal digits that
// fit an int; anything else is the fallback.
int ExpectedInt(const std::string& text, int fallback) {
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) return fallback;
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return fallback;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 1LL + INT_MAX) return fallback;
  }
  long long value = text[0] == '-' ? -magnitude : magnitude;
  return (value < INT_MIN || value > INT_MAX) ? fallback : static_cast<int>(value);
}

// What the Boolean reader must give: a decimal number (sign, digits with at
// most one point, exponent) is true when a digit of it before the exponent is
// not 0; "True" and "False" in any letter case; anything else the fallback.
bool ExpectedBool(const std::string& text, bool fallback) {
  static const std::regex number("[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?");
  if (std::regex_match(text, number)) {
    return text.substr(0, text.find_first_of("eE")).find_first_of("123456789") != std::string::npos;
  }
  if (SameNameIgnoringCase(text, "true")) return true;
  if (SameNameIgnoringCase(text, "false")) return false;
  return fallback;
}

// Reading a project file: the lines of the parser, the project's view of them.
Lines CheckProjectFile(const std::string& text) {
  Lines lines = SplitLines(text);
  CheckLines(lines, SplitAtLineEnds(text), "SplitLines splits at CR, LF and CR LF", FuzzQuote(text));
  FuzzCheckEqual(JoinLines(lines), JoinWithCrLf(lines), "JoinLines ends every line with CR LF");
  CheckLines(SplitLines(JoinLines(lines)), lines, "lines written and read again are the same lines");

  static const FuzzMemoryFile file;
  static const std::string path = file.Link("site.batch-dropvan");
  file.Write(text);
  TrkProject project("");
  project.ProjectExt = ".batch-dropvan";
  project.PathDelimiter = '/';
  project.ParseCommandLine(path);
  CheckLines(project.Options().Lines(), lines, "a project file loads as its lines");
  FuzzCheckEqual(project.FileName(), path, "the project keeps the name of the file it loaded");
  return lines;
}

// One change or read of the option list, checked against the model.
void Step(TrkOptions& options, Lines& model, int op, const std::string& key, const std::string& value) {
  // A key holding "=" names no line (a line's key ends at its first "="), so
  // what is set under it cannot be read back; the model still covers it.
  const bool readable = key.find('=') == std::string::npos;
  switch (op) {
    case 0:
      options.Set(key, value);
      SetNamed(model, key, value);
      if (readable && !value.empty()) {
        FuzzCheckEqual(options.Get(key), value, "an option reads back what was set", FuzzQuote(key));
      }
      break;
    case 1: {
      options.Remove(key);
      SetNamed(model, key, "");
      break;
    }
    case 2: {
      const bool flag = value.size() % 2 == 1;
      options.SetBool(key, flag);
      SetNamed(model, key, flag ? "True" : "False");
      if (readable) {
        FuzzCheck(options.GetBool(key, !flag) == flag, "a Boolean reads back what was set", FuzzQuote(key));
      }
      break;
    }
    case 3: {
      const int fallback = static_cast<int>(value.size()) - 7;
      const std::string text = ValueNamed(model, key);
      FuzzCheck(options.GetInt(key, fallback) == ExpectedInt(text, fallback),
                "an integer option is a decimal number or the fallback", FuzzQuote(text));
      FuzzCheck(options.GetBool(key, fallback > 0) == ExpectedBool(text, fallback > 0),
                "a Boolean option is a number, True or False, or the fallback", FuzzQuote(text));
      break;
    }
    default:
      options.SetLines(SplitLines(value));
      model = SplitAtLineEnds(value);
      break;
  }
  CheckLines(options.Lines(), model, "the option list changes as the plain reading says", FuzzQuote(key));
  FuzzCheckEqual(options.Get(key), ValueNamed(model, key), "the first line with the key gives the value",
                 FuzzQuote(key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Lines model = CheckProjectFile(input.ConsumeRandomLengthString());
  TrkOptions options;
  options.SetLines(model);
  while (input.remaining_bytes() > 0) {
    int op = input.ConsumeIntegralInRange(0, 4);
    std::string key = input.ConsumeRandomLengthString(24);
    std::string value = input.ConsumeRandomLengthString(64);
    Step(options, model, op, key, value);
  }
  for (const auto& key : NamesToAsk(model)) {
    FuzzCheckEqual(options.Get(key), ValueNamed(model, key), "every name reads as its first line", FuzzQuote(key));
  }
  return 0;
}
