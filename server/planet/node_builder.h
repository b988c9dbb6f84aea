// The messages of the planet: one node's mesh and texture (NodeData), the
// node entries of a bulk (BulkMetadata) and the planetoid. Everything here
// is a pure function of the request and the terrain, so the same request
// always gives the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "planet/octree_geometry.h"
#include "planet/packed_encoders.h"
#include "planet/terrain.h"
#include "rocktreed_settings.h"

constexpr uint32_t format_bit_jpg = 1u << 0;   // Texture.Format JPG = 1
constexpr uint32_t format_bit_crn = 1u << 5;   // Texture.Format CRN_DXT1 = 6

// Node with this full path exists (valid digits, level 1..20, no leaf among
// its ancestors).
bool nodeExists(const terrain_t& t, const std::string& path);
// Existing node without children: the deepest level, or sea only from
// level 12 on unless a user layer finer than its texels reaches into it.
bool nodeIsLeaf(const terrain_t& t, const std::string& path);
// A bulk exists for the root ("") and every existing non-leaf node whose
// path length is a multiple of four.
bool bulkExists(const terrain_t& t, const std::string& path);

struct node_geometry_t {
  geo_box_t box;
  int level = 0;
  // Packed-ready mesh: vertices in order of first use in the strip.
  std::vector<std::array<uint8_t, 3>> xyz;
  std::vector<std::array<uint16_t, 2>> uv;
  std::vector<uint16_t> strip;
  std::vector<uint32_t> runs;  // 8 runs of layer 0, by octant
  std::vector<char> octant;    // child digit of each vertex ('0'..'3')
  double globe_from_mesh[16];  // column-major, maps [0,255]^3 to the planet
  uint16_t angles[3];          // the frame as the box's quantized angles
  Eigen::Matrix3d frame;       // orientationFromAngles(angles)
  std::vector<Eigen::Vector3d> positions;  // what the viewer decodes, metres
};

// Mesh of an existing node (no texture). `heights`, when given, is the
// node's heightGrid(.., mesh_cells, 0), computed by the caller.
node_geometry_t buildNodeGeometry(const terrain_t& t, const std::string& path,
                                  const std::vector<double>* heights = nullptr);

struct node_box_t {
  packed_obb_t packed;
  float meters_per_texel;
};
// Box of a node, representable relative to the bulk's head_node_center,
// with meters_per_texel raised where needed so that the offsets fit int16
// and the extents uint8. boundNodeBox (what bulks announce) holds the mesh
// without building it: the node's latitudes and longitudes between a lowest
// and a highest radius (heightGridRange, skirts below). fitNodeBox is the
// tightest box around a built mesh, the yardstick of the bound's cost.
node_box_t boundNodeBox(const terrain_t& t, const std::string& path, const Eigen::Vector3f& head_center);
node_box_t fitNodeBox(const node_geometry_t& g, const Eigen::Vector3f& head_center);

// head_node_center of a bulk: the surface point at its head node's centre
// (the planet's centre for the root bulk).
Eigen::Vector3d headNodeCenter(const std::string& bulk_path);

// 256x256 RGB texture of a node, first row north, hillshaded. `heights`,
// when given, is the node's heightGrid(.., shading_cells, 1).
std::vector<uint8_t> buildTexture(const terrain_t& t, const geo_box_t& box, int level,
                                  const std::vector<double>* heights = nullptr);

// JPEG of an RGB image (4:2:0, quality jpeg_quality); empty on failure.
std::string encodeJpeg(const uint8_t* rgb, int width, int height);

// Serialized messages. `format` is a Texture.Format value the caller has
// checked is offered (1 or 6); returns an empty string when the texture
// cannot be made in that format.
std::string buildNodeData(const terrain_t& t, const std::string& path, int format);
std::string buildBulkMetadata(const terrain_t& t, const std::string& path, uint32_t formats);
std::string buildPlanetoidMetadata(const terrain_t& t);

// Keeps the node build's large temporary buffers (texture, JPEG work areas)
// in the heap between builds instead of returning them to the kernel after
// every node: the page faults of fresh mappings cost as much as the JPEG.
// Blocks above serving_mmap_threshold_bytes are mapped and unmapped instead,
// so that what comes and goes in big blocks leaves no holes in the heap.
// And one malloc arena for all threads: with one per event loop and build
// thread, each arena kept its own freed answers and buffers, and the
// resident size grew past --cache-mb with every distinct request.
void tuneAllocatorForServing();
