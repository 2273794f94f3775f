#include "app/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace {

// Back to the line's start, then the text, then erase what an earlier, longer
// text left to its right.
constexpr char kReturn[] = "\r";
constexpr char kEraseToEnd[] = "\x1b[K";

void WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n <= 0) return;  // a terminal gone away: the run goes on without its line
    at += static_cast<size_t>(n);
  }
}

}  // namespace

std::optional<TrkProgressLine::Style> TrkProgressLine::WantedOn(int fd) {
  if (isatty(fd) == 1) return Style::kRedrawn;
  const char* ci = std::getenv("CI");
  if (ci == nullptr || *ci == '\0' || std::string_view(ci) == "false" || std::string_view(ci) == "0") {
    return std::nullopt;
  }
  return Style::kLogged;
}

TrkProgressLine::TrkProgressLine(const TrkBatch& batch, int fd, Style style, std::chrono::milliseconds log_every)
    : batch_(batch), fd_(fd), style_(style), log_every_(log_every), start_(TrkProgressStartOf(batch)),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

TrkProgressLine::~TrkProgressLine() {
  thread_.request_stop();
  thread_.join();
  if (style_ == Style::kRedrawn) WriteAll(fd_, std::string(kReturn) + kEraseToEnd);
}

void TrkProgressLine::Run(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mu_);
  // False once the drawing is to stop.
  const auto pause = [&](std::chrono::milliseconds time) {
    wake_.wait_for(lock, stop, time, [] { return false; });
    return !stop.stop_requested();
  };
  const auto text = [this] {
    return TrkProgressText(TrkProgressOf(batch_, start_, TrkProgressFigures::Stage::kRunning));
  };
  if (style_ == Style::kLogged) {
    // Each line after its interval: a short run's log stays as it was.
    while (pause(log_every_)) WriteAll(fd_, text() + "\n");
    return;
  }
  do {
    Draw(text());
  } while (pause(kRedrawInterval));
}

void TrkProgressLine::Draw(const std::string& text) const {
  winsize size{};
  std::string line = text;
  // The last column stays free: a line that fills it wraps on some terminals.
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col) {
    line.resize(size.ws_col - 1);
  }
  WriteAll(fd_, kReturn + line + kEraseToEnd);
}
