#pragma once

#include <mutex>
#include <string>
#include <utility>

// A shared library loaded when it is first needed rather than at the
// program's start: a run that finds nothing changed (what most runs from cron
// do) transfers nothing, and a plain FTP run needs neither TLS nor SSH, so
// neither pays for mapping and relocating them. Once loaded, a library
// stays for the rest of the process: callbacks registered with it may run
// until the end.
//
// Thread-safe: Symbol may be called from any thread.
class TrkSharedLibrary {
 public:
  // Loads nothing yet; `soname` is the name the loader knows it by.
  explicit TrkSharedLibrary(std::string soname) : soname_(std::move(soname)) {}
  TrkSharedLibrary(const TrkSharedLibrary&) = delete;
  TrkSharedLibrary& operator=(const TrkSharedLibrary&) = delete;

  // The address of `name` in the library, loaded at the first call. Throws
  // TrkError naming the library and the loader's reason when it cannot be
  // loaded or lacks `name`.
  void* Symbol(const char* name) const;

 private:
  const std::string soname_;
  mutable std::once_flag load_once_;
  mutable void* handle_ = nullptr;  // set once under load_once_; never closed
  mutable std::string load_error_;  // set once under load_once_ when the load failed
};

// In an entry point the program defines for a library it loads (see
// ssl_library.cc): `real`, the library's own `name`, looked up at the first
// call through the TrkSharedLibrary `library`.
#define TRK_LIBRARY_ENTRY(library, name) \
  static const auto real = reinterpret_cast<decltype(&name)>((library).Symbol(#name))
