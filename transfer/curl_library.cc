// libcurl's entry points that the program calls, each handing on to libcurl
// itself, which is loaded at the first of them (see TrkSharedLibrary): the
// program does not link libcurl, so a run that transfers nothing never loads
// it. One that cannot be loaded throws TrkError from the first call.
#define CURL_DISABLE_TYPECHECK  // the definitions below, not calls
#include <curl/curl.h>

#include <cstdarg>

#include "transfer/shared_library.h"

namespace {

const TrkSharedLibrary& Curl() {
  static const TrkSharedLibrary library(DROPVAN_CURL_SONAME);
  return library;
}

}  // namespace

#define TRK_CURL_ENTRY(name) TRK_LIBRARY_ENTRY(Curl(), name)

// The two variadic entry points take their arguments after an enum, as their
// declarations in curl.h say. clang warns of a promoted last parameter, but
// these enums have int's size (their values pass 30,000) and are not promoted;
// libcurl reads its own arguments the same way.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wvarargs"
#endif

extern "C" {

CURLcode curl_global_init(long flags) {
  TRK_CURL_ENTRY(curl_global_init);
  return real(flags);
}

curl_version_info_data* curl_version_info(CURLversion stamp) {
  TRK_CURL_ENTRY(curl_version_info);
  return real(stamp);
}

CURL* curl_easy_init() {
  TRK_CURL_ENTRY(curl_easy_init);
  return real();
}

CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
  TRK_CURL_ENTRY(curl_easy_setopt);
  va_list args;
  va_start(args, option);
  CURLcode result;
  // The one argument is of the type its option's number range names, as
  // libcurl reads it; objects, callbacks and blobs all pass as pointers.
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    result = real(curl, option, va_arg(args, long));
  } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
    result = real(curl, option, va_arg(args, curl_off_t));
  } else {
    result = real(curl, option, va_arg(args, void*));
  }
  va_end(args);
  return result;
}

CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
  TRK_CURL_ENTRY(curl_easy_getinfo);
  va_list args;
  va_start(args, info);
  void* out = va_arg(args, void*);  // every item is given a pointer to fill
  va_end(args);
  return real(curl, info, out);
}

CURLcode curl_easy_perform(CURL* curl) {
  TRK_CURL_ENTRY(curl_easy_perform);
  return real(curl);
}

void curl_easy_reset(CURL* curl) {
  TRK_CURL_ENTRY(curl_easy_reset);
  real(curl);
}

void curl_easy_cleanup(CURL* curl) {
  TRK_CURL_ENTRY(curl_easy_cleanup);
  real(curl);
}

const char* curl_easy_strerror(CURLcode code) {
  TRK_CURL_ENTRY(curl_easy_strerror);
  return real(code);
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  TRK_CURL_ENTRY(curl_slist_append);
  return real(list, text);
}

void curl_slist_free_all(curl_slist* list) {
  TRK_CURL_ENTRY(curl_slist_free_all);
  real(list);
}

CURLM* curl_multi_init() {
  TRK_CURL_ENTRY(curl_multi_init);
  return real();
}

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* curl) {
  TRK_CURL_ENTRY(curl_multi_add_handle);
  return real(multi, curl);
}

CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* curl) {
  TRK_CURL_ENTRY(curl_multi_remove_handle);
  return real(multi, curl);
}

CURLMcode curl_multi_perform(CURLM* multi, int* running) {
  TRK_CURL_ENTRY(curl_multi_perform);
  return real(multi, running);
}

CURLMcode curl_multi_poll(CURLM* multi, curl_waitfd* extra, unsigned extra_count, int timeout_ms, int* ready) {
  TRK_CURL_ENTRY(curl_multi_poll);
  return real(multi, extra, extra_count, timeout_ms, ready);
}

CURLMcode curl_multi_wakeup(CURLM* multi) {
  TRK_CURL_ENTRY(curl_multi_wakeup);
  return real(multi);
}

CURLMsg* curl_multi_info_read(CURLM* multi, int* left) {
  TRK_CURL_ENTRY(curl_multi_info_read);
  return real(multi, left);
}

CURLMcode curl_multi_cleanup(CURLM* multi) {
  TRK_CURL_ENTRY(curl_multi_cleanup);
  return real(multi);
}

}  // extern "C"
