// Decoders of the packed fields of the service's messages. Every byte they
// read comes from the network: each bound is checked where the byte is read,
// and a violation throws decode_error whose text is the failed check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "rocktree.pb.h"

// Rejection of service data. what() is the check text (for instance
// "*index < size"); population prints it with the record's path.
struct decode_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws decode_error(check_text) unless cond holds.
inline void requireData(bool cond, const char* check_text) {
  if (!cond) throw decode_error(check_text);
}

#pragma pack(push, 1)
struct vertex_t {
  uint8_t x, y, z;
  uint8_t w;  // octant 0..7 of the vertex within its node
  uint16_t u, v;
};
#pragma pack(pop)
static_assert(sizeof(vertex_t) == 8, "vertex_t is read by the GPU as 8 bytes");

struct OrientedBoundingBox {
  Eigen::Vector3d center;
  Eigen::Vector3d extents;      // half-sizes along the box's axes
  Eigen::Matrix3d orientation;  // column k is the box's k-th axis
};

constexpr int MAX_LEVEL = 21;

struct node_data_path_and_flags_t {
  char path[MAX_LEVEL + 1];
  int flags;
  int level;
};

// Variable-length integer, base 128, least significant group first.
int unpackVarInt(const std::string& packed, int* index);

std::vector<uint8_t> unpackVertices(const std::string& packed);

void unpackTexCoords(const std::string& packed, uint8_t* vertices, size_t vertices_len,
                     Eigen::Vector2f& uv_offset, Eigen::Vector2f& uv_scale);

std::vector<uint16_t> unpackIndices(const std::string& packed);

void unpackOctantMaskAndOctantCountsAndLayerBounds(const std::string& packed,
                                                   const uint16_t* indices, int indices_len,
                                                   uint8_t* vertices, int vertices_len,
                                                   int layer_bounds[10]);

// Normal table of a NodeData (3 bytes per entry); the caller delete[]s it.
int unpackForNormals(const geo_globetrotter_proto_rocktree::NodeData& nodeData,
                     uint8_t** unpacked_for_normals);

// Per-entry normals of a mesh (4 bytes per entry); the caller delete[]s it.
int unpackNormals(const geo_globetrotter_proto_rocktree::Mesh& mesh,
                  const uint8_t* unpacked_for_normals, int unpacked_for_normals_len,
                  uint8_t** unpacked_normals);

OrientedBoundingBox unpackObb(const std::string& packed, const Eigen::Vector3f& head_node_center,
                              float meters_per_texel);

node_data_path_and_flags_t unpackPathAndFlags(
    const geo_globetrotter_proto_rocktree::NodeMetadata& node_meta);
