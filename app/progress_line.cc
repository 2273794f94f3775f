#include "app/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

bool TrkProgressLine::WantedOn(int fd) { return isatty(fd) == 1; }

TrkProgressLine::TrkProgressLine(const TrkBatch& batch, int fd)
    : batch_(batch), fd_(fd), start_(TrkProgressStartOf(batch)),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

TrkProgressLine::~TrkProgressLine() {
  thread_.request_stop();
  thread_.join();
  WriteAll(fd_, std::string(kReturn) + kEraseToEnd);
}

void TrkProgressLine::Run(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop.stop_requested()) {
    Draw(TrkProgressText(TrkProgressOf(batch_, start_, TrkProgressFigures::Stage::kRunning)));
    wake_.wait_for(lock, stop, kRedrawInterval, [] { return false; });
  }
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
