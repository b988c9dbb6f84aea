// The planet with GSHHG's coasts against the planet without them, side by
// side in one run: node builds (the 200 places of bench_rocktreed, land
// and sea alike, and 200 nodes on coasts), start-up, and the memory a
// service with --cache-mb 64 grows by over 10,000 distinct coastal nodes.
// CPU time of the calling thread; the two planets' builds alternate, so
// that the machine's other load falls on both alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>
#include <unordered_set>

#include <time.h>

#include "http/routing.h"
#include "planet/gshhg_file.h"
#include "planet/land_water_mask.h"
#include "planet/node_builder.h"
#include "planet/shore_colour.h"

namespace {

double threadCpuUs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

long rssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

service_t* openPlanet(bool coasts, size_t cache_bytes) {
  auto* s = new service_t;
  planet_inputs_t inputs;
  if (!coasts) inputs.gshhg_dir.clear();
  std::string error;
  if (!openService(s, inputs, format_bit_jpg, cache_bytes, &error)) {
    std::fprintf(stderr, "bench_coasts: %s\n", error.c_str());
    std::exit(1);
  }
  if (coasts && !s->terrain.shoreline) {
    std::fprintf(stderr, "bench_coasts: no GSHHG files (scripts/bootstrap installs them)\n");
    std::exit(1);
  }
  return s;
}

std::string pathAt(double lat, double lon, int level) {
  std::string path;
  geo_box_t box{-90, 90, -180, 180};
  while (static_cast<int>(path.size()) < level) {
    path += childDigit(box, static_cast<int>(path.size()), lat, lon);
    nodeBox(path, &box);
  }
  return path;
}

// bench_rocktreed's 200 nodes: levels 8 to 16 at pseudo-random places.
std::vector<std::string> anyNodes(const terrain_t& t) {
  std::vector<std::string> out;
  std::mt19937 rng(8086);
  std::uniform_real_distribution<double> lat(-80, 80), lon(-180, 180);
  std::uniform_int_distribution<int> level(8, 16);
  while (out.size() < 200) {
    const double la = lat(rng), lo = lon(rng);
    const std::string path = pathAt(la, lo, level(rng));
    if (nodeExists(t, path)) out.push_back(path);
  }
  return out;
}

// Distinct nodes on coasts: at points of the full-resolution shoreline in
// pseudo-random bins that have one, levels lo to hi.
std::vector<std::string> coastalNodes(const terrain_t& t, size_t count, int lo, int hi, unsigned seed) {
  std::string error;
  const auto file = GshhgFile::open(std::string(default_gshhg_dir) + "/binned_GSHHS_f.nc", &error);
  if (!file) {
    std::fprintf(stderr, "bench_coasts: %s\n", error.c_str());
    std::exit(1);
  }
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> bin(0, file->columns() * file->rows() - 1), level(lo, hi);
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  while (out.size() < count) {
    const int b = bin(rng);
    if (!file->binHasSegments(b)) continue;
    gshhg_bin_t decoded;
    if (!file->readBin(b, &decoded, &error) || decoded.rings.empty()) continue;
    const gshhg_ring_t& ring = decoded.rings[rng() % decoded.rings.size()];
    const gshhg_point_t p = ring.points[rng() % ring.points.size()];
    const double lat = 90.0 - (b / file->columns() + 1) + p.y / 65535.0;
    double lon = b % file->columns() + p.x / 65535.0;
    if (lon >= 180) lon -= 360;
    if (std::fabs(lat) > 80) continue;
    const std::string path = pathAt(lat, lon, level(rng));
    if (nodeExists(t, path) && seen.insert(path).second) out.push_back(path);
  }
  return out;
}

// Arg 0: bench_rocktreed's 200 nodes; 1: 200 coastal nodes.
void BM_CoastsNodeBuild(benchmark::State& state) {
  static service_t* before = openPlanet(false, 64 << 20);
  static service_t* after = openPlanet(true, 256 << 20);
  const std::vector<std::string> nodes =
      state.range(0) == 0 ? anyNodes(after->terrain) : coastalNodes(after->terrain, 200, 8, 16, 20);
  // A first pass reads the bins (the "cold" figures: each bin is read from
  // its file once, then served from the bin cache).
  std::vector<double> old_us, new_us, cold_us;
  for (const std::string& path : nodes) {
    benchmark::DoNotOptimize(buildNodeData(before->terrain, path, 1));
    const double t0 = threadCpuUs();
    benchmark::DoNotOptimize(buildNodeData(after->terrain, path, 1));
    cold_us.push_back(threadCpuUs() - t0);
  }
  for (auto _ : state)
    for (const std::string& path : nodes) {
      double t0 = threadCpuUs();
      benchmark::DoNotOptimize(buildNodeData(before->terrain, path, 1));
      old_us.push_back(threadCpuUs() - t0);
      t0 = threadCpuUs();
      benchmark::DoNotOptimize(buildNodeData(after->terrain, path, 1));
      new_us.push_back(threadCpuUs() - t0);
    }
  state.counters["before_p50_us"] = percentile(old_us, 0.5);
  state.counters["before_p95_us"] = percentile(old_us, 0.95);
  state.counters["after_p50_us"] = percentile(new_us, 0.5);
  state.counters["after_p95_us"] = percentile(new_us, 0.95);
  state.counters["p95_ratio"] = percentile(new_us, 0.95) / percentile(old_us, 0.95);
  state.counters["cold_p50_us"] = percentile(cold_us, 0.5);
  state.counters["cold_p95_us"] = percentile(cold_us, 0.95);
  state.SetLabel(state.range(0) == 0 ? "200 nodes anywhere, levels 8-16" : "200 coastal nodes, levels 8-16");
}

// Where a coastal node's build goes, stage by stage (medians over the 200
// coastal nodes, bins cached): the height grid, the coverage mask, the
// texture with its colours and rivers, the JPEG, and the same texture of
// the planet without coasts.
void BM_CoastsNodeParts(benchmark::State& state) {
  static service_t* before = openPlanet(false, 64 << 20);
  static service_t* after = openPlanet(true, 256 << 20);
  const std::vector<std::string> nodes = coastalNodes(after->terrain, 200, 8, 16, 20);
  after->terrain.shore_colours_ready.wait();
  for (const std::string& path : nodes) benchmark::DoNotOptimize(buildNodeData(after->terrain, path, 1));
  std::vector<double> grid_us, mask_us, texture_us, jpeg_us, plain_us;
  shore_mask_t mask;
  for (auto _ : state)
    for (const std::string& path : nodes) {
      geo_box_t box;
      nodeBox(path, &box);
      const int level = static_cast<int>(path.size());
      double t0 = threadCpuUs();
      const std::vector<double> h = heightGrid(after->terrain, box, level, shading_cells, 1);
      double t1 = threadCpuUs();
      shoreMask(*after->terrain.shoreline, box, level, &mask);
      double t2 = threadCpuUs();
      const std::vector<uint8_t> rgb = buildTexture(after->terrain, box, level, &h);
      double t3 = threadCpuUs();
      benchmark::DoNotOptimize(encodeJpeg(rgb.data(), texture_size, texture_size));
      double t4 = threadCpuUs();
      const std::vector<double> hb = heightGrid(before->terrain, box, level, shading_cells, 1);
      const double t5 = threadCpuUs();
      benchmark::DoNotOptimize(buildTexture(before->terrain, box, level, &hb));
      plain_us.push_back(threadCpuUs() - t5);
      grid_us.push_back(t1 - t0);
      mask_us.push_back(t2 - t1);
      texture_us.push_back(t3 - t2);
      jpeg_us.push_back(t4 - t3);
    }
  state.counters["height_grid_median_us"] = percentile(grid_us, 0.5);
  state.counters["mask_median_us"] = percentile(mask_us, 0.5);
  state.counters["texture_median_us"] = percentile(texture_us, 0.5);
  state.counters["jpeg_median_us"] = percentile(jpeg_us, 0.5);
  state.counters["texture_without_coasts_median_us"] = percentile(plain_us, 0.5);
}

// openService with and without the coasts, wall time, median of 3 each.
void BM_CoastsStartUp(benchmark::State& state) {
  std::vector<double> with, without;
  for (auto _ : state)
    for (int k = 0; k < 3; ++k)
      for (bool coasts : {false, true}) {
        const auto t0 = std::chrono::steady_clock::now();
        service_t* s = openPlanet(coasts, 64 << 20);
        (coasts ? with : without)
            .push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        delete s;
      }
  state.counters["with_coasts_ms"] = percentile(with, 0.5);
  state.counters["without_ms"] = percentile(without, 0.5);
}

// A service with --cache-mb 64 answers 10,000 distinct coastal nodes
// (levels 10 to 16) on 2 threads. Arg 1: with the coasts, 0: without (run
// each in a process of its own: --benchmark_filter=ServingMemory/0).
void BM_CoastsServingMemory(benchmark::State& state) {
  const bool coasts = state.range(0) == 1;
  for (auto _ : state) {
    service_t* s = openPlanet(coasts, 64 << 20);
    static const std::vector<std::string> nodes = coastalNodes(s->terrain, 10000, 10, 16, 77);
    const long before = rssKb();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        for (size_t i = t; i < nodes.size(); i += 2)
          answerGet(*s, "/rt/earth/NodeData/pb=!1m2!1s" + nodes[i] + "!2u" + std::to_string(planet_epoch) +
                            "!2e1!4b0");
      });
    for (std::thread& t : threads) t.join();
    state.counters["rss_growth_mb"] = (rssKb() - before) / 1024.0;
    state.counters["response_cache_mb"] = static_cast<double>(s->cache->sizeBytes()) / (1 << 20);
    if (coasts) state.counters["bin_cache_mb"] = static_cast<double>(s->terrain.shoreline->cachedBytes()) / (1 << 20);
  }
}

// The memory figure first, while the process is small.
BENCHMARK(BM_CoastsServingMemory)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CoastsStartUp)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CoastsNodeParts)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CoastsNodeBuild)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  tuneAllocatorForServing();  // as rocktreed does at start-up
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
