#include "app/app.h"

#include <filesystem>
#include <system_error>

TrkApp::TrkApp(int argc, const char* const* argv)
    : exe_name_(ResolveExeName(argc > 0 ? argv[0] : nullptr)),
      param_(argc > 1 && argv[1] != nullptr ? argv[1] : "") {}

std::string TrkApp::ResolveExeName(const char* argv0) {
  std::error_code error;
#ifdef __linux__
  // argv[0] may be a bare name found through PATH; the kernel knows the file.
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && !self.empty()) return self.string();
#endif
  if (argv0 == nullptr || argv0[0] == '\0') return std::string();
  std::filesystem::path absolute = std::filesystem::absolute(argv0, error);
  if (error) return argv0;
  return absolute.lexically_normal().string();
}
