// The built program keeps the hardening that Debian packages get: it is a
// position-independent executable, its relocations are read-only and bound at
// start, functions with arrays on the stack are guarded, and every source of the
// program was compiled with fortified libc calls and format-security errors.

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
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
  std::istringstream cache(FileText(DROPVAN_BINARY_DIR "/CMakeCache.txt"));
  for (std::string line; std::getline(cache, line);) {
    size_t colon = line.find(':');
    size_t equals = line.find('=');
    if (colon == key.size() && line.compare(0, colon, key) == 0 && equals != std::string::npos) {
      return line.substr(equals + 1);
    }
  }
  return "";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The "command" of every compile_commands.json entry whose file is a source of
// the program (a module folder of the source tree, not its tests).
std::vector<std::string> ProgramCompileCommands() {
  const std::string json = FileText(DROPVAN_BINARY_DIR "/compile_commands.json");
  std::vector<std::string> commands;
  const std::string command_key = "\"command\": \"", file_key = "\"file\": \"";
  for (size_t at = json.find(command_key); at != std::string::npos; at = json.find(command_key, at)) {
    at += command_key.size();
    const size_t file_at = json.find(file_key, at);
    if (file_at == std::string::npos) break;
    const std::string file = json.substr(file_at + file_key.size(), json.find('"', file_at + file_key.size()) -
                                                                        (file_at + file_key.size()));
    for (const char* module : {"project", "select", "batch", "sync", "report", "app"}) {
      if (file.rfind(std::string(DROPVAN_SOURCE_DIR "/") + module + "/", 0) == 0) {
        commands.push_back(json.substr(at, file_at - at));
      }
    }
  }
  return commands;
}

TEST(BuildHardening, TheProgramIsPieWithFullRelroAndAStackProtector) {
  const std::string elf = OutputOf("readelf -h -l -d --dyn-syms -W '" + kProgram + "' 2>&1");
  ASSERT_TRUE(Contains(elf, "ELF Header")) << "readelf could not read " << kProgram << ": " << elf;
  std::istringstream lines(elf);
  std::string type, flags;
  for (std::string line; std::getline(lines, line);) {
    if (Contains(line, "Type:") && type.empty()) type = line;
    if (Contains(line, "(FLAGS")) flags += line;
  }
  EXPECT_TRUE(Contains(type, "DYN")) << kProgram << " is no position-independent executable (-pie): " << type;
  EXPECT_TRUE(Contains(flags, "BIND_NOW") || Contains(flags, " NOW"))
      << kProgram << " lost immediate binding (-z now): " << flags;
  EXPECT_TRUE(Contains(elf, "GNU_RELRO")) << kProgram << " lost its read-only relocations (-z relro)";
  EXPECT_TRUE(Contains(elf, "__stack_chk_fail")) << kProgram << " lost its stack protector";
}

// The program has no libc call whose bounds the compiler cannot prove, so no
// fortified (*_chk) symbol shows in it; the flags of its compile commands are
// what can be checked.
TEST(BuildHardening, EverySourceOfTheProgramIsCompiledHardened) {
  std::vector<std::string> flags = {"-fstack-protector-strong", "-Wformat", "-Werror=format-security"};
  // Fortified calls need optimisation, and the sanitizer builds go without them.
  if (CacheValue("DROPVAN_SANITIZE").empty() && CacheValue("DROPVAN_FUZZ") != "ON" &&
      CacheValue("CMAKE_BUILD_TYPE") != "Debug") {
    flags.push_back("-D_FORTIFY_SOURCE=2");
  }
  const std::vector<std::string> commands = ProgramCompileCommands();
  EXPECT_GT(commands.size(), 20u) << "the program's compile commands were not found in " << DROPVAN_BINARY_DIR;
  for (const std::string& command : commands) {
    for (const std::string& flag : flags) {
      EXPECT_TRUE(Contains(command, " " + flag + " ")) << flag << " is missing from: " << command;
    }
  }
}

}  // namespace
