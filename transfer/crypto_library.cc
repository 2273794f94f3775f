// The crypto library's entry points that the program calls (for SSH host key
// fingerprints), handing on to the library itself, loaded at the first of
// them as libcurl is (see curl_library.cc): only an SFTP run needs it.
#include <openssl/evp.h>

#include "transfer/shared_library.h"

namespace {

const TrkSharedLibrary& Crypto() {
  static const TrkSharedLibrary library(DROPVAN_CRYPTO_SONAME);
  return library;
}

}  // namespace

#define TRK_CRYPTO_ENTRY(name) TRK_LIBRARY_ENTRY(Crypto(), name)

extern "C" {

const EVP_MD* EVP_sha256() {
  TRK_CRYPTO_ENTRY(EVP_sha256);
  return real();
}

int EVP_Digest(const void* data, size_t count, unsigned char* md, unsigned int* size, const EVP_MD* type,
               ENGINE* impl) {
  TRK_CRYPTO_ENTRY(EVP_Digest);
  return real(data, count, md, size, type, impl);
}

int EVP_EncodeBlock(unsigned char* out, const unsigned char* in, int count) {
  TRK_CRYPTO_ENTRY(EVP_EncodeBlock);
  return real(out, in, count);
}

}  // extern "C"
