// The crypto library's entry points that the program calls (for SSH host key
// fingerprints, and the error texts of FTP over TLS), handing on to the
// library itself, loaded at the first of them (see shared_library.h): only
// an SFTP run or one over TLS needs it.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>

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

unsigned long ERR_get_error() {
  TRK_CRYPTO_ENTRY(ERR_get_error);
  return real();
}

void ERR_error_string_n(unsigned long error, char* text, size_t size) {
  TRK_CRYPTO_ENTRY(ERR_error_string_n);
  real(error, text, size);
}

void ERR_clear_error() {
  TRK_CRYPTO_ENTRY(ERR_clear_error);
  real();
}

const char* X509_verify_cert_error_string(long result) {
  TRK_CRYPTO_ENTRY(X509_verify_cert_error_string);
  return real(result);
}

int X509_VERIFY_PARAM_set1_ip_asc(X509_VERIFY_PARAM* parameters, const char* address) {
  TRK_CRYPTO_ENTRY(X509_VERIFY_PARAM_set1_ip_asc);
  return real(parameters, address);
}

}  // extern "C"
