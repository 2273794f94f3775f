#include "dropvan_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "report/usage_counters.h"

extern char** environ;

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> ChildEnvironment(bool record_links, const std::string& fake_bin) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    // The test decides whether the program has a display (SetEnv), not the
    // session that runs the tests (scripts/test sets the offscreen platform).
    if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
      continue;
    }
    if (record_links && entry.rfind("PATH=", 0) == 0) entry = "PATH=" + fake_bin + ":" + entry.substr(5);
    env.push_back(entry);
  }
  if (record_links) env.push_back("DISPLAY=:dropvan-test");
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

DropvanCopy::DropvanCopy() {
  std::filesystem::copy_file(std::filesystem::path(DROPVAN_BINARY_DIR) / "dropvan", exe());
}

bool DropvanCopy::WindowLibraryBuilt() {
  return std::filesystem::exists(std::filesystem::path(DROPVAN_BINARY_DIR) / "dropvan-window.so");
}

void DropvanCopy::AddWindowLibrary() const {
  if (!WindowLibraryBuilt()) return;
  std::filesystem::copy_file(std::filesystem::path(DROPVAN_BINARY_DIR) / "dropvan-window.so",
                             dir() / "dropvan-window.so");
}

std::string DropvanCopy::exe() const { return (dir() / "dropvan").string(); }
std::string DropvanCopy::DefaultProject() const { return (dir() / "dropvan.batch-dropvan").string(); }
std::string DropvanCopy::RecentList() const { return (dir() / "dropvan.log").string(); }
std::string DropvanCopy::CounterStore() const { return (dir() / "dropvan.ext").string(); }

std::string DropvanCopy::Counter(const std::string& name) const {
  return TrkUsageCounters::Load(CounterStore()).Get(name);
}

std::string DropvanCopy::WriteProject(const std::string& path, const std::vector<std::string>& lines) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << "\r\n";
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

ProcessResult DropvanCopy::Run(const std::vector<std::string>& args, const std::string& cwd,
                               std::chrono::seconds limit) const {
  const std::string out_path = (work_.path() / "stdout").string();
  const std::string err_path = (work_.path() / "stderr").string();
  const std::string folder = cwd.empty() ? dir().string() : cwd;
  const std::string program = exe();
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = ChildEnvironment(record_links_, (work_.path() / "bin").string());
  env_texts.insert(env_texts.end(), extra_env_.begin(), extra_env_.end());
  std::vector<char*> argv = Pointers(argv_texts);
  std::vector<char*> env = Pointers(env_texts);

  const Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Async-signal-safe calls only: the test program may have threads.
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(folder.c_str()) != 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(program.c_str(), argv.data(), env.data());
    _exit(127);
  }
  ProcessResult result;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - start > limit) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  result.exit_code = ExitCodeOf(status);
  result.out = ReadWholeFile(out_path);
  result.err = ReadWholeFile(err_path);
  return result;
}

void DropvanCopy::RecordLinks() {
  const std::filesystem::path bin = work_.path() / "bin";
  std::filesystem::create_directories(bin);
  const std::string script = (bin / "xdg-open").string();
  std::ofstream out(script, std::ios::binary | std::ios::trunc);
  out << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << (work_.path() / "links").string() << "'\n";
  out.close();
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  record_links_ = true;
}

std::vector<std::string> DropvanCopy::Links(size_t expected, std::chrono::milliseconds wait) const {
  const std::string path = (work_.path() / "links").string();
  const Clock::time_point give_up = Clock::now() + wait;
  std::vector<std::string> links;
  while (true) {
    links.clear();
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);) links.push_back(line);
    if (links.size() >= expected || Clock::now() > give_up) return links;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> ReadCrLfLines(const std::string& path) {
  std::string text = ReadWholeFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + " <no CR LF at end>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace testing_support
