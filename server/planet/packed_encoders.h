// The inverse of every packed-field decoder of the viewer: what these
// functions write, the viewer's packed-field decoders (client/tree/packed_decoders) read back unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

// Base-128 integer, least significant group first. Values are non-negative
// and below 2^31 (the viewer accumulates them in a signed 32-bit int).
void packVarInt(uint32_t value, std::string& out);

// Positions on the 8-bit mesh grid, one (x, y, z) triple per vertex: three
// planes of successive differences modulo 256.
std::string packVertices(const std::vector<std::array<uint8_t, 3>>& xyz);

// Texture coordinates u < u_mod, v < v_mod (1 <= mod <= 65536): the two
// moduli, then low and high byte planes of the differences modulo mod.
std::string packTexCoords(const std::vector<std::array<uint16_t, 2>>& uv, uint32_t u_mod,
                          uint32_t v_mod);

// One triangle strip. The code of an index is its distance below the next
// vertex not yet used, so the strip must introduce vertices in order of
// first use (index k appears first after 0 .. k-1). Returns false (and
// leaves out untouched) when it does not.
bool packIndices(const std::vector<uint16_t>& strip, std::string& out);

// Run lengths of the index list, run i belonging to layer i / 8 and
// octant i % 8 (at most 80 runs).
std::string packLayerAndOctantCounts(const std::vector<uint32_t>& runs);

// path_and_flags of a bulk entry: relative path of 1 to 4 digits '0'..'7'.
uint32_t packPathAndFlags(const std::string& relative_path, uint32_t flags);

// The 15-byte oriented box: centre offset and half-extents in units of
// meters_per_texel, orientation as Rz(a0) * Rx(a1) * Rz(a2).
struct packed_obb_t {
  int16_t center[3];
  uint8_t extents[3];
  uint16_t angles[3];  // a0, a2: value * pi / 32768; a1: value * pi / 65536
};
std::string packObb(const packed_obb_t& box);

// The rotation the viewer rebuilds from three quantized angles, computed the
// way it does (single-precision angles, sines and cosines; double products),
// so that a box fitted in this frame is the box the viewer sees.
Eigen::Matrix3d orientationFromAngles(const uint16_t angles[3]);

// Nearest quantized Euler angles of a rotation matrix (columns = box axes).
void anglesFromOrientation(const Eigen::Matrix3d& r, uint16_t angles[3]);

// Centre the viewer decodes: float(offset * mpt) + float(head_node_center).
Eigen::Vector3d decodedObbCenter(const int16_t offset[3], const Eigen::Vector3f& head_center,
                                 float meters_per_texel);
