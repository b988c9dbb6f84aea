// Build time of one node (mesh, texture, JPEG or CRN, message) over 200
// nodes at levels 8 to 16, against libjpeg-turbo alone encoding the same
// textures.
// Each benchmark reports the median over the 200 nodes as "median_us"
// (one core: the benchmark runs on the calling thread only).
//
// With a user layer: a 1 GB tiled GeoTIFF with overviews, generated on the
// first run under the build folder (bench-data/, kept for later runs): node
// builds over it (p50, p95), start-up with it, and the memory a service with
// --cache-mb 64 grows by while serving thousands of nodes over it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include <time.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gdal.h>
#include <ogr_srs_api.h>

#include "http/routing.h"
#include "planet/node_builder.h"

namespace {

// First, while the process is small and has freed nothing it could reuse.
void BM_InsetServingMemory(benchmark::State& state);
BENCHMARK(BM_InsetServingMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

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
      const std::string path = nodePathOver(la, lo, l);
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

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
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
  state.counters["p95_us"] = percentile(us, 0.95);
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

// One bulk (its up to 340 node entries with their boxes), levels 0 to 16
// over Paris.
void BM_BulkBuild(benchmark::State& state) {
  const std::string path = nodePathOver(48.86, 2.35, 4 * static_cast<int>(state.range(0)));
  const terrain_t& t = terrain();  // loaded before the clock runs
  std::vector<double> us;
  for (auto _ : state)
    us.push_back(timeUs([&] { benchmark::DoNotOptimize(buildBulkMetadata(t, path, format_bit_jpg)); }));
  state.counters["median_us"] = medianUs(us);
  state.SetLabel("bulk at level " + std::to_string(path.size()));
}
BENCHMARK(BM_BulkBuild)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// What a bulk's boxes cost in size: every entry of the bulks at levels 0 to
// 16 over Paris, the Alps, the Himalaya and the coast of Norway, the box a
// bulk announces (bounded without the mesh) against the tightest box around
// the built mesh. Volumes and the longest side in metres (decoded extents
// times meters_per_texel); "mpt_raised_share" counts the entries whose
// meters_per_texel had to rise above the tight box's. The time of each per
// node, too.
void BM_BulkBoxSize(benchmark::State& state) {
  const terrain_t& t = terrain();
  std::vector<std::string> paths;
  for (const auto& [lat, lon] : {std::pair{48.86, 2.35}, {45.9, 6.9}, {28.0, 86.9}, {62.1, 5.1}})
    for (int level = 0; level <= 16; level += 4) {
      const std::string bulk = nodePathOver(lat, lon, level);
      if (!bulkExists(t, bulk)) continue;
      std::vector<std::string> parents{bulk};
      for (int depth = 0; depth < bulk_depth; ++depth) {
        std::vector<std::string> next;
        for (const std::string& p : parents) {
          geo_box_t box;
          nodeBox(p, &box);
          for (const child_quadrant_t& c : childQuadrants(box, static_cast<int>(p.size()))) {
            const std::string child = p + c.digit;
            if (!nodeExists(t, child)) continue;
            paths.push_back(child);
            if (!nodeIsLeaf(t, child)) next.push_back(child);
          }
        }
        parents = std::move(next);
      }
    }
  std::vector<double> volume, longest, bound_us, fit_us;
  int raised = 0;
  for (auto _ : state) {
    for (const std::string& path : paths) {
      const Eigen::Vector3f head = headNodeCenter(path.substr(0, (path.size() - 1) / 4 * 4)).cast<float>();
      node_box_t bound{}, fit{};
      bound_us.push_back(timeUs([&] { bound = boundNodeBox(t, path, head); }));
      fit_us.push_back(timeUs([&] { fit = fitNodeBox(buildNodeGeometry(t, path), head); }));
      Eigen::Vector3d b, f;
      for (int k = 0; k < 3; ++k) {
        b[k] = bound.packed.extents[k] * static_cast<double>(bound.meters_per_texel);
        f[k] = fit.packed.extents[k] * static_cast<double>(fit.meters_per_texel);
      }
      volume.push_back(b.prod() / f.prod());
      longest.push_back(b.maxCoeff() / f.maxCoeff());
      raised += bound.meters_per_texel > fit.meters_per_texel;
    }
  }
  state.counters["nodes"] = static_cast<double>(paths.size());
  state.counters["volume_ratio_median"] = medianUs(volume);
  state.counters["volume_ratio_p95"] = percentile(volume, 0.95);
  state.counters["volume_ratio_max"] = percentile(volume, 1.0);
  state.counters["longest_side_ratio_median"] = medianUs(longest);
  state.counters["longest_side_ratio_max"] = percentile(longest, 1.0);
  state.counters["mpt_raised_share"] = static_cast<double>(raised) / volume.size();
  state.counters["bound_median_us"] = medianUs(bound_us);
  state.counters["fit_median_us"] = medianUs(fit_us);
}
BENCHMARK(BM_BulkBoxSize)->Unit(benchmark::kMillisecond)->Iterations(1);

// --- a 1 GB user layer --------------------------------------------------------------

// 18432^2 RGB pixels of about 6 m over one degree of the Alps, 256-pixel
// tiles, uncompressed (1.02 GB), with averaged overviews down to 288^2.
constexpr int big_side = 18432;
constexpr double big_w = 6.0, big_n = 46.5, big_deg = 1.0;

const std::string& bigInset() {
  static const std::string path = [] {
    const std::string dir = OSTRAVEL_BENCH_DATA;
    const std::string file = dir + "/inset_1gb.tif", done = file + ".done";
    if (std::filesystem::exists(done)) return file;
    std::filesystem::create_directories(dir);
    initGdal();
    setGdalCacheBytes(256 << 20);
    std::fprintf(stderr, "bench_rocktreed: generating %s (once)\n", file.c_str());
    const char* options[] = {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "BIGTIFF=YES", nullptr};
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), file.c_str(), big_side, big_side, 3, GDT_Byte,
                                 const_cast<char**>(options));
    if (!ds) return std::string();
    double gt[6] = {big_w, big_deg / big_side, 0, big_n, 0, -big_deg / big_side};
    GDALSetGeoTransform(ds, gt);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 4326);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
    // Fields and roads: smooth colour changes with sharp lines, so that
    // JPEG and the overviews have real work.
    std::vector<uint8_t> strip(static_cast<size_t>(big_side) * 256 * 3);
    for (int y0 = 0; y0 < big_side; y0 += 256) {
      for (int y = 0; y < 256; ++y)
        for (int x = 0; x < big_side; ++x) {
          const int gy = y0 + y;
          uint8_t* p = &strip[(static_cast<size_t>(y) * big_side + x) * 3];
          const bool road = (x % 997) < 3 || (gy % 1361) < 3;
          const int field = ((x / 211) * 7 + (gy / 173) * 13) % 5;
          p[0] = road ? 200 : static_cast<uint8_t>(60 + field * 25 + (x ^ gy) % 16);
          p[1] = road ? 200 : static_cast<uint8_t>(110 + field * 15 + (x * gy) % 13);
          p[2] = road ? 190 : static_cast<uint8_t>(40 + field * 10);
        }
      if (GDALDatasetRasterIO(ds, GF_Write, 0, y0, big_side, 256, strip.data(), big_side, 256, GDT_Byte, 3,
                              nullptr, 3, static_cast<GSpacing>(big_side) * 3, 1) != CE_None)
        return std::string();
    }
    int levels[] = {2, 4, 8, 16, 32, 64};
    if (GDALBuildOverviews(ds, "AVERAGE", 6, levels, 0, nullptr, nullptr, nullptr) != CE_None)
      return std::string();
    GDALClose(ds);
    std::ofstream(done) << "ok\n";
    return file;
  }();
  return path;
}

service_t* openWithInset(size_t cache_bytes) {
  auto* s = new service_t;
  planet_inputs_t inputs;
  inputs.imagery_layers = {bigInset()};
  std::string error;
  if (!openService(s, inputs, format_bit_jpg, cache_bytes, &error)) {
    std::fprintf(stderr, "bench_rocktreed: %s\n", error.c_str());
    std::exit(1);
  }
  return s;
}

// Existing nodes at fixed pseudo-random places inside the inset.
std::vector<std::string> insetNodes(const terrain_t& t, size_t count, int lo, int hi, unsigned seed) {
  std::vector<std::string> out;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> lat(big_n - big_deg, big_n), lon(big_w, big_w + big_deg);
  std::uniform_int_distribution<int> level(lo, hi);
  while (out.size() < count) {
    const double la = lat(rng), lo_ = lon(rng);
    const int l = level(rng);
    const std::string path = nodePathOver(la, lo_, l);
    if (nodeExists(t, path)) out.push_back(path);
  }
  return out;
}

// 200 distinct nodes at levels 8 to 18 over the inset, each built once, at
// scattered places (few tiles shared between them: harder than a flight,
// whose neighbours share them). First 300 other nodes, so that GDAL's cache
// is full and recycles its blocks as in a service that has run a while;
// that pass's figures are the "cold_" ones.
void BM_InsetNodeBuild(benchmark::State& state) {
  if (bigInset().empty()) return state.SkipWithError("cannot generate the 1 GB inset");
  static service_t* s = openWithInset(static_cast<size_t>(default_cache_mb) << 20);
  std::vector<double> cold;
  for (const std::string& path : insetNodes(s->terrain, 300, 8, 18, 4242))
    cold.push_back(timeUs([&] { benchmark::DoNotOptimize(buildNodeData(s->terrain, path, 1)); }));
  state.counters["cold_median_us"] = medianUs(cold);
  state.counters["cold_p95_us"] = percentile(cold, 0.95);
  const std::vector<std::string> nodes = insetNodes(s->terrain, 200, 8, 18, 1313);
  std::vector<double> cpu, wall;
  for (auto _ : state)
    for (const std::string& path : nodes) {
      const auto w0 = std::chrono::steady_clock::now();
      cpu.push_back(timeUs([&] { benchmark::DoNotOptimize(buildNodeData(s->terrain, path, 1)); }));
      wall.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - w0).count());
    }
  state.counters["median_us"] = medianUs(cpu);
  state.counters["p95_us"] = percentile(cpu, 0.95);
  state.counters["wall_median_us"] = medianUs(wall);
  state.counters["wall_p95_us"] = percentile(wall, 0.95);
}
BENCHMARK(BM_InsetNodeBuild)->Unit(benchmark::kMillisecond)->Iterations(1);

// Start-up (the built-in rasters read whole, the inset's metadata only)
// with the inset and without it; the inset's own opening alone.
void BM_InsetStartUp(benchmark::State& state) {
  if (bigInset().empty()) return state.SkipWithError("cannot generate the 1 GB inset");
  std::vector<double> with, without, inset_only;
  auto ms = [](auto&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) {
    with.push_back(ms([] { delete openWithInset(64 << 20); }));
    without.push_back(ms([] {
      service_t s;
      std::string error;
      openService(&s, default_relief_path, default_imagery_path, format_bit_jpg, 64 << 20, &error);
    }));
    inset_only.push_back(ms([] {
      std::string error;
      benchmark::DoNotOptimize(RasterLayer::open(bigInset(), layer_imagery, &error));
    }));
  }
  state.counters["with_inset_ms"] = medianUs(with);
  state.counters["built_in_only_ms"] = medianUs(without);
  state.counters["inset_open_ms"] = medianUs(inset_only);
}
BENCHMARK(BM_InsetStartUp)->Unit(benchmark::kMillisecond)->Iterations(3);

long rssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// A service with --cache-mb 64 answers 3,000 distinct nodes over the inset
// from two threads: how much it grows over its start-up size.
void BM_InsetServingMemory(benchmark::State& state) {
  if (bigInset().empty()) return state.SkipWithError("cannot generate the 1 GB inset");
  for (auto _ : state) {
    service_t* s = openWithInset(64 << 20);
    const std::vector<std::string> nodes = insetNodes(s->terrain, 3000, 10, 18, 77);
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
    state.counters["gdal_cache_used_mb"] = static_cast<double>(GDALGetCacheUsed64()) / (1 << 20);
    state.counters["response_cache_mb"] = static_cast<double>(s->cache->sizeBytes()) / (1 << 20);
    state.counters["cache_mb_option"] = 64;
  }
}

}  // namespace

int main(int argc, char** argv) {
  tuneAllocatorForServing();  // as rocktreed does at start-up
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
