// MD5 against OpenSSL's: the whole input at once, the same bytes fed to Update
// in pieces cut at fuzzer-chosen points, the digest of a file holding them, and
// one object reused for the next digest must all give OpenSSL's digest.

#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"
#include "digest/md5.h"

namespace {

std::string ReferenceHex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) abort();
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<size_t> cuts(input.ConsumeIntegralInRange<size_t>(0, 12));
  for (size_t& cut : cuts) cut = input.ConsumeIntegral<uint16_t>();
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  for (size_t& cut : cuts) cut = bytes.empty() ? 0 : cut % (bytes.size() + 1);
  std::sort(cuts.begin(), cuts.end());
  const std::string want = ReferenceHex(bytes);
  const std::string context = std::to_string(bytes.size()) + " bytes";

  TrkMD5 md5;
  FuzzCheckEqual(md5.DigestHex(bytes), want, "DigestHex equals OpenSSL's MD5", context);
  md5.Init();
  size_t done = 0;
  for (size_t cut : cuts) {
    md5.Update(bytes.data() + done, cut - done);
    done = cut;
  }
  md5.Update(bytes.data() + done, bytes.size() - done);
  md5.Final();
  std::string cut_list;
  for (size_t cut : cuts) cut_list += " " + std::to_string(cut);
  FuzzCheckEqual(md5.DigestText(), want, "Update in pieces equals one digest", context + ", cut at" + cut_list);
  static const FuzzMemoryFile file;
  file.Write(bytes);
  FuzzCheckEqual(md5.DigestFileHex(file.Path()), want, "a file's digest equals its bytes' digest", context);
  FuzzCheckEqual(md5.DigestHex(bytes.substr(0, bytes.size() / 2)), ReferenceHex(bytes.substr(0, bytes.size() / 2)),
                 "a reused object starts afresh", context);
  return 0;
}
