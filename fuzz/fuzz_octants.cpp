// Mesh.layer_and_octant_counts against an index list and vertex buffer of
// fuzzed sizes and contents.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tree/packed_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int vertex_count = in.ConsumeIntegralInRange(0, 300);
  const int index_count = in.ConsumeIntegralInRange(0, 600);
  std::vector<uint16_t> indices(static_cast<size_t>(index_count));
  for (uint16_t& i : indices) i = in.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(vertex_count + 1));
  std::vector<uint8_t> vertices(static_cast<size_t>(vertex_count) * sizeof(vertex_t));
  const std::string packed = in.ConsumeRemainingBytesAsString();
  int bounds[10];
  try {
    unpackOctantMaskAndOctantCountsAndLayerBounds(packed, indices.data(), index_count, vertices.data(),
                                                  static_cast<int>(vertices.size()), bounds);
  } catch (const decode_error&) {
    return 0;
  }
  for (int m = 0; m < 10; ++m) {
    if (bounds[m] < 0 || bounds[m] > index_count) __builtin_trap();
    if (m > 0 && bounds[m] < bounds[m - 1]) __builtin_trap();
  }
  // Every index inside the bounds was checked against the vertex count.
  for (int i = 0; i < bounds[9]; ++i)
    if (indices[static_cast<size_t>(i)] >= vertex_count) __builtin_trap();
  const vertex_t* v = reinterpret_cast<const vertex_t*>(vertices.data());
  for (int i = 0; i < vertex_count; ++i)
    if (v[i].w > 7) __builtin_trap();
  return 0;
}
