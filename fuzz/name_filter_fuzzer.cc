// MaskToPattern with a listing's name filter: whatever the mask, its pattern compiles,
// and a file that the folder listing takes for the mask also passes the filter
// (the filter may be looser, "?" standing for zero or one character, but it must
// never drop a file the listing found). RegExt texts of any kind must end their
// match within the engine's limits (a hang is caught by libFuzzer's -timeout).

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <clocale>
#include <cuchar>
#include <string>

#include "fuzz/fuzz_check.h"
#include "select/name_filter.h"
#include "select/regex.h"
#include "select/search.h"

namespace {

// Masks and names are file names: they cannot hold the separator.
std::string FileName(std::string text) {
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

// Whether `name` is well-formed UTF-8 (what a decoder accepts: shortest
// forms, no surrogates, at most U+10FFFF).
bool IsUtf8(const std::string& name) {
  std::mbstate_t state{};
  for (size_t i = 0; i < name.size();) {
    char32_t c;
    size_t n = std::mbrtoc32(&c, name.data() + i, name.size() - i, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return false;
    i += n == 0 ? 1 : n;
  }
  return true;
}

void CheckPatternCompiles(const std::string& mask, const std::string& pattern) {
  FuzzCheck(!pattern.empty() && pattern.back() == '$', "a mask's pattern is anchored at the end", FuzzQuote(mask));
  try {
    Regex::Create(pattern, kRegexIgnoreCase | kRegexDotAll);
  } catch (const ERegexException& error) {
    FuzzCheck(false, "a mask's pattern compiles",
              "mask " + FuzzQuote(mask) + " pattern " + FuzzQuote(pattern) + ": " + error.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) abort();  // for IsUtf8
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string mask = FileName(input.ConsumeRandomLengthString(64));
  const std::string name = FileName(input.ConsumeRandomLengthString(128));
  std::string folder = input.ConsumeRandomLengthString(128);
  const std::string reg_ext = input.ConsumeRemainingBytesAsString();
  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string path = folder + name;

  const std::string pattern = MaskToPattern(mask);
  CheckPatternCompiles(mask, pattern);
  const TrkNameFilter filter(mask, "", "");
  // "*.*" lists every name, while its pattern asks for a dot in the path: the
  // one mask where the filter is meant to be stricter than the listing. And in
  // a name that is no UTF-8, what "?" stands for has no one right reading (the
  // listing takes a run of stray continuation bytes for one character, the
  // filter each byte), so those pairs are left out.
  const bool comparable = mask != "*.*" && (mask.find('?') == std::string::npos || IsUtf8(name));
  if (comparable && WildcardMatch(mask, name)) {
    FuzzCheck(filter.Accepts(path), "a file the listing takes passes the mask's pattern",
              "mask " + FuzzQuote(mask) + " path " + FuzzQuote(path) + " pattern " + FuzzQuote(pattern));
  }
  (void)TrkNameFilter("*", reg_ext, "").Accepts(path);
  return 0;
}
