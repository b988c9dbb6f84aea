// Hand-built service data for the decoder and population tests, the fuzz
// seeds and the benchmarks: the packed encodings written out the simple way,
// and test images encoded at run time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rocktree.pb.h"

namespace test_messages {

using namespace geo_globetrotter_proto_rocktree;

// Base-128 groups of the value's 32-bit two's-complement pattern.
std::string varInt(int32_t value);
std::string varInts(const std::vector<int32_t>& values);  // concatenated

std::string packVertices(const std::vector<std::array<uint8_t, 3>>& xyz);
std::string packTexCoords(int u_mod, int v_mod, const std::vector<std::array<uint16_t, 2>>& uv);
// The strip must name new vertices in order of first use (0, 1, 2, ...).
std::string packIndices(const std::vector<uint16_t>& strip);
// Run count, then the run lengths.
std::string packRuns(const std::vector<int32_t>& runs);
std::string packObb(std::array<int16_t, 3> center, std::array<uint8_t, 3> extents,
                    std::array<uint16_t, 3> angles);
uint32_t packPathAndFlags(const std::string& path, int flags);

// Test images, rows top first, with a smooth colour pattern; a JPEG of
// 1 component is grayscale, of 4 components CMYK.
std::string makeJpeg(int width, int height, int components, int quality = 90);
std::string makePng(int width, int height, int components);
std::vector<uint8_t> patternPixels(int width, int height, int components);

// A side x side vertex grid drawn as one strip (rows joined by degenerate
// triangles), vertices numbered by first use; its runs spread the strip over
// octants 0-3 of layer 0 and put `hidden_tail` more indices into layer 3.
struct grid_mesh_t {
  std::vector<std::array<uint8_t, 3>> xyz;
  std::vector<std::array<uint16_t, 2>> uv;
  std::vector<uint16_t> strip;
  std::vector<int32_t> runs;
};
grid_mesh_t gridMesh(int side, int hidden_tail = 0);
void fillMesh(Mesh* mesh, const grid_mesh_t& grid, int u_mod = 256, int v_mod = 256);
void setTexture(Mesh* mesh, Texture_Format format, const std::string& data, int width, int height);

// A NodeData with the identity-like matrix 0..15 and no meshes.
NodeData nodeDataWithMatrix();

}  // namespace test_messages
