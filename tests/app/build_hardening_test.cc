// The built program keeps the hardening that Debian packages get: it is a
// position-independent executable, its relocations are read-only and bound at
// start, functions with arrays on the stack are guarded, and every source of the
// program was compiled with fortified libc calls and format-security errors.

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kProgram = DROPVAN_BINARY_DIR "/dropvan";

// Standard output of `command`, empty when it cannot be run.
std::string OutputOf(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value of `key` in the build's CMake cache ("" when unset).
std::string CacheValue(const std::string& key) {
  std::smatch match;
  const std::string cache = FileText(DROPVAN_BINARY_DIR "/CMakeCache.txt");
  if (!std::regex_search(cache, match, std::regex("\n" + key + ":[A-Z]+=([^\n]*)"))) return "";
  return match[1];
}

std::string RegexEscaped(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

TEST(BuildHardening, TheProgramIsPieWithFullRelroAndAStackProtector) {
  const std::string elf = OutputOf("readelf -h -l -d --dyn-syms -W '" + kProgram + "' 2>&1");
  ASSERT_NE(elf.find("ELF Header"), std::string::npos) << "readelf could not read " << kProgram << ": " << elf;
  struct Mark {
    const char* what;
    const char* pattern;
  };
  for (const Mark& mark : {Mark{"position-independent executable (-pie)", R"(Type:\s+DYN)"},
                           Mark{"immediate binding (-z now)", R"(\(FLAGS\)\s+BIND_NOW|Flags:.*\bNOW\b)"},
                           Mark{"read-only relocations (-z relro)", R"(\bGNU_RELRO\b)"},
                           Mark{"stack protector (-fstack-protector-strong)", R"(\b__stack_chk_fail\b)"}}) {
    EXPECT_TRUE(std::regex_search(elf, std::regex(mark.pattern))) << kProgram << " lost its " << mark.what;
  }
}

// The program has no libc call whose bounds the compiler cannot prove, so no
// fortified (*_chk) symbol shows in it; the flags of its compile commands are
// what can be checked.
TEST(BuildHardening, EverySourceOfTheProgramIsCompiledHardened) {
  const std::string commands = FileText(DROPVAN_BINARY_DIR "/compile_commands.json");
  ASSERT_FALSE(commands.empty()) << "no compile_commands.json in " << DROPVAN_BINARY_DIR;
  std::vector<std::string> flags = {"-fstack-protector-strong", "-Wformat", "-Werror=format-security"};
  // Fortified calls need optimisation, and the sanitizer builds go without them.
  if (CacheValue("DROPVAN_SANITIZE").empty() && CacheValue("DROPVAN_FUZZ") != "ON" &&
      CacheValue("CMAKE_BUILD_TYPE") != "Debug") {
    flags.push_back("-D_FORTIFY_SOURCE=2");
  }
  const std::regex program_source(R"re("command": "((?:[^"\\]|\\.)*)",\s*"file": ")re" + RegexEscaped(DROPVAN_SOURCE_DIR) +
                                  R"re(/(project|select|batch|sync|report|app)/[^"/]*\.cc")re");
  int sources = 0;
  for (std::sregex_iterator it(commands.begin(), commands.end(), program_source), end; it != end; ++it, ++sources) {
    const std::string command = (*it)[1];
    for (const std::string& flag : flags) {
      EXPECT_NE(command.find(" " + flag + " "), std::string::npos) << flag << " is missing from: " << command;
    }
  }
  EXPECT_GT(sources, 20) << "the program's compile commands were not found";
}

}  // namespace
