// The packed bounding box and the packed path-and-flags word.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "tree/packed_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  geo_globetrotter_proto_rocktree::NodeMetadata meta;
  meta.set_path_and_flags(in.ConsumeIntegral<uint32_t>());
  const node_data_path_and_flags_t aux = unpackPathAndFlags(meta);
  if (aux.level < 1 || aux.level > 4 || static_cast<int>(std::strlen(aux.path)) != aux.level) __builtin_trap();
  for (int i = 0; i < aux.level; ++i)
    if (aux.path[i] < '0' || aux.path[i] > '7') __builtin_trap();

  const Eigen::Vector3f head(in.ConsumeFloatingPoint<float>(), in.ConsumeFloatingPoint<float>(),
                             in.ConsumeFloatingPoint<float>());
  const float meters_per_texel = in.ConsumeFloatingPoint<float>();
  const std::string packed = in.ConsumeRemainingBytesAsString();
  try {
    const OrientedBoundingBox box = unpackObb(packed, head, meters_per_texel);
    // Whatever the angles, the orientation is a rotation.
    const Eigen::Matrix3d should_be_identity = box.orientation * box.orientation.transpose();
    if (!should_be_identity.isApprox(Eigen::Matrix3d::Identity(), 1e-5)) __builtin_trap();
  } catch (const decode_error&) {
    if (packed.size() == 15) __builtin_trap();
  }
  return 0;
}
