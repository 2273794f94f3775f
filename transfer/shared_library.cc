#include "transfer/shared_library.h"

#include <dlfcn.h>

#include "project/error.h"

namespace {

// The loader's account of its last failure; it may have none to give.
std::string LoaderError() {
  const char* why = dlerror();
  return why != nullptr ? why : "";
}

}  // namespace

void* TrkSharedLibrary::Symbol(const char* name) const {
  std::call_once(load_once_, [this] {
    handle_ = dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) load_error_ = LoaderError();
  });
  if (handle_ == nullptr) {
    throw TrkError("The library " + soname_ + " cannot be loaded; transfers need it installed.", load_error_);
  }
  void* address = dlsym(handle_, name);
  if (address == nullptr) throw TrkError("The library " + soname_ + " has no " + name + ".", LoaderError());
  return address;
}
