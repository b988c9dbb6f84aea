// Decoders on realistic sizes, and populateNode on a node with a 256x256
// JPEG texture and a mesh of about 1,000 vertices, against the bare
// libjpeg-turbo decode of the same JPEG. Prints the ratio of the medians.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <turbojpeg.h>

// The image decoder the viewer used for JPEG before libjpeg-turbo, for
// comparison only (private to this file).
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include "tree/population.h"
#include "test_messages.h"

using namespace test_messages;

namespace {

// A node mesh as the service sends it: a 32 x 32 grid (1,024 vertices).
const grid_mesh_t& grid() {
  static const grid_mesh_t g = gridMesh(32);
  return g;
}

const std::string& jpeg256() {
  static const std::string jpeg = makeJpeg(256, 256, 3, 85);
  return jpeg;
}

const NodeData& nodeMessage() {
  static const NodeData nd = [] {
    NodeData m = nodeDataWithMatrix();
    Mesh* mesh = m.add_meshes();
    fillMesh(mesh, grid());
    setTexture(mesh, Texture_Format_JPG, jpeg256(), 256, 256);
    return m;
  }();
  return nd;
}

void BM_UnpackIndices(benchmark::State& state) {
  const std::string packed = packIndices(grid().strip);
  for (auto _ : state) benchmark::DoNotOptimize(unpackIndices(packed));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(grid().strip.size()));
}
BENCHMARK(BM_UnpackIndices);

void BM_UnpackVertices(benchmark::State& state) {
  const std::string packed = packVertices(grid().xyz);
  for (auto _ : state) benchmark::DoNotOptimize(unpackVertices(packed));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(grid().xyz.size()));
}
BENCHMARK(BM_UnpackVertices);

void BM_UnpackTexCoords(benchmark::State& state) {
  const std::string packed = packTexCoords(256, 256, grid().uv);
  std::vector<uint8_t> vertices = unpackVertices(packVertices(grid().xyz));
  Eigen::Vector2f offset, scale;
  for (auto _ : state) {
    unpackTexCoords(packed, vertices.data(), vertices.size(), offset, scale);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(grid().xyz.size()));
}
BENCHMARK(BM_UnpackTexCoords);

void BM_UnpackOctants(benchmark::State& state) {
  const std::string packed = packRuns(grid().runs);
  std::vector<uint8_t> vertices = unpackVertices(packVertices(grid().xyz));
  const std::vector<uint16_t>& strip = grid().strip;
  int bounds[10];
  for (auto _ : state) {
    unpackOctantMaskAndOctantCountsAndLayerBounds(packed, strip.data(), static_cast<int>(strip.size()),
                                                  vertices.data(), static_cast<int>(vertices.size()), bounds);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(strip.size()));
}
BENCHMARK(BM_UnpackOctants);

// A table of 1,024 normals and a mesh of 1,024 normals looked up in it.
void BM_UnpackForNormals(benchmark::State& state) {
  NodeData nd;
  std::string packed("\x00\x04\x05", 3);
  for (int i = 0; i < 2048; ++i) packed.push_back(static_cast<char>(i * 37));
  nd.set_for_normals(packed);
  for (auto _ : state) {
    uint8_t* table = nullptr;
    benchmark::DoNotOptimize(unpackForNormals(nd, &table));
    delete[] table;
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_UnpackForNormals);

void BM_UnpackNormals(benchmark::State& state) {
  std::vector<uint8_t> table(3 * 1024, 127);
  Mesh mesh;
  std::string normals(2048, '\0');
  for (int i = 0; i < 1024; ++i) {
    normals[i] = static_cast<char>(i & 0xFF);
    normals[1024 + i] = static_cast<char>(i >> 8);
  }
  mesh.set_normals(normals);
  for (auto _ : state) {
    uint8_t* out = nullptr;
    benchmark::DoNotOptimize(unpackNormals(mesh, table.data(), static_cast<int>(table.size()), &out));
    delete[] out;
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_UnpackNormals);

void BM_UnpackObb(benchmark::State& state) {
  const std::string packed = packObb({-1234, 567, 89}, {200, 100, 50}, {12345, 23456, 34567});
  const Eigen::Vector3f head(4000000.0f, 3000000.0f, 3500000.0f);
  for (auto _ : state) benchmark::DoNotOptimize(unpackObb(packed, head, 2.5f));
}
BENCHMARK(BM_UnpackObb);

void BM_UnpackPathAndFlags(benchmark::State& state) {
  NodeMetadata meta;
  meta.set_path_and_flags(packPathAndFlags("3210", 16));
  for (auto _ : state) benchmark::DoNotOptimize(unpackPathAndFlags(meta));
}
BENCHMARK(BM_UnpackPathAndFlags);

// A full bulk: the 4 + 16 + 64 + 256 nodes of four levels below its head,
// the deepest of them also child bulks.
void BM_PopulateBulk(benchmark::State& state) {
  BulkMetadata m;
  m.mutable_head_node_key()->set_epoch(1);
  for (double c : {4000000.0, 3000000.0, 3500000.0}) m.add_head_node_center(c);
  for (float mpt : {8.0f, 4.0f, 2.0f, 1.0f}) m.add_meters_per_texel(mpt);
  m.set_default_available_texture_formats(1);
  std::vector<std::string> level{""};
  for (int depth = 1; depth <= 4; ++depth) {
    std::vector<std::string> next;
    for (const std::string& p : level)
      for (char d : {'0', '1', '2', '3'}) next.push_back(p + d);
    for (const std::string& p : next) {
      NodeMetadata* n = m.add_node_metadata();
      n->set_path_and_flags(packPathAndFlags(p, 0));
      n->set_oriented_bounding_box(packObb({10, 20, 30}, {40, 50, 60}, {1000, 2000, 3000}));
    }
    level = next;
  }
  for (auto _ : state) {
    state.PauseTiming();
    bulk_t bulk{};
    bulk.setNotDownloadedYet();
    bulk.setStartedDownloading();
    auto message = std::make_unique<BulkMetadata>(m);
    state.ResumeTiming();
    benchmark::DoNotOptimize(populateBulk(&bulk, std::move(message)));
    state.PauseTiming();
    bulk.nodes.clear();
    bulk.bulks.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * m.node_metadata_size());
}
BENCHMARK(BM_PopulateBulk);

void BM_BareJpegDecode(benchmark::State& state) {
  const std::string& jpeg = jpeg256();
  tjhandle tj = tjInitDecompress();
  std::vector<uint8_t> rgb(256 * 256 * 3);
  for (auto _ : state) {
    if (tjDecompress2(tj, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), rgb.data(), 256, 0,
                      256, TJPF_RGB, 0) != 0)
      state.SkipWithError("tjDecompress2 failed");
    benchmark::ClobberMemory();
  }
  tjDestroy(tj);
}
BENCHMARK(BM_BareJpegDecode);

void BM_StbJpegDecode(benchmark::State& state) {
  const std::string& jpeg = jpeg256();
  for (auto _ : state) {
    int w = 0, h = 0, comp = 0;
    stbi_uc* px = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(jpeg.data()),
                                        static_cast<int>(jpeg.size()), &w, &h, &comp, 0);
    if (!px) state.SkipWithError("stb_image failed");
    benchmark::DoNotOptimize(px);
    stbi_image_free(px);
  }
}
BENCHMARK(BM_StbJpegDecode);

void BM_PopulateNode(benchmark::State& state) {
  bulk_t bulk{};
  bulk.setNotDownloadedYet();
  for (auto _ : state) {
    state.PauseTiming();
    auto node = std::make_unique<node_t>();
    node->parent = &bulk;
    node->can_have_data = true;
    node->setNotDownloadedYet();
    node->setStartedDownloading();
    auto message = std::make_unique<NodeData>(nodeMessage());
    state.ResumeTiming();
    if (!populateNode(node.get(), std::move(message))) state.SkipWithError("node rejected");
    state.PauseTiming();
    dropNodeContents(node.get());  // gives its texture bytes back to the budget
    node.reset();
    bulk.busy_ctr = 0;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PopulateNode);

// Keeps the medians of the repeated runs for the ratio line.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> median_ns, median_cpu_ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        median_ns[r.run_name.function_name] = r.GetAdjustedRealTime();
        median_cpu_ns[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Medians need repetitions; the command line may still choose otherwise.
  std::vector<char*> args(argv, argv + argc);
  bool repetitions_given = false;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitions_given = true;
  static char repetitions[] = "--benchmark_repetitions=9";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  if (!repetitions_given) {
    args.push_back(repetitions);
    args.push_back(aggregates);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // CPU time as well: on a loaded machine wall time also counts the waits.
  for (auto* medians : {&reporter.median_ns, &reporter.median_cpu_ns}) {
    const auto node = medians->find("BM_PopulateNode");
    const auto bare = medians->find("BM_BareJpegDecode");
    if (node == medians->end() || bare == medians->end() || bare->second <= 0) continue;
    std::printf("populateNode / bare JPEG decode (%s medians): %.1f us / %.1f us = %.3f (goal <= 1.2)\n",
                medians == &reporter.median_ns ? "wall" : "CPU", node->second / 1000.0, bare->second / 1000.0,
                node->second / bare->second);
  }
  benchmark::Shutdown();
  return 0;
}
