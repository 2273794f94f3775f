// UrlToPath on any text: only a text that begins with "file:" changes; it loses
// the scheme and the slashes after it and gains at most the network prefix "//",
// so the result is never longer than the text. Checked against that reading.

#include <string>

#include "batch/batch.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string ExpectedPath(const std::string& text) {
  if (text.compare(0, 5, "file:") != 0) return text;
  size_t start = text.find_first_not_of('/', 5);
  if (start == std::string::npos) return std::string();
  std::string path = text.substr(start);
  // A host (an address begins with a digit) or a path without a drive colon
  // is a network path.
  bool network = (path[0] >= '1' && path[0] <= '9') || path.find(':') == std::string::npos;
  return network ? "//" + path : path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = TrkBatch::UrlToPath(text);
  FuzzCheck(path.size() <= text.size(), "UrlToPath never makes a text longer", FuzzQuote(text));
  FuzzCheckEqual(path, ExpectedPath(text), "UrlToPath strips the scheme and marks network paths", FuzzQuote(text));
  return 0;
}
