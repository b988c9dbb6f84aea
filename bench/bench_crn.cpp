// CRN texture figures. Decode: our decoder against the crunch tool decoding
// the same file to DDS (whole process, in CPU time; BM_CrunchDecode/1 is its
// start-up on a 1x1 file, to subtract) and against memcpy of the output size
// (the floor); bytes/s are MB of DXT1 output. Compare CPU columns: the
// machine is shared, so wall times vary with other work. Encode: rocktreed's CRN encoder against JPEG
// on a 256x256 photo, and, with the service's core, whole node builds in both
// formats with their response sizes.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "crn/crn_decomp.h"
#include "planet/crn_encoder.h"
#include "planet/dxt1_encoder.h"
#include "test_crn_images.h"
#ifdef CRN_BENCH_SQUISH
#include <squish.h>
#endif
#ifdef CRN_BENCH_NODES
#include "planet/node_builder.h"
#include "rocktree.pb.h"
#include "planet/terrain.h"
#endif

namespace {

const std::string crunch_tool = CRN_CRUNCH_TOOL;
const std::string work_dir = CRN_BENCH_DIR;

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeTga(const std::string& path, const image_t& im) {
  std::vector<uint8_t> tga(18, 0);
  tga[2] = 2, tga[12] = im.width & 255, tga[13] = im.width >> 8;
  tga[14] = im.height & 255, tga[15] = im.height >> 8, tga[16] = 24, tga[17] = 0x20;
  for (size_t i = 0; i < im.rgb.size(); i += 3) tga.insert(tga.end(), {im.rgb[i + 2], im.rgb[i + 1], im.rgb[i]});
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(tga.data()), tga.size());
}

// Photo crops of side n (1, 256, 2048) encoded once by crunch (a 2048x2048
// encode takes minutes) and kept in the build tree; the path, or "" when
// crunch is not there.
std::string crnFile(int n) {
  const std::string path = work_dir + "/photo_" + std::to_string(n) + ".crn";
  if (access(path.c_str(), R_OK) == 0) return path;
  if (access(crunch_tool.c_str(), X_OK) != 0) return "";
  mkdir(work_dir.c_str(), 0755);
  const std::string tga = work_dir + "/photo_" + std::to_string(n) + ".tga";
  writeTga(tga, photoCrop(CRN_EARTH_JPG, "photo", n, n, 600, 100));
  const std::string cmd = "'" + crunch_tool + "' -file '" + tga + "' -fileformat crn -DXT1 -mipMode None -quiet -out '" +
                          path + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0 ? path : "";
}

uint32_t outputBytes(int n) { return static_cast<uint32_t>((n + 3) / 4) * ((n + 3) / 4) * 8; }

void BM_CrnDecodeOurs(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = crnFile(n);
  if (path.empty()) return state.SkipWithError("crunch not fetched (scripts/fetch-crunch)");
  const std::vector<uint8_t> crn = readFile(path);
  std::vector<uint8_t> out(outputBytes(n));
  for (auto _ : state) {
    crnd::crnd_unpack_context_t* ctx = crnd::crnd_unpack_begin(crn.data(), static_cast<uint32_t>(crn.size()));
    void* faces[1] = {out.data()};
    if (!ctx || !crnd::crnd_unpack_level(ctx, faces, static_cast<uint32_t>(out.size()), 0, 0))
      return state.SkipWithError("decode failed");
    crnd::crnd_unpack_end(ctx);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * out.size());
  state.counters["crn_bytes"] = static_cast<double>(crn.size());
}
BENCHMARK(BM_CrnDecodeOurs)->Arg(256)->Arg(2048)->Unit(benchmark::kMicrosecond);

double childCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void BM_CrunchDecode(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = crnFile(n);
  if (path.empty()) return state.SkipWithError("crunch not fetched (scripts/fetch-crunch)");
  const std::string cmd = "'" + crunch_tool + "' -file '" + path + "' -fileformat dds -noprogress -quiet -out '" +
                          work_dir + "/out_" + std::to_string(n) + ".dds' >/dev/null 2>&1";
  // The tool runs in a child process: its time is the child's CPU time
  // (user + system), which unlike wall time does not grow with the load of
  // other processes on the machine.
  for (auto _ : state) {
    const double before = childCpuSeconds();
    if (std::system(cmd.c_str()) != 0) return state.SkipWithError("crunch failed");
    state.SetIterationTime(childCpuSeconds() - before);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * outputBytes(n));
}
BENCHMARK(BM_CrunchDecode)->Arg(1)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_MemcpyOutput(benchmark::State& state) {
  const uint32_t size = outputBytes(static_cast<int>(state.range(0)));
  std::vector<uint8_t> src(size, 1), dst(size);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), size);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_MemcpyOutput)->Arg(256)->Arg(2048)->Unit(benchmark::kMicrosecond);

const image_t& photo256() {
  static const image_t im = photoCrop(CRN_EARTH_JPG, "photo", 256, 256, 1000, 300);
  return im;
}

void BM_EncodeCrn256(benchmark::State& state) {
  const image_t& im = photo256();
  size_t bytes = 0;
  for (auto _ : state) bytes = encodeCrnDxt1(im.rgb.data(), 256, 256).size();
  state.counters["out_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeCrn256)->Unit(benchmark::kMillisecond);

// The same JPEG settings as rocktreed's node textures (quality 85, 4:2:0,
// fast DCT).
void BM_EncodeJpeg256(benchmark::State& state) {
  const image_t& im = photo256();
  tjhandle tj = tjInitCompress();
  unsigned long bytes = 0;
  for (auto _ : state) {
    unsigned char* buf = nullptr;
    tjCompress2(tj, im.rgb.data(), 256, 0, 256, TJPF_RGB, &buf, &bytes, TJSAMP_420, 85, TJFLAG_FASTDCT);
    tjFree(buf);
  }
  tjDestroy(tj);
  state.counters["out_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeJpeg256)->Unit(benchmark::kMillisecond);

// The two steps of the CRN encode. DXT1: stb_dxt (rocktreed's) against
// libsquish's fastest fit (range fit), each with its mean error in levels
// of 0..255 per channel; packing: the blocks to a CRN file.
void BM_Dxt1Stb256(benchmark::State& state) {
  const image_t& im = photo256();
  std::vector<uint8_t> blocks;
  for (auto _ : state) blocks = compressDxt1(im.rgb.data(), 256, 256);
  double mean = 0;
  int worst = 0;
  dxt1Error(blocks, im, &mean, &worst);
  state.counters["mean_error"] = mean;
}
BENCHMARK(BM_Dxt1Stb256)->Unit(benchmark::kMicrosecond);

#ifdef CRN_BENCH_SQUISH
void BM_Dxt1SquishRangeFit256(benchmark::State& state) {
  const image_t& im = photo256();
  std::vector<uint8_t> blocks(64 * 64 * 8);
  uint8_t rgba[64];
  for (auto _ : state)
    for (int b = 0; b < 64 * 64; ++b) {
      for (int p = 0; p < 16; ++p) {
        const uint8_t* src = &im.rgb[((4 * (b / 64) + p / 4) * 256 + 4 * (b % 64) + p % 4) * 3];
        rgba[4 * p] = src[0], rgba[4 * p + 1] = src[1], rgba[4 * p + 2] = src[2], rgba[4 * p + 3] = 255;
      }
      squish::Compress(rgba, &blocks[b * 8], squish::kDxt1 | squish::kColourRangeFit);
    }
  double mean = 0;
  int worst = 0;
  dxt1Error(blocks, im, &mean, &worst);
  state.counters["mean_error"] = mean;
}
BENCHMARK(BM_Dxt1SquishRangeFit256)->Unit(benchmark::kMicrosecond);
#endif

void BM_PackCrn256(benchmark::State& state) {
  const image_t& im = photo256();
  const std::vector<uint8_t> blocks = compressDxt1(im.rgb.data(), 256, 256);
  size_t bytes = 0;
  for (auto _ : state) bytes = packCrnDxt1(blocks.data(), 256, 256).size();
  state.counters["out_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PackCrn256)->Unit(benchmark::kMicrosecond);

#ifdef CRN_BENCH_NODES
const terrain_t* terrain() {
  static terrain_t t;
  static std::string error;
  static const bool ok = loadTerrain(default_relief_path, default_imagery_path, &t, &error);
  return ok ? &t : nullptr;
}

// One land node per level (over the Alps), built as rocktreed does on a
// cache miss; arg 0 = JPG, 1 = CRN_DXT1.
void BM_BuildNode(benchmark::State& state) {
  const terrain_t* t = terrain();
  if (!t) return state.SkipWithError("terrain sources missing");
  using namespace geo_globetrotter_proto_rocktree;
  const int format = state.range(0) ? Texture_Format_CRN_DXT1 : Texture_Format_JPG;
  const std::string path = std::string("21212121").substr(0, static_cast<size_t>(state.range(1)));
  if (!nodeExists(*t, path)) return state.SkipWithError("no such node");
  size_t bytes = 0;
  for (auto _ : state) bytes = buildNodeData(*t, path, format).size();
  state.counters["response_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildNode)->ArgsProduct({{0, 1}, {4, 8}})->ArgNames({"crn", "level"})->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
