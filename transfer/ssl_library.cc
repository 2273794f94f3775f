// The TLS library's entry points that FTP over TLS calls, handing on to the
// library itself, loaded at the first of them (see shared_library.h): only a
// run to an FTP server over TLS needs it. Its error
// queue and certificate texts live in the crypto library (crypto_library.cc).
#include <openssl/ssl.h>

#include "transfer/shared_library.h"

namespace {

const TrkSharedLibrary& Ssl() {
  static const TrkSharedLibrary library(DROPVAN_SSL_SONAME);
  return library;
}

}  // namespace

#define TRK_SSL_ENTRY(name) TRK_LIBRARY_ENTRY(Ssl(), name)

extern "C" {

const SSL_METHOD* TLS_client_method() {
  TRK_SSL_ENTRY(TLS_client_method);
  return real();
}

SSL_CTX* SSL_CTX_new(const SSL_METHOD* method) {
  TRK_SSL_ENTRY(SSL_CTX_new);
  return real(method);
}

int SSL_CTX_up_ref(SSL_CTX* context) {
  TRK_SSL_ENTRY(SSL_CTX_up_ref);
  return real(context);
}

void SSL_CTX_free(SSL_CTX* context) {
  TRK_SSL_ENTRY(SSL_CTX_free);
  real(context);
}

void SSL_CTX_set_verify(SSL_CTX* context, int mode, SSL_verify_cb callback) {
  TRK_SSL_ENTRY(SSL_CTX_set_verify);
  real(context, mode, callback);
}

int SSL_CTX_set_default_verify_paths(SSL_CTX* context) {
  TRK_SSL_ENTRY(SSL_CTX_set_default_verify_paths);
  return real(context);
}

long SSL_CTX_ctrl(SSL_CTX* context, int command, long number, void* pointer) {
  TRK_SSL_ENTRY(SSL_CTX_ctrl);
  return real(context, command, number, pointer);
}

SSL* SSL_new(SSL_CTX* context) {
  TRK_SSL_ENTRY(SSL_new);
  return real(context);
}

void SSL_free(SSL* ssl) {
  TRK_SSL_ENTRY(SSL_free);
  real(ssl);
}

int SSL_set_fd(SSL* ssl, int fd) {
  TRK_SSL_ENTRY(SSL_set_fd);
  return real(ssl, fd);
}

int SSL_get_fd(const SSL* ssl) {
  TRK_SSL_ENTRY(SSL_get_fd);
  return real(ssl);
}

long SSL_ctrl(SSL* ssl, int command, long number, void* pointer) {
  TRK_SSL_ENTRY(SSL_ctrl);
  return real(ssl, command, number, pointer);
}

int SSL_set1_host(SSL* ssl, const char* host) {
  TRK_SSL_ENTRY(SSL_set1_host);
  return real(ssl, host);
}

X509_VERIFY_PARAM* SSL_get0_param(SSL* ssl) {
  TRK_SSL_ENTRY(SSL_get0_param);
  return real(ssl);
}

int SSL_connect(SSL* ssl) {
  TRK_SSL_ENTRY(SSL_connect);
  return real(ssl);
}

int SSL_read(SSL* ssl, void* buffer, int count) {
  TRK_SSL_ENTRY(SSL_read);
  return real(ssl, buffer, count);
}

int SSL_write(SSL* ssl, const void* buffer, int count) {
  TRK_SSL_ENTRY(SSL_write);
  return real(ssl, buffer, count);
}

int SSL_get_error(const SSL* ssl, int result) {
  TRK_SSL_ENTRY(SSL_get_error);
  return real(ssl, result);
}

int SSL_pending(const SSL* ssl) {
  TRK_SSL_ENTRY(SSL_pending);
  return real(ssl);
}

int SSL_shutdown(SSL* ssl) {
  TRK_SSL_ENTRY(SSL_shutdown);
  return real(ssl);
}

long SSL_get_verify_result(const SSL* ssl) {
  TRK_SSL_ENTRY(SSL_get_verify_result);
  return real(ssl);
}

SSL_SESSION* SSL_get1_session(SSL* ssl) {
  TRK_SSL_ENTRY(SSL_get1_session);
  return real(ssl);
}

int SSL_set_session(SSL* ssl, SSL_SESSION* session) {
  TRK_SSL_ENTRY(SSL_set_session);
  return real(ssl, session);
}

SSL_SESSION* SSL_SESSION_dup(const SSL_SESSION* session) {
  TRK_SSL_ENTRY(SSL_SESSION_dup);
  return real(session);
}

void SSL_SESSION_free(SSL_SESSION* session) {
  TRK_SSL_ENTRY(SSL_SESSION_free);
  real(session);
}

int SSL_SESSION_is_resumable(const SSL_SESSION* session) {
  TRK_SSL_ENTRY(SSL_SESSION_is_resumable);
  return real(session);
}

int SSL_session_reused(const SSL* ssl) {
  TRK_SSL_ENTRY(SSL_session_reused);
  return real(ssl);
}

}  // extern "C"
