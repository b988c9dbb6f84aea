// Mesh.vertices followed by Mesh.texture_coordinates for the same vertices.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "tree/packed_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string vertices = in.ConsumeRandomLengthString(3 * 4096);
  const std::string tex_coords = in.ConsumeRemainingBytesAsString();
  std::vector<uint8_t> buf = unpackVertices(vertices);
  if (buf.size() != vertices.size() / 3 * sizeof(vertex_t)) __builtin_trap();
  Eigen::Vector2f offset, scale;
  try {
    unpackTexCoords(tex_coords, buf.data(), buf.size(), offset, scale);
  } catch (const decode_error&) {
    return 0;
  }
  const uint32_t u_mod = 1u + (static_cast<uint8_t>(tex_coords[0]) | static_cast<uint8_t>(tex_coords[1]) << 8);
  const uint32_t v_mod = 1u + (static_cast<uint8_t>(tex_coords[2]) | static_cast<uint8_t>(tex_coords[3]) << 8);
  const vertex_t* v = reinterpret_cast<const vertex_t*>(buf.data());
  for (size_t i = 0; i < buf.size() / sizeof(vertex_t); ++i)
    if (v[i].u >= u_mod || v[i].v >= v_mod) __builtin_trap();
  return 0;
}
