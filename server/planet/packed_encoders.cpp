#include "planet/packed_encoders.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void packVarInt(uint32_t value, std::string& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

std::string packVertices(const std::vector<std::array<uint8_t, 3>>& xyz) {
  const size_t n = xyz.size();
  std::string out(3 * n, '\0');
  for (int axis = 0; axis < 3; ++axis) {
    uint8_t prev = 0;
    for (size_t i = 0; i < n; ++i) {
      out[axis * n + i] = static_cast<char>(static_cast<uint8_t>(xyz[i][axis] - prev));
      prev = xyz[i][axis];
    }
  }
  return out;
}

std::string packTexCoords(const std::vector<std::array<uint16_t, 2>>& uv, uint32_t u_mod,
                          uint32_t v_mod) {
  const size_t n = uv.size();
  std::string out(4 + 4 * n, '\0');
  const uint32_t mods[2] = {u_mod, v_mod};
  for (int c = 0; c < 2; ++c) {
    out[2 * c] = static_cast<char>((mods[c] - 1) & 0xFF);
    out[2 * c + 1] = static_cast<char>((mods[c] - 1) >> 8);
  }
  for (int c = 0; c < 2; ++c) {
    uint32_t prev = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t delta = (uv[i][c] + mods[c] - prev) % mods[c];
      out[4 + c * n + i] = static_cast<char>(delta & 0xFF);
      out[4 + (2 + c) * n + i] = static_cast<char>(delta >> 8);
      prev = uv[i][c];
    }
  }
  return out;
}

bool packIndices(const std::vector<uint16_t>& strip, std::string& out) {
  std::string packed;
  packVarInt(static_cast<uint32_t>(strip.size()), packed);
  uint32_t next_new = 0;
  for (uint16_t index : strip) {
    if (index > next_new) return false;
    packVarInt(next_new - index, packed);
    if (index == next_new) ++next_new;
  }
  out += packed;
  return true;
}

std::string packLayerAndOctantCounts(const std::vector<uint32_t>& runs) {
  std::string out;
  packVarInt(static_cast<uint32_t>(runs.size()), out);
  for (uint32_t r : runs) packVarInt(r, out);
  return out;
}

uint32_t packPathAndFlags(const std::string& relative_path, uint32_t flags) {
  const uint32_t level = static_cast<uint32_t>(relative_path.size());
  uint32_t v = level - 1;
  for (uint32_t i = 0; i < level; ++i) v |= static_cast<uint32_t>(relative_path[i] - '0') << (2 + 3 * i);
  return v | (flags << (2 + 3 * level));
}

std::string packObb(const packed_obb_t& box) {
  std::string out(15, '\0');
  auto put16 = [&](int at, uint16_t v) {
    out[at] = static_cast<char>(v & 0xFF);
    out[at + 1] = static_cast<char>(v >> 8);
  };
  for (int k = 0; k < 3; ++k) put16(2 * k, static_cast<uint16_t>(box.center[k]));
  for (int k = 0; k < 3; ++k) out[6 + k] = static_cast<char>(box.extents[k]);
  for (int k = 0; k < 3; ++k) put16(9 + 2 * k, box.angles[k]);
  return out;
}

Eigen::Matrix3d orientationFromAngles(const uint16_t angles[3]) {
  const double pi = std::numbers::pi;
  const float t0 = static_cast<float>(angles[0] * pi * std::ldexp(1.0, -15));
  const float t1 = static_cast<float>(angles[1] * pi * std::ldexp(1.0, -16));
  const float t2 = static_cast<float>(angles[2] * pi * std::ldexp(1.0, -15));
  const double s0 = std::sin(t0), c0 = std::cos(t0);
  const double s1 = std::sin(t1), c1 = std::cos(t1);
  const double s2 = std::sin(t2), c2 = std::cos(t2);
  Eigen::Matrix3d r;
  r << c0 * c2 - s0 * c1 * s2, -c0 * s2 - s0 * c1 * c2, s0 * s1,  //
      s0 * c2 + c0 * c1 * s2, c0 * c1 * c2 - s0 * s2, -c0 * s1,   //
      s1 * s2, s1 * c2, c1;
  return r;
}

void anglesFromOrientation(const Eigen::Matrix3d& r, uint16_t angles[3]) {
  const double pi = std::numbers::pi;
  const double a1 = std::acos(std::clamp(r(2, 2), -1.0, 1.0));
  double a0, a2;
  if (std::sin(a1) > 1e-9) {
    a0 = std::atan2(r(0, 2), -r(1, 2));
    a2 = std::atan2(r(2, 0), r(2, 1));
  } else {
    // Axis 2 along the planet's axis: only a0 + a2 matters.
    a0 = std::atan2(r(1, 0), r(0, 0));
    a2 = 0;
  }
  auto turn = [&](double a) {
    long v = std::lround(a * 32768.0 / pi);
    return static_cast<uint16_t>(((v % 65536) + 65536) % 65536);
  };
  angles[0] = turn(a0);
  angles[1] = static_cast<uint16_t>(std::clamp<long>(std::lround(a1 * 65536.0 / pi), 0, 65535));
  angles[2] = turn(a2);
}

Eigen::Vector3d decodedObbCenter(const int16_t offset[3], const Eigen::Vector3f& head_center,
                                 float meters_per_texel) {
  Eigen::Vector3d c;
  for (int k = 0; k < 3; ++k) {
    const float scaled = static_cast<float>(offset[k]) * meters_per_texel;
    c[k] = static_cast<double>(scaled + head_center[k]);
  }
  return c;
}
