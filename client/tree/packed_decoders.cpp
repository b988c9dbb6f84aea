#include "tree/packed_decoders.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>

namespace {

// Little-endian fields at a byte offset the caller has already bounded.
int16_t readInt16(const std::string& s, size_t at) {
  return static_cast<int16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint16_t readUint16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint8_t byteAt(const std::string& s, size_t at) { return static_cast<uint8_t>(s[at]); }

}  // namespace

// The format accumulates in 32-bit signed arithmetic, so an encoder can send
// a negative number as five bytes. We accumulate in unsigned arithmetic, where
// wrapping is defined, and hand back the same two's-complement value; groups
// beyond the fifth fall off the top. Callers reject negative counts.
int unpackVarInt(const std::string& packed, int* index) {
  const int size = static_cast<int>(std::min<size_t>(packed.size(), INT32_MAX));
  requireData(*index >= 0 && *index < size, "*index < size");
  uint32_t value = 0;
  unsigned shift = 0;
  while (*index < size) {
    uint8_t b = byteAt(packed, static_cast<size_t>(*index));
    ++*index;
    if (shift < 32) value += static_cast<uint32_t>(b & 0x7F) << shift;
    shift += 7;
    if (!(b & 0x80)) return static_cast<int>(value);
  }
  requireData(false, "*index < size");
  return 0;  // not reached
}

std::vector<uint8_t> unpackVertices(const std::string& packed) {
  const size_t n = packed.size() / 3;
  std::vector<uint8_t> out(n * sizeof(vertex_t));
  vertex_t* vtx = reinterpret_cast<vertex_t*>(out.data());
  const uint8_t* plane_x = reinterpret_cast<const uint8_t*>(packed.data());
  const uint8_t* plane_y = plane_x + n;
  const uint8_t* plane_z = plane_y + n;
  uint8_t x = 0, y = 0, z = 0;  // deltas wrap modulo 256 by design
  for (size_t i = 0; i < n; ++i) {
    x = static_cast<uint8_t>(x + plane_x[i]);
    y = static_cast<uint8_t>(y + plane_y[i]);
    z = static_cast<uint8_t>(z + plane_z[i]);
    vtx[i].x = x;
    vtx[i].y = y;
    vtx[i].z = z;
  }
  return out;
}

void unpackTexCoords(const std::string& packed, uint8_t* vertices, size_t vertices_len,
                     Eigen::Vector2f& uv_offset, Eigen::Vector2f& uv_scale) {
  const size_t count = vertices_len / sizeof(vertex_t);
  // The size test comes first so that the subtraction cannot wrap.
  requireData(packed.size() >= 4 && count * 4 == (packed.size() - 4),
              "count * 4 == (packed.size() - 4) && packed.size() >= 4");
  const uint32_t u_mod = 1u + readUint16(packed, 0);
  const uint32_t v_mod = 1u + readUint16(packed, 2);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(packed.data()) + 4;
  const uint8_t* u_lo = p;
  const uint8_t* v_lo = p + count;
  const uint8_t* u_hi = p + 2 * count;
  const uint8_t* v_hi = p + 3 * count;
  vertex_t* vtx = reinterpret_cast<vertex_t*>(vertices);
  uint32_t u = 0, v = 0;
  for (size_t i = 0; i < count; ++i) {
    u = (u + u_lo[i] + (static_cast<uint32_t>(u_hi[i]) << 8)) % u_mod;
    v = (v + v_lo[i] + (static_cast<uint32_t>(v_hi[i]) << 8)) % v_mod;
    vtx[i].u = static_cast<uint16_t>(u);
    vtx[i].v = static_cast<uint16_t>(v);
  }
  uv_offset = Eigen::Vector2f(0.5f, 0.5f);
  uv_scale = Eigen::Vector2f(static_cast<float>(1.0 / u_mod), static_cast<float>(1.0 / v_mod));
}

std::vector<uint16_t> unpackIndices(const std::string& packed) {
  int index = 0;
  const int strip_len = unpackVarInt(packed, &index);
  requireData(strip_len >= 0, "strip_len >= 0");
  // Every code takes at least one byte: a longer strip cannot be in the data,
  // and must not make us allocate for it.
  requireData(static_cast<size_t>(strip_len) <= packed.size() - static_cast<size_t>(index),
              "strip_len <= packed.size() - index");
  std::vector<uint16_t> out(static_cast<size_t>(strip_len));
  uint32_t zeros = 0;
  for (int i = 0; i < strip_len; ++i) {
    const uint32_t c = static_cast<uint32_t>(unpackVarInt(packed, &index));
    out[static_cast<size_t>(i)] = static_cast<uint16_t>(zeros - c);  // modulo 65536
    if (c == 0) ++zeros;
  }
  return out;
}

void unpackOctantMaskAndOctantCountsAndLayerBounds(const std::string& packed,
                                                   const uint16_t* indices, int indices_len,
                                                   uint8_t* vertices, int vertices_len,
                                                   int layer_bounds[10]) {
  vertex_t* vtx = reinterpret_cast<vertex_t*>(vertices);
  const int vertex_count = vertices_len / static_cast<int>(sizeof(vertex_t));
  int index = 0;
  const int run_count = unpackVarInt(packed, &index);
  int p = 0;  // position in the index list; equals the running total k
  int m = 0;
  for (int i = 0; i < run_count; ++i) {
    if (i % 8 == 0) {
      requireData(m < 10, "m < 10");
      layer_bounds[m++] = p;
    }
    const int v = unpackVarInt(packed, &index);
    // The runs partition the index list: they may not step back or past its end.
    requireData(v >= 0 && v <= indices_len - p, "0 <= v && v <= indices_len - p");
    for (int j = 0; j < v; ++j) {
      const int idx = indices[p + j];
      requireData(0 <= idx && idx < indices_len, "0 <= idx && idx < indices_len");
      const int vtx_i = idx;
      requireData(0 <= vtx_i && vtx_i < vertex_count,
                  "0 <= vtx_i && vtx_i < vertices_len / sizeof(vertex_t)");
      vtx[vtx_i].w = static_cast<uint8_t>(i % 8);
    }
    p += v;
  }
  for (; m < 10; ++m) layer_bounds[m] = p;
}

namespace {

// Expands one plane byte of the normal table to the precision s.
int expandNormalByte(int x, int s) {
  if (s <= 4) return (x << s) + (x & ((1 << s) - 1));
  if (s <= 6) {
    const int q = 8 - s;
    const int t = x << s;
    return t + (t >> q) + ((t >> q) >> q) + (((t >> q) >> q) >> q);
  }
  return -(x & 1);
}

uint8_t normalComponentByte(double component, double scale) {
  double b = std::round(127.0 + component * scale);  // halves away from zero
  return static_cast<uint8_t>(std::clamp(b, 0.0, 255.0));
}

}  // namespace

int unpackForNormals(const geo_globetrotter_proto_rocktree::NodeData& nodeData,
                     uint8_t** unpacked_for_normals) {
  requireData(nodeData.has_for_normals(), "nodeData.has_for_normals()");
  const std::string& packed = nodeData.for_normals();
  const size_t size = packed.size();
  requireData(size > 2, "size > 2");
  const size_t count = readUint16(packed, 0);
  requireData(count * 2 == size - 3, "count * 2 == size - 3");
  const int s = byteAt(packed, 2);
  const uint8_t* plane_a = reinterpret_cast<const uint8_t*>(packed.data()) + 3;
  const uint8_t* plane_b = plane_a + count;

  auto out = std::make_unique<uint8_t[]>(3 * count);
  for (size_t i = 0; i < count; ++i) {
    double a = expandNormalByte(plane_a[i], s) / 255.0;
    double f = expandNormalByte(plane_b[i], s) / 255.0;
    double g = a + f;
    double h = a - f;
    double sign = 1.0;
    if (!(0.5 <= g && g <= 1.5 && -0.5 <= h && h <= 0.5)) {
      sign = -1.0;
      const double a0 = a, f0 = f;
      if (g <= 0.5) {
        a = 0.5 - f0;
        f = 0.5 - a0;
      } else if (g >= 1.5) {
        a = 1.5 - f0;
        f = 1.5 - a0;
      } else if (h <= -0.5) {
        a = f0 - 0.5;
        f = a0 + 0.5;
      } else {
        a = f0 + 0.5;
        f = a0 - 0.5;
      }
      g = a + f;
      h = a - f;
    }
    const double z = sign * std::min(std::min(1 - 2 * h, 1 + 2 * h), std::min(3 - 2 * g, 2 * g - 1));
    const double x = 2 * a - 1;
    const double y = 2 * f - 1;
    const double len = std::sqrt(z * z + x * x + y * y);
    const double scale = 127.0 / len;
    out[3 * i + 0] = normalComponentByte(z, scale);
    out[3 * i + 1] = normalComponentByte(x, scale);
    out[3 * i + 2] = normalComponentByte(y, scale);
  }
  *unpacked_for_normals = out.release();
  return static_cast<int>(3 * count);
}

int unpackNormals(const geo_globetrotter_proto_rocktree::Mesh& mesh,
                  const uint8_t* unpacked_for_normals, int unpacked_for_normals_len,
                  uint8_t** unpacked_normals) {
  if (mesh.has_normals() && unpacked_for_normals != nullptr) {
    const std::string& packed = mesh.normals();
    const size_t count = packed.size() / 2;
    auto out = std::make_unique<uint8_t[]>(4 * count);
    for (size_t i = 0; i < count; ++i) {
      const int j = byteAt(packed, i) + 256 * byteAt(packed, count + i);
      requireData(3 * j + 2 < unpacked_for_normals_len, "3 * j + 2 < unpacked_for_normals_len");
      out[4 * i + 0] = unpacked_for_normals[3 * j + 0];
      out[4 * i + 1] = unpacked_for_normals[3 * j + 1];
      out[4 * i + 2] = unpacked_for_normals[3 * j + 2];
      out[4 * i + 3] = 0;
    }
    *unpacked_normals = out.release();
    return static_cast<int>(4 * count);
  }
  // No normals to look up: a null vector for each of eight records per
  // packed vertex, so a consumer indexing per vertex stays inside the buffer.
  const size_t n = mesh.vertices().size() / 3;
  const size_t len = 32 * n;
  auto out = std::make_unique<uint8_t[]>(len);
  for (size_t i = 0; i < len; i += 4) {
    out[i + 0] = 127;
    out[i + 1] = 127;
    out[i + 2] = 127;
    out[i + 3] = 0;
  }
  *unpacked_normals = out.release();
  return static_cast<int>(len);
}

OrientedBoundingBox unpackObb(const std::string& packed, const Eigen::Vector3f& head_node_center,
                              float meters_per_texel) {
  requireData(packed.size() == 15, "packed.size() == 15");
  OrientedBoundingBox box;
  // Single precision on purpose: the service quantised the boxes against a
  // float centre, and the viewer must land on the same values.
  for (int k = 0; k < 3; ++k) {
    const float c = static_cast<float>(readInt16(packed, 2 * k)) * meters_per_texel + head_node_center[k];
    box.center[k] = static_cast<double>(c);
  }
  for (int k = 0; k < 3; ++k) {
    const float e = static_cast<float>(byteAt(packed, 6 + k)) * meters_per_texel;
    box.extents[k] = static_cast<double>(e);
  }
  const float a0 = static_cast<float>(readUint16(packed, 9) * std::numbers::pi / 32768.0);
  const float a1 = static_cast<float>(readUint16(packed, 11) * std::numbers::pi / 65536.0);
  const float a2 = static_cast<float>(readUint16(packed, 13) * std::numbers::pi / 32768.0);
  const double s0 = std::sin(a0), c0 = std::cos(a0);
  const double s1 = std::sin(a1), c1 = std::cos(a1);
  const double s2 = std::sin(a2), c2 = std::cos(a2);
  // Rz(a0) * Rx(a1) * Rz(a2), written out.
  box.orientation << c0 * c2 - s0 * c1 * s2, -c0 * s2 - s0 * c1 * c2, s0 * s1,
                     s0 * c2 + c0 * c1 * s2, c0 * c1 * c2 - s0 * s2, -c0 * s1,
                     s1 * s2, s1 * c2, c1;
  return box;
}

node_data_path_and_flags_t unpackPathAndFlags(
    const geo_globetrotter_proto_rocktree::NodeMetadata& node_meta) {
  node_data_path_and_flags_t result{};
  // Signed on purpose: the flags are what remains after an arithmetic shift.
  int32_t v = static_cast<int32_t>(node_meta.path_and_flags());
  result.level = (v & 3) + 1;
  v >>= 2;
  for (int i = 0; i < result.level; ++i) {
    result.path[i] = static_cast<char>('0' + (v & 7));
    v >>= 3;
  }
  result.path[result.level] = '\0';
  result.flags = v;
  return result;
}
