#include "sync/key_file.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

#include "project/error.h"
#include "project/whole_file.h"
#include "sync/ssh_agent.h"
#include "sync/ssh_wire_reader.h"

namespace {

namespace fs = std::filesystem;

const char kEncrypted[] = "is encrypted: add it to ssh-agent or give a key without a passphrase";
const char kNotAKey[] = "is not a private key";

// The bytes of base64 `text`; blanks and line breaks are skipped, the rest
// stops at the first character that is not base64.
std::string Base64Decoded(std::string_view text) {
  static const std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    const size_t digit = kDigits.find(c);
    if (digit == std::string_view::npos) break;
    bits = bits << 6 | static_cast<uint32_t>(digit);
    if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8));
  }
  return bytes;
}

// What reading a key file found: whether it holds a private key, whether a
// passphrase locks it, and its public half when it says.
struct Found {
  bool key = false;
  bool encrypted = false;
  std::string public_blob;
};

// OpenSSH's own format: a magic text, the cipher, the key derivation ("none"
// when no passphrase locks it) and its options, the count of keys, then
// their public halves in clear before the (maybe locked) private ones.
Found OpenSshKey(std::string_view base64) {
  static const std::string_view kMagic("openssh-key-v1\0", 15);
  const std::string bytes = Base64Decoded(base64);
  TrkSshWireReader reader(bytes);
  const std::optional<std::string_view> magic = reader.Take(static_cast<uint32_t>(kMagic.size()));
  reader.Text();  // the cipher: "none" exactly when the key derivation is
  const std::optional<std::string_view> kdf = reader.Text();
  reader.Text();
  const std::optional<uint32_t> keys = reader.Number();
  const std::optional<std::string_view> blob = reader.Text();
  if (magic != kMagic || !blob || keys.value_or(0) == 0) return {};
  return {true, *kdf != "none", std::string(*blob)};
}

// A PEM file: "-----BEGIN <label>-----", headers, base64, "-----END <label>-----".
// A private key's label ends in "PRIVATE KEY"; "ENCRYPTED PRIVATE KEY"
// (PKCS #8) and the older headers "Proc-Type: 4,ENCRYPTED" say a passphrase
// locks it.
Found PemKey(std::string_view text) {
  const size_t begin = text.find("-----BEGIN ");
  if (begin == std::string_view::npos) return {};
  const size_t label_at = begin + 11;
  const size_t label_end = text.find("-----", label_at);
  if (label_end == std::string_view::npos) return {};
  const std::string_view label = text.substr(label_at, label_end - label_at);
  const std::string_view body = text.substr(label_end + 5, text.find("-----END", label_end) - label_end - 5);
  if (label == "OPENSSH PRIVATE KEY") return OpenSshKey(body);
  if (!label.ends_with("PRIVATE KEY")) return {};
  return {true, label == "ENCRYPTED PRIVATE KEY" || body.find("Proc-Type: 4,ENCRYPTED") != std::string_view::npos, ""};
}

// The key blob of the ".pub" file beside `path` ("type base64 comment"); empty
// when there is none.
std::string PublicBlobBeside(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path + ".pub", error)) return "";
  try {
    const std::string text = ReadFileBytes(path + ".pub");
    const size_t blank = text.find(' ');
    return blank == std::string::npos ? "" : Base64Decoded(std::string_view(text).substr(blank + 1));
  } catch (const TrkError&) {
    return "";
  }
}

// Whether the running agent holds the key whose public half is `blob` (any
// key at all when the blob is not known).
bool AgentHolds(const std::string& blob) {
  const std::optional<std::vector<std::string>> keys = TrkSshAgent::Keys();
  if (!keys) return false;
  return blob.empty() ? !keys->empty() : std::find(keys->begin(), keys->end(), blob) != keys->end();
}

}  // namespace

std::string TrkKeyFile::Problem(const std::string& path) {
  const std::string file = "KeyFile " + path + ": ";
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return file + "no such file";
  if (status.type() == fs::file_type::directory) return file + "is a folder, not a key file";
  if (error) return file + "cannot be read: " + error.message();
  if (status.type() != fs::file_type::regular) return file + kNotAKey;
  std::string text;
  try {
    text = ReadFileBytes(path);
  } catch (const TrkError& unreadable) {
    return file + "cannot be read: " + unreadable.what();
  }
  Found found = PemKey(text);
  if (!found.key) return file + kNotAKey;
  if (!found.encrypted) return "";
  if (found.public_blob.empty()) found.public_blob = PublicBlobBeside(path);
  return AgentHolds(found.public_blob) ? "" : file + kEncrypted;
}
