// The upload record as its loader builds it (the record file's text split into
// lines, then assigned), and as uploads change it (Put). Its indexed Find must
// agree with a linear scan of the lines: the first line whose name equals the key
// without regard to ASCII case; Put rewrites that line in place or appends one,
// and leaves every other line, foreign ones included, as it was.

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/line_model.h"
#include "project/text_file.h"
#include "sync/upload_record.h"

namespace {

using Lines = std::vector<std::string>;

void CheckAgrees(const TrkUploadRecord& record, const Lines& model, const std::string& also_ask,
                 const char* when) {
  if (record.Lines() != model) {
    std::string detail = std::string(when) + "\n  got:";
    for (const auto& line : record.Lines()) detail += " " + FuzzQuote(line);
    detail += "\n  want:";
    for (const auto& line : model) detail += " " + FuzzQuote(line);
    FuzzCheck(false, "the record holds the lines it was given, changed only by Put", detail);
  }
  std::vector<std::string> keys = NamesToAsk(model);
  keys.push_back(also_ask);
  for (const auto& key : keys) {
    FuzzCheckEqual(record.Find(key), ValueNamed(model, key), "Find gives the first line with the name",
                   std::string(when) + ", key " + FuzzQuote(key));
  }
}

// The lines after Put(key, value): unlike an option, an empty value is kept.
void ModelPut(Lines& model, const std::string& key, const std::string& value) {
  long at = FirstLineNamed(model, key);
  if (at >= 0) {
    model[at] = key + "=" + value;
  } else {
    model.push_back(key + "=" + value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Lines model = SplitLines(input.ConsumeRandomLengthString());
  TrkUploadRecord record;
  record.Assign(model);
  CheckAgrees(record, model, "", "after Assign");
  while (input.remaining_bytes() > 0) {
    std::string key = input.ConsumeRandomLengthString(40);
    std::string value = input.ConsumeRandomLengthString(40);
    record.Put(key, value);
    ModelPut(model, key, value);
    CheckAgrees(record, model, key, "after Put");
  }
  return 0;
}
