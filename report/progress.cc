#include "report/progress.h"

#include <cstdio>

#include "batch/batch.h"

namespace {

std::string Duration(std::chrono::seconds total) {
  const long long seconds = total.count();
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  return text;
}

}  // namespace

TrkProgressStart TrkProgressStartOf(const TrkBatch& batch) {
  return {std::chrono::steady_clock::now(), batch.Succeeded() + batch.Failed(), batch.BytesSent()};
}

TrkProgressFigures TrkProgressOf(const TrkBatch& batch, const TrkProgressStart& start,
                                 TrkProgressFigures::Stage stage) {
  TrkProgressFigures figures;
  figures.stage = stage;
  figures.listing_done = batch.SearchDone();  // read first: the count is then final
  figures.found = batch.Count();
  figures.failed = batch.Failed();
  figures.done = batch.Succeeded() + figures.failed;
  figures.bytes_sent = batch.BytesSent();
  figures.run_done = figures.done - start.done;
  figures.run_bytes = figures.bytes_sent - start.bytes_sent;
  figures.elapsed = std::chrono::steady_clock::now() - start.time;
  return figures;
}

std::string TrkByteSize(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double size = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  for (; size >= 1024 && unit + 1 < std::size(kUnits); ++unit) size /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", size, kUnits[unit]);
  return text;
}

std::string TrkProgressText(const TrkProgressFigures& figures) {
  using Stage = TrkProgressFigures::Stage;
  const std::string found = std::to_string(figures.found) + (figures.listing_done ? "" : "+");
  if (figures.stage == Stage::kListed) return found + " files found";
  std::string text = std::to_string(figures.done) + " of " + found + " files";
  if (figures.failed > 0) text += ", " + std::to_string(figures.failed) + " failed";
  const double seconds = std::chrono::duration<double>(figures.elapsed).count();
  if (figures.bytes_sent > 0) {
    text += ", " + TrkByteSize(figures.bytes_sent) + " sent";
    if (figures.run_bytes > 0 && seconds >= 1) {
      text += " at " + TrkByteSize(static_cast<uint64_t>(figures.run_bytes / seconds)) + "/s";
    }
  }
  const bool pace_known = figures.run_done > 0 && seconds >= 1;
  if (figures.stage == Stage::kRunning && figures.listing_done && pace_known && figures.done < figures.found) {
    const double left = seconds / figures.run_done * (figures.found - figures.done);
    text += ", " + Duration(std::chrono::seconds(static_cast<long long>(left + 0.5))) + " left";
  }
  return text;
}
