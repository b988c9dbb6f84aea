// The disk cache's read rate against cat reading the same answers from
// files, both from the page cache (the files and the database are written
// just before): what the cache costs on a warm start beyond the disk. Also
// the store rate, and how far the database file ever gets above its budget.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "net/disk_cache.h"

namespace {

constexpr int answer_count = 400;
constexpr uint64_t budget = uint64_t{64} << 20;

// Answers the size of the service's nodes (a 256x256 JPEG and its mesh),
// from 8 to 48 KB.
struct corpus_t {
  std::string dir;
  std::vector<std::string> keys;
  std::vector<std::string> bodies;
  std::string files;  // the bodies as files, for cat
  uint64_t bytes = 0;

  corpus_t() {
    char tmpl[] = "/tmp/ostravel-bench-cache-XXXXXX";
    dir = mkdtemp(tmpl);
    std::mt19937 gen(5);
    std::string file_list;
    std::filesystem::create_directory(dir + "/files");
    for (int k = 0; k < answer_count; ++k) {
      keys.push_back("http://127.0.0.1:8086/rt/earth/NodeData/pb=!1m2!1s" + std::to_string(k) + "!2u1!2e1!4b0");
      std::string body(8000 + gen() % 40000, '\0');
      for (char& c : body) c = static_cast<char>(gen());
      const std::string path = dir + "/files/" + std::to_string(k);
      std::ofstream(path, std::ios::binary) << body;
      file_list += " " + path;
      bytes += body.size();
      bodies.push_back(std::move(body));
    }
    files = file_list;
    std::string why;
    disk_cache_ptr_t c = openDiskCache(dir + "/cache", budget, &why);
    for (int k = 0; k < answer_count; ++k)
      diskCachePut(*c, keys[k], reinterpret_cast<const uint8_t*>(bodies[k].data()), bodies[k].size());
  }
  ~corpus_t() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

corpus_t& corpus() {
  static corpus_t c;
  return c;
}

void BM_DiskCacheRead(benchmark::State& state) {
  corpus_t& c = corpus();
  std::string why;
  disk_cache_ptr_t cache = openDiskCache(c.dir + "/cache", budget, &why);
  if (!cache) return state.SkipWithError(why.c_str());
  std::vector<uint8_t> out;
  for (auto _ : state) {
    for (const std::string& key : c.keys)
      if (!diskCacheGet(*cache, key, &out)) return state.SkipWithError("an answer is missing");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes_per_second"] =
      benchmark::Counter(static_cast<double>(c.bytes) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

// The anchor: one cat process reading every answer's file.
void BM_CatFiles(benchmark::State& state) {
  corpus_t& c = corpus();
  const std::string cmd = "cat" + c.files + " > /dev/null";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) return state.SkipWithError("cat failed");
  state.counters["bytes_per_second"] =
      benchmark::Counter(static_cast<double>(c.bytes) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Stores three budgets' worth into a small cache; the largest the database
// file and its log ever were, over the budget.
void BM_DiskCacheStore(benchmark::State& state) {
  corpus_t& c = corpus();
  const uint64_t small = uint64_t{8} << 20;
  double worst = 0;
  int64_t stored = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(c.dir + "/small");
    std::string why;
    disk_cache_ptr_t cache = openDiskCache(c.dir + "/small", small, &why);
    if (!cache) return state.SkipWithError(why.c_str());
    const std::string db = diskCachePath(*cache);
    state.ResumeTiming();
    // At least three budgets' worth of answers of about 28 KB.
    for (int round = 0; round < 3 * static_cast<int>(small / c.bytes + 1); ++round)
      for (int k = 0; k < answer_count; ++k) {
        const std::string& body = c.bodies[k];
        diskCachePut(*cache, c.keys[k] + "/" + std::to_string(round), reinterpret_cast<const uint8_t*>(body.data()),
                     body.size());
        ++stored;
        state.PauseTiming();
        worst = std::max(worst, static_cast<double>(fileSize(db) + fileSize(db + "-wal")) / static_cast<double>(small));
        state.ResumeTiming();
      }
  }
  state.counters["stores_per_second"] = benchmark::Counter(static_cast<double>(stored), benchmark::Counter::kIsRate);
  state.counters["max_size_over_budget"] = worst;
}

}  // namespace

BENCHMARK(BM_DiskCacheRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_CatFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_DiskCacheStore)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK_MAIN();
