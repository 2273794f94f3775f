// The cost per file of recording a site, at 10,000 and at 100,000 small files:
// a whole first run of the sync convertor with NoUpload=True (every file is
// digested, looked up and recorded, the record saved as it grows, no byte sent),
// against a local pyftpdlib server that must see no connection at all. The
// per_file figure at 100,000 must stay below twice the one at 10,000.
// BM_RecordOnly isolates the record itself (index lookups and coalesced saves).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "batch/batch.h"
#include "batch/convertor.h"
#include "project/project.h"
#include "support/ftp_server.h"
#include "support/temp_dir.h"
#include "sync/dropvan.h"
#include "digest/md5.h"
#include "record/upload_store.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FtpServer;
using testing_support::TempDir;

// `count` files of a few dozen bytes in folders of 1,000.
void MakeSite(const fs::path& root, int count) {
  for (int i = 0; i < count; ++i) {
    fs::path folder = root / ("d" + std::to_string(i / 1000));
    if (i % 1000 == 0) fs::create_directories(folder);
    std::ofstream(folder / ("page" + std::to_string(i) + ".html"), std::ios::binary)
        << "<html>page " << i << "</html>\n";
  }
}

void RemoveRecord(const std::string& project_file) {
  for (const char* suffix : {".ini", ".ini.old", ".log"}) fs::remove(project_file + suffix);
}

int RunOnce(TrkProject& project, const std::string& source_dir) {
  auto batch = TrkBatch::Create(project, nullptr);
  batch->Start(source_dir + "*.*", "/www/", true);
  auto chain = TrkConvertor::CreateWorkers(*batch, "/www/", nullptr);
  chain->StartAll();
  chain->WaitUntilLetGo(std::chrono::seconds(2));
  batch->WaitForSearch();
  return batch->Succeeded();
}

// A project of the sync convertor in `home` that records without uploading.
std::unique_ptr<TrkProject> NoUploadProject(const TempDir& home, int threads) {
  auto project = std::make_unique<TrkProject>((home.path() / "dropvan").string());
  project->PathDelimiter = '/';
  project->ConvertorClass = TrkDropvan::Class();
  project->SetFileName((home.path() / "site.batch-dropvan").string());
  project->Options().Set("NoUpload", "True");
  project->Options().Set("ThreadsCount", std::to_string(threads));
  return project;
}

void BM_FirstRunNoUpload(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  FtpServer server;
  TempDir site, home;
  MakeSite(site.path(), count);
  std::unique_ptr<TrkProject> owned = NoUploadProject(home, 2);
  TrkProject& project = *owned;
  auto& options = project.Options();
  options.Set("Server", server.host());
  options.Set("Port", std::to_string(server.port()));
  options.Set("User", server.user());
  options.Set("Password", server.password());
  for (auto _ : state) {
    state.PauseTiming();
    RemoveRecord(project.FileName());
    state.ResumeTiming();
    int recorded = RunOnce(project, site.dir());
    if (recorded != count) state.SkipWithError("not every file was recorded");
  }
  if (server.available() && !server.Trace().empty()) state.SkipWithError("NoUpload connected to the server");
  state.counters["per_file"] =
      benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FirstRunNoUpload)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RecordOnly(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  TempDir home;
  const std::string project_file = (home.path() / "site.batch-dropvan").string();
  TrkUploadStore& store = TrkUploadStore::Process();
  TrkMD5 md5;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveRecord(project_file);
    store.Load(project_file);
    state.ResumeTiming();
    for (int i = 0; i < count; ++i) {
      std::string path = "/site/d" + std::to_string(i / 1000) + "/page" + std::to_string(i) + ".html";
      std::string key = md5.DigestHex(path);
      std::string digest = md5.DigestHex(std::to_string(i));
      if (store.Find(key) != digest) store.Recorded(key, digest, path);
    }
    store.Flush();
  }
  state.counters["per_file"] =
      benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RecordOnly)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A first run of 20,000 files with NoUpload next to a record that already holds
// range(0) MB of other entries. Every save rewrites the whole record; with the
// saves written outside the batch lock the workers never wait for them, so the
// run grows by the cost of loading and indexing the record, not by the saves.
void BM_LargeRecordNoUpload(benchmark::State& state) {
  constexpr int kFiles = 20000;
  TempDir site, home;
  MakeSite(site.path(), kFiles);
  std::unique_ptr<TrkProject> owned = NoUploadProject(home, 4);
  TrkProject& project = *owned;
  std::string others;
  TrkMD5 md5;
  for (int i = 0; others.size() < static_cast<size_t>(state.range(0)) << 20; ++i) {
    others += md5.DigestHex("other" + std::to_string(i)) + "=" + md5.DigestHex(std::to_string(i)) + "\r\n";
  }
  for (auto _ : state) {
    state.PauseTiming();
    RemoveRecord(project.FileName());
    std::ofstream(project.FileName() + ".ini", std::ios::binary) << others;
    state.ResumeTiming();
    if (RunOnce(project, site.dir()) != kFiles) state.SkipWithError("not every file was recorded");
  }
}
BENCHMARK(BM_LargeRecordNoUpload)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
