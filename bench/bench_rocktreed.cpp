// Build time of one node (mesh, texture, JPEG or CRN, message) over 200
// nodes at levels 8 to 16, against libjpeg-turbo alone encoding the same
// textures.
// Each benchmark reports the median over the 200 nodes as "median_us"
// (one core: the benchmark runs on the calling thread only).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include <time.h>

#include "planet/node_builder.h"

namespace {

const terrain_t& terrain() {
  static const terrain_t t = [] {
    terrain_t out;
    std::string error;
    if (!loadTerrain(default_relief_path, default_imagery_path, &out, &error))
      std::fprintf(stderr, "bench_rocktreed: %s\n", error.c_str());
    return out;
  }();
  return t;
}

// 200 existing nodes, levels 8 to 16, at fixed pseudo-random places (land
// and sea alike, as a flight sees them).
const std::vector<std::string>& sampleNodes() {
  static const std::vector<std::string> nodes = [] {
    std::vector<std::string> out;
    std::mt19937 rng(8086);
    std::uniform_real_distribution<double> lat(-80, 80), lon(-180, 180);
    std::uniform_int_distribution<int> level(8, 16);
    while (out.size() < 200) {
      const double la = lat(rng), lo = lon(rng);
      const int l = level(rng);
      // The octree's digits, as latLonToOctant writes them.
      std::string path;
      path += static_cast<char>('0' + (la >= 0 ? 2 : 0) + (lo >= 0 ? 1 : 0));
      geo_box_t box;
      nodeBox(path, &box);
      while (static_cast<int>(path.size()) < l) {
        path += childDigit(box, static_cast<int>(path.size()), la, lo);
        nodeBox(path, &box);
      }
      if (nodeExists(terrain(), path)) out.push_back(path);
    }
    return out;
  }();
  return nodes;
}

double medianUs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Thread CPU time: the machine is shared, and wall time would count the
// other processes' turns too.
double threadCpuUs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

template <typename F>
double timeUs(F&& f) {
  const double t0 = threadCpuUs();
  f();
  return threadCpuUs() - t0;
}

// Arg: the texture format (1 JPEG, 6 CRN).
void BM_NodeBuild(benchmark::State& state) {
  const auto& nodes = sampleNodes();
  const int format = static_cast<int>(state.range(0));
  std::vector<double> us;
  size_t bytes = 0;
  for (auto _ : state) {
    for (const std::string& path : nodes) {
      us.push_back(timeUs([&] {
        const std::string msg = buildNodeData(terrain(), path, format);
        bytes += msg.size();
        benchmark::DoNotOptimize(msg.data());
      }));
    }
  }
  state.counters["median_us"] = medianUs(us);
  state.counters["mean_bytes"] = static_cast<double>(bytes) / us.size();
}
BENCHMARK(BM_NodeBuild)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond)->Iterations(3);

// The parts of a node build, to see where the time goes.
void BM_NodeParts(benchmark::State& state) {
  const auto& nodes = sampleNodes();
  std::vector<double> geometry, texture, jpeg;
  for (auto _ : state) {
    for (const std::string& path : nodes) {
      node_geometry_t g;
      std::vector<uint8_t> rgb;
      geometry.push_back(timeUs([&] { g = buildNodeGeometry(terrain(), path); }));
      texture.push_back(timeUs([&] { rgb = buildTexture(terrain(), g.box, g.level); }));
      jpeg.push_back(timeUs([&] { benchmark::DoNotOptimize(encodeJpeg(rgb.data(), 256, 256)); }));
    }
  }
  state.counters["geometry_median_us"] = medianUs(geometry);
  state.counters["texture_median_us"] = medianUs(texture);
  state.counters["jpeg_median_us"] = medianUs(jpeg);
}
BENCHMARK(BM_NodeParts)->Unit(benchmark::kMillisecond)->Iterations(1);

// The anchor: libjpeg-turbo alone, same textures, same settings.
void BM_JpegAlone(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> textures;
  for (const std::string& path : sampleNodes()) {
    geo_box_t box;
    nodeBox(path, &box);
    textures.push_back(buildTexture(terrain(), box, static_cast<int>(path.size())));
  }
  std::vector<double> us;
  for (auto _ : state)
    for (const auto& rgb : textures)
      us.push_back(timeUs([&] { benchmark::DoNotOptimize(encodeJpeg(rgb.data(), 256, 256)); }));
  state.counters["median_us"] = medianUs(us);
}
BENCHMARK(BM_JpegAlone)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BulkBuild(benchmark::State& state) {
  // The bulks over Paris, levels 0 to 16.
  std::string path;
  geo_box_t box{-90, 90, -180, 180};
  while (static_cast<int>(path.size()) < 4 * state.range(0)) {
    path += childDigit(box, static_cast<int>(path.size()), 48.86, 2.35);
    nodeBox(path, &box);
  }
  for (auto _ : state) benchmark::DoNotOptimize(buildBulkMetadata(terrain(), path, format_bit_jpg));
  state.SetLabel("bulk at level " + std::to_string(path.size()));
}
BENCHMARK(BM_BulkBuild)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  tuneAllocatorForServing();  // as rocktreed does at start-up
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
