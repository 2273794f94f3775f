// The upload record as its loader reads it and as uploads change it. The record
// file's text is loaded for a destination made from fuzzed options; the loaded
// lines must be the file's lines, with the destination line put first when the
// record named none (an earlier version's record, taken as this destination's)
// or another one (whose entries then say nothing about this destination and
// go). The indexed Find must agree with a linear scan of the lines (the first
// line whose name equals the key without regard to ASCII case) after the load
// and after every recorded file; a record saved and loaded again for the same
// destination is the same record, and for another one keeps no entry.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "fuzz/line_model.h"
#include "project/options.h"
#include "project/text_file.h"
#include "sync/dropvan.h"
#include "record/upload_store.h"

namespace {

using Lines = std::vector<std::string>;

void CheckAgrees(const TrkUploadRecord& record, const Lines& model, const std::string& also_ask,
                 const std::string& when) {
  if (record.Lines() != model) {
    FuzzCheck(false, "the record holds the lines it should",
              when + "\n  got: " + FuzzQuoteLines(record.Lines()) + "\n  want:" + FuzzQuoteLines(model));
  }
  std::vector<std::string> keys = NamesToAsk(model);
  keys.push_back(also_ask);
  for (const auto& key : keys) {
    FuzzCheckEqual(record.Find(key), ValueNamed(model, key), "Find gives the first line with the name",
                   when + ", key " + FuzzQuote(key));
  }
}

bool IsDestinationLine(const std::string& line) {
  return line.compare(0, TrkUploadStore::kDestinationPrefix.size(), TrkUploadStore::kDestinationPrefix) == 0;
}

// The lines a load for `destination` must give from the file's `lines`.
Lines Loaded(const Lines& lines, const std::string& destination) {
  const std::string header = std::string(TrkUploadStore::kDestinationPrefix) + destination;
  auto named = std::find_if(lines.begin(), lines.end(), IsDestinationLine);
  if (named != lines.end() && *named == header) return lines;
  Lines kept = {header};
  for (const auto& line : lines) {
    const bool entry = line.find('=') != std::string::npos;
    if (!IsDestinationLine(line) && !(entry && named != lines.end())) kept.push_back(line);
  }
  return kept;
}

// After Put(key, value): the first line with the key rewritten in place, or one
// appended; unlike an option, an empty value is kept.
void ModelPut(Lines& model, const std::string& key, const std::string& value) {
  long at = FirstLineNamed(model, key);
  if (at >= 0) {
    model[at] = key + "=" + value;
  } else {
    model.push_back(key + "=" + value);
  }
}

// Keys and values are digests: they never hold a line break, which a saved
// record could not keep.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\r', '_');
  std::replace(text.begin(), text.end(), '\n', '_');
  return text;
}

// A digest as the program records them (32 upper-case hexadecimal digits), or
// one with a digit changed: to lower case (the same name), to a non-digit or to
// "=" (no longer a digest). Few bases, so keys meet again.
std::string DigestLike(FuzzedDataProvider& input) {
  static const char* const kBases[] = {"0123456789ABCDEF0123456789ABCDEF", "FEDCBA9876543210FEDCBA9876543210",
                                       "00000000000000000000000000000000"};
  std::string text = kBases[input.ConsumeIntegralInRange<size_t>(0, 2)];
  const size_t at = input.ConsumeIntegralInRange<size_t>(0, 40);  // beyond the end: unchanged
  if (at < text.size()) text[at] = input.PickValueInArray({'a', 'c', 'f', 'g', '=', '9'});
  return text;
}

std::string DestinationOf(FuzzedDataProvider& input, TrkOptions& options) {
  for (const char* key : {"User", "Server", "Port"}) options.Set(key, input.ConsumeRandomLengthString(24));
  const std::string destination = TrkDropvan::Destination(options, input.ConsumeRandomLengthString(32));
  FuzzCheck(destination.find_first_of("=\r\n") == std::string::npos,
            "a destination line can never read as an entry or break in two", FuzzQuote(destination));
  return destination;
}

void Load(TrkUploadStore& store, const std::string& project, const std::string& destination) {
  store.Load(project, destination);
  FuzzCheck(store.Refusal().empty(), "a readable record is loaded", store.Refusal());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string project = FuzzFolder() + "/site.batch-dropvan";
  static TrkUploadStore store;
  FuzzedDataProvider input(data, size);
  const std::string text = input.ConsumeRandomLengthString();
  TrkOptions options;
  const std::string destination = DestinationOf(input, options);

  FuzzWriteFile(TrkUploadStore::RecordFileName(project), text);
  Load(store, project, destination);
  Lines model = Loaded(SplitLines(text), destination);
  CheckAgrees(store.UploadRecord, model, "", "after loading");
  while (input.remaining_bytes() > 0) {
    const bool digests = input.ConsumeBool();
    std::string key = digests ? DigestLike(input) : OneLine(input.ConsumeRandomLengthString(40));
    std::string value = digests ? DigestLike(input) : OneLine(input.ConsumeRandomLengthString(40));
    store.Recorded(key, value, "/srv/site/" + key);
    ModelPut(model, key, value);
    CheckAgrees(store.UploadRecord, model, key, "after recording " + FuzzQuote(key));
  }

  store.Flush();
  FuzzCheckEqual(store.SaveFailure(), "", "the record is saved");
  Load(store, project, destination);
  CheckAgrees(store.UploadRecord, model, "", "loaded again for the same destination");
  options.Set("Port", options.Get("Port") + "1");
  const std::string other = TrkDropvan::Destination(options, "/elsewhere/");
  Load(store, project, other);
  CheckAgrees(store.UploadRecord, Loaded(model, other), "", "loaded for another destination");
  return 0;
}
