// Handing out items: four workers with a per-file operation that does nothing
// drain items that a producer thread appends through TrkBatch::Add, the path the
// folder search takes for every file it finds. Also the cost of a worker that
// waits for items (it sleeps and looks every millisecond).
//
//   bench_batch                      the benchmarks
//   bench_batch --idle-wait=<ms>     one worker waits <ms> for items, then ends;
//                                    run it under /usr/bin/time to see its CPU time
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/project.h"

namespace {

// Runs `threads` base workers (ConvertFile does nothing) over `count` items that
// a separate thread appends while they run; returns when every worker has ended.
void DrainOnce(int threads, int count, const std::vector<std::string>& names) {
  TrkProject project("");
  project.Options().Set("ThreadsCount", std::to_string(threads));
  auto batch = TrkBatch::Create(project, nullptr);
  auto first = TrkConvertor::CreateWorkers(*batch, "/www/", nullptr);
  first->StartAll();
  std::thread producer([&] {
    for (int i = 0; i + 1 < count; ++i) batch->Add(names[i]);
    batch->AddSingle(names[count - 1]);  // the last one also completes the list
  });
  first->WaitUntilLetGo(std::chrono::seconds(2));
  producer.join();
  if (batch->Count() != count || !batch->IsExhausted()) std::abort();
}

void BM_DrainItems(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int count = static_cast<int>(state.range(1));
  std::vector<std::string> names(count);
  for (int i = 0; i < count; ++i) names[i] = "/site/dir" + std::to_string(i % 100) + "/file" + std::to_string(i) + ".html";
  for (auto _ : state) DrainOnce(threads, count, names);
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_DrainItems)->Args({4, 1000000})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// One worker waits `ms` milliseconds on an empty list that is still growing.
void IdleWait(int ms) {
  TrkProject project("");
  auto batch = TrkBatch::Create(project, nullptr);
  auto first = TrkConvertor::CreateWorkers(*batch, "/www/", nullptr);
  first->StartAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  batch->MarkSearchDone();
  first->WaitUntilLetGo(std::chrono::seconds(2));
}

void BM_IdleWorker2s(benchmark::State& state) {
  for (auto _ : state) IdleWait(2000);
}
// Process CPU time over a 2 s wait: the waiting worker's share is what it costs.
BENCHMARK(BM_IdleWorker2s)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  const char* flag = "--idle-wait=";
  if (argc == 2 && std::strncmp(argv[1], flag, std::strlen(flag)) == 0) {
    IdleWait(std::stoi(argv[1] + std::strlen(flag)));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
