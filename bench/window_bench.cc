// The window listing a 100,000-file folder, next to the same walk by a batch
// with no window (scripts/bench-window prints the ratio). While the window
// lists, a 10 ms timer ticks on the GUI thread; the longest gap between two
// ticks is how long the window could not respond. Runs on the offscreen
// platform.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>
#include <chrono>

#include "app/program.h"
#include "batch/batch.h"
#include "bench_tree.h"
#include "project/project.h"
#include "report/info.h"
#include "select/match.h"
#include "support/recording_opener.h"
#include "support/temp_dir.h"
#include "ui/frm_dropvan_main.h"
#include "ui/list_model.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Program {
  testing_support::TempDir work;
  std::vector<std::string> links;
  TrkInfo info{TrkDropvanIdentity(), work.dir() + "dropvan",
               std::make_unique<testing_support::RecordingOpener>(&links)};
  TrkProject project{work.dir() + "dropvan"};
  TrkMatch filter;
  Program() { TrkSetProjectIdentity(project); }
};

void BM_BatchWalk100k(benchmark::State& state) {
  const std::string& tree = bench_tree::Tree();
  Program program;
  int items = 0;
  for (auto _ : state) {
    std::shared_ptr<TrkBatch> batch = TrkBatch::Create(program.project, &program.filter);
    batch->SetOnItemAdded([](TrkBatch&, TrkNode&) {});
    batch->Start(tree + "*", "", true);
    batch->WaitForSearch();
    items = batch->Count();
  }
  if (static_cast<size_t>(items) != bench_tree::kTreeFiles) state.SkipWithError("wrong item count");
}
BENCHMARK(BM_BatchWalk100k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WindowListing100k(benchmark::State& state) {
  const std::string& tree = bench_tree::Tree();
  Program program;
  TrkFrmDropvanMain window(program.project, program.info, &program.filter);
  window.show();
  window.eSource->setText(QString::fromStdString(tree + "*"));
  window.cSubdir->setChecked(true);
  double longest_gap_ms = 0;
  int rows_during_walk = 0;
  QTimer ticks;
  Clock::time_point last_tick;
  QObject::connect(&ticks, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    longest_gap_ms = std::max(longest_gap_ms, std::chrono::duration<double, std::milli>(now - last_tick).count());
    last_tick = now;
    if (!window.Batch()->SearchDone()) rows_during_walk = window.Model().rowCount();
  });
  for (auto _ : state) {
    last_tick = Clock::now();
    ticks.start(10);
    window.aSearchExecute();
    while (!window.Batch()->SearchDone() || window.Model().rowCount() != window.Batch()->Count()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    ticks.stop();
  }
  if (static_cast<size_t>(window.Model().rowCount()) != bench_tree::kTreeFiles) state.SkipWithError("wrong rows");
  state.counters["longest_gap_ms"] = longest_gap_ms;
  state.counters["rows_during_walk"] = rows_during_walk;
}
BENCHMARK(BM_WindowListing100k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  Q_INIT_RESOURCE(images);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
