// NodeData.for_normals expanded into a table, then Mesh.normals looked up in it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tree/packed_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  geo_globetrotter_proto_rocktree::NodeData node_data;
  geo_globetrotter_proto_rocktree::Mesh mesh;
  if (in.ConsumeBool()) node_data.set_for_normals(in.ConsumeRandomLengthString(1 << 16));
  mesh.set_vertices(std::string(in.ConsumeIntegralInRange(0, 64), '\0'));
  if (in.ConsumeBool()) mesh.set_normals(in.ConsumeRemainingBytesAsString());

  uint8_t* table = nullptr;
  int table_len = 0;
  try {
    table_len = unpackForNormals(node_data, &table);
    if (table_len % 3 != 0) __builtin_trap();
  } catch (const decode_error&) {
    if (table) __builtin_trap();  // nothing handed out on rejection
  }
  std::unique_ptr<uint8_t[]> owned_table(table);
  uint8_t* normals = nullptr;
  try {
    const int len = unpackNormals(mesh, table, table_len, &normals);
    std::unique_ptr<uint8_t[]> owned(normals);
    if (len % 4 != 0) __builtin_trap();
    for (int i = 3; i < len; i += 4)
      if (normals[i] != 0) __builtin_trap();
  } catch (const decode_error&) {
  }
  return 0;
}
