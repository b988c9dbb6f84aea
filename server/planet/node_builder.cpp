#include "planet/node_builder.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <malloc.h>

#include <Eigen/LU>
#include <turbojpeg.h>

#include "planet/crn_encoder.h"
#include "planet/shore_colour.h"
#include "planet/user_layers.h"
#include "rocktree.pb.h"

using namespace geo_globetrotter_proto_rocktree;

namespace {

constexpr double deg = std::numbers::pi / 180.0;

int levelOf(const std::string& path) { return static_cast<int>(path.size()); }

// Walls below every sub-grid edge: deep enough to cover the height
// differences between a node and its finer neighbours.
double skirtDepth(const geo_box_t& box) {
  return 0.02 * (box.n - box.s) * deg * planet_radius + 10.0;
}

// Appends one strip to a longer one with degenerate triangles, keeping the
// first triangle of the appended strip at an even position so its winding
// survives the join.
void joinStrip(std::vector<uint16_t>& strip, const std::vector<uint16_t>& piece) {
  if (piece.empty()) return;
  if (!strip.empty()) {
    strip.push_back(strip.back());
    strip.push_back(piece.front());
    if (strip.size() % 2) strip.push_back(piece.front());
  }
  strip.insert(strip.end(), piece.begin(), piece.end());
}

Eigen::Matrix3d eastNorthUp(double lat, double lon) {
  const double la = lat * deg, lo = lon * deg;
  Eigen::Matrix3d r;
  r.col(0) = Eigen::Vector3d(-std::sin(lo), std::cos(lo), 0);
  r.col(1) = Eigen::Vector3d(-std::sin(la) * std::cos(lo), -std::sin(la) * std::sin(lo), std::cos(la));
  r.col(2) = unitVector(lat, lon);
  return r;
}

Eigen::Vector3d nodeOrigin(const geo_box_t& box) {
  return unitVector((box.s + box.n) * 0.5, (box.w + box.e) * 0.5) * planet_radius;
}

// The frame of a node's mesh and box: east, north, up at the box centre, as
// the box's quantized angles give it.
void nodeFrame(const geo_box_t& box, uint16_t angles[3], Eigen::Matrix3d* frame) {
  anglesFromOrientation(eastNorthUp((box.s + box.n) * 0.5, (box.w + box.e) * 0.5), angles);
  *frame = orientationFromAngles(angles);
}

// The box message for content that spans [lo, hi] along the frame's axes
// (coordinates frame^T * p of planet positions p), centred relative to the
// bulk's head_node_center; meters_per_texel raised until the centre's
// offsets fit int16 and the extents uint8.
node_box_t packNodeBox(const geo_box_t& box, const uint16_t angles[3], const Eigen::Matrix3d& frame,
                       const Eigen::Vector3d& lo, const Eigen::Vector3d& hi, const Eigen::Vector3f& head_center) {
  const Eigen::Vector3d center = frame * ((lo + hi) * 0.5);
  node_box_t out{};
  for (int k = 0; k < 3; ++k) out.packed.angles[k] = angles[k];
  float mpt = static_cast<float>(nominalMetersPerTexel(box));
  for (int attempt = 0; attempt < 200; ++attempt, mpt *= 1.25f) {
    bool fits = true;
    for (int k = 0; k < 3; ++k) {
      const double units = std::round((center[k] - head_center[k]) / mpt);
      if (std::fabs(units) > 32767) fits = false;
      out.packed.center[k] = static_cast<int16_t>(std::clamp(units, -32767.0, 32767.0));
    }
    if (!fits) continue;
    const Eigen::Vector3d c = decodedObbCenter(out.packed.center, head_center, mpt);
    // Half-extents around the decoded centre, padded for float rounding of
    // the viewer's centre and the uint8 rounding (always up).
    for (int k = 0; k < 3; ++k) {
      const double along = c.dot(frame.col(k));
      const double e = std::max(hi[k] - along, along - lo[k]);
      const double units = std::ceil((e + 2.0) / mpt + 0.01);
      if (units > 255) fits = false;
      out.packed.extents[k] = static_cast<uint8_t>(std::min(units, 255.0));
    }
    if (fits) break;
  }
  out.meters_per_texel = mpt;
  return out;
}

}  // namespace

bool nodeExists(const terrain_t& t, const std::string& path) {
  geo_box_t box;
  if (path.empty() || levelOf(path) > max_node_level || !nodeBox(path, &box)) return false;
  for (int l = first_sea_leaf_level; l < levelOf(path); ++l) {
    geo_box_t ancestor;
    nodeBox(std::string_view(path).substr(0, l), &ancestor);
    if (seaOnly(t, ancestor) && !layersCallForChildren(t, ancestor)) return false;
  }
  return true;
}

bool nodeIsLeaf(const terrain_t& t, const std::string& path) {
  if (levelOf(path) >= max_node_level) return true;
  if (levelOf(path) < first_sea_leaf_level) return false;
  geo_box_t box;
  nodeBox(path, &box);
  return seaOnly(t, box) && !layersCallForChildren(t, box);
}

bool bulkExists(const terrain_t& t, const std::string& path) {
  if (path.empty()) return true;
  return isBulkLength(path.size()) && nodeExists(t, path) && !nodeIsLeaf(t, path);
}

node_geometry_t buildNodeGeometry(const terrain_t& t, const std::string& path,
                                  const std::vector<double>* given_heights) {
  node_geometry_t g;
  nodeBox(path, &g.box);
  g.level = levelOf(path);
  const geo_box_t& box = g.box;
  constexpr int n = mesh_cells, side = n + 1;
  const std::vector<double> heights = given_heights ? *given_heights : heightGrid(t, box, g.level, n, 0);
  const double skirt = skirtDepth(box);

  // Sines and cosines once per grid row and column, not per vertex.
  std::vector<double> cos_lat(side), sin_lat(side), cos_lon(side), sin_lon(side);
  for (int k = 0; k < side; ++k) {
    const double la = gridCoord(box.s, box.n, k, n) * deg, lo = gridCoord(box.w, box.e, k, n) * deg;
    cos_lat[k] = std::cos(la);
    sin_lat[k] = std::sin(la);
    cos_lon[k] = std::cos(lo);
    sin_lon[k] = std::sin(lo);
  }
  // An explicit return type: Eigen would otherwise return an expression
  // holding a reference to a destroyed temporary.
  auto surface = [&](int r, int c, bool lowered) -> Eigen::Vector3d {
    const double h = std::max(heights[r * side + c], 0.0) - (lowered ? skirt : 0.0);
    const double radius = planet_radius + h;
    return Eigen::Vector3d(cos_lat[r] * cos_lon[c], cos_lat[r] * sin_lon[c], sin_lat[r]) * radius;
  };

  // Temporary vertices (position, grid cell, octant), then the strip over
  // them, then renumbering by first use.
  std::vector<Eigen::Vector3d> temp_pos;
  std::vector<std::array<int, 2>> temp_cell;
  std::vector<char> temp_octant;
  std::vector<uint16_t> strip;
  g.runs.assign(8, 0);
  size_t run_start = 0;
  int prev_digit = -1;
  for (const child_quadrant_t& child : childQuadrants(box, g.level)) {
    const int r0 = static_cast<int>(std::lround((child.box.s - box.s) / (box.n - box.s) * n));
    const int r1 = static_cast<int>(std::lround((child.box.n - box.s) / (box.n - box.s) * n));
    const int c0 = static_cast<int>(std::lround((child.box.w - box.w) / (box.e - box.w) * n));
    const int c1 = static_cast<int>(std::lround((child.box.e - box.w) / (box.e - box.w) * n));
    // The sub-grid plus a ring of skirt vertices under its edges.
    const int rows = r1 - r0 + 3, cols = c1 - c0 + 3;
    const int base = static_cast<int>(temp_pos.size());
    for (int rr = 0; rr < rows; ++rr)
      for (int cc = 0; cc < cols; ++cc) {
        const int r = std::clamp(r0 + rr - 1, r0, r1), c = std::clamp(c0 + cc - 1, c0, c1);
        const bool ring = rr == 0 || cc == 0 || rr == rows - 1 || cc == cols - 1;
        temp_pos.push_back(surface(r, c, ring));
        temp_cell.push_back({r, c});
        temp_octant.push_back(child.digit);
      }
    std::vector<uint16_t> piece;
    for (int rr = 0; rr + 1 < rows; ++rr) {
      std::vector<uint16_t> row;
      // North vertex first: counter-clockwise seen from outside the planet.
      for (int cc = 0; cc < cols; ++cc) {
        row.push_back(static_cast<uint16_t>(base + (rr + 1) * cols + cc));
        row.push_back(static_cast<uint16_t>(base + rr * cols + cc));
      }
      joinStrip(piece, row);
    }
    joinStrip(strip, piece);  // the join indices count to the previous run
    if (prev_digit >= 0) g.runs[prev_digit] = static_cast<uint32_t>(strip.size() - piece.size() - run_start);
    run_start = strip.size() - piece.size();
    prev_digit = child.digit - '0';
  }
  if (prev_digit >= 0) g.runs[prev_digit] = static_cast<uint32_t>(strip.size() - run_start);

  // Renumber by first use.
  std::vector<int> new_id(temp_pos.size(), -1);
  std::vector<int> order;
  g.strip.reserve(strip.size());
  for (uint16_t old : strip) {
    if (new_id[old] < 0) {
      new_id[old] = static_cast<int>(order.size());
      order.push_back(old);
    }
    g.strip.push_back(static_cast<uint16_t>(new_id[old]));
  }

  const Eigen::Vector3d origin = nodeOrigin(box);
  nodeFrame(box, g.angles, &g.frame);
  const Eigen::Matrix3d to_local = g.frame.inverse();
  std::vector<Eigen::Vector3d> local(order.size());
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(1e300), hi = Eigen::Vector3d::Constant(-1e300);
  for (size_t i = 0; i < order.size(); ++i) {
    local[i] = to_local * (temp_pos[order[i]] - origin);
    lo = lo.cwiseMin(local[i]);
    hi = hi.cwiseMax(local[i]);
  }
  Eigen::Vector3d step = (hi - lo) / 255.0;
  for (int k = 0; k < 3; ++k)
    if (!(step[k] > 1e-6)) step[k] = 1e-6;
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  for (int k = 0; k < 3; ++k) m.block<3, 1>(0, k) = g.frame.col(k) * step[k];
  m.block<3, 1>(0, 3) = origin + g.frame * lo;
  for (int k = 0; k < 16; ++k) g.globe_from_mesh[k] = m(k % 4, k / 4);

  g.xyz.resize(order.size());
  g.uv.resize(order.size());
  g.octant.resize(order.size());
  g.positions.resize(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    Eigen::Vector4d q(0, 0, 0, 1);
    for (int k = 0; k < 3; ++k) {
      const long v = std::clamp(std::lround((local[i][k] - lo[k]) / step[k]), 0L, 255L);
      g.xyz[i][k] = static_cast<uint8_t>(v);
      q[k] = static_cast<double>(v);
    }
    g.positions[i] = (m * q).head<3>();
    // Texel centres at the edges: texel 0 sits on the west (south) edge,
    // texel 255 on the east (north) edge, so neighbours share edge colours.
    const auto [r, c] = temp_cell[order[i]];
    const double fe = static_cast<double>(c) / n, fn = static_cast<double>(r) / n;
    g.uv[i][0] = static_cast<uint16_t>(std::lround(128 + 65280 * fe - 0.5));
    g.uv[i][1] = static_cast<uint16_t>(std::lround(128 + 65280 * fn - 0.5));
    g.octant[i] = temp_octant[order[i]];
  }
  return g;
}

node_box_t fitNodeBox(const node_geometry_t& g, const Eigen::Vector3f& head_center) {
  Eigen::Vector3d lo = Eigen::Vector3d::Constant(1e300), hi = Eigen::Vector3d::Constant(-1e300);
  const Eigen::Matrix3d to_local = g.frame.transpose();
  for (const Eigen::Vector3d& p : g.positions) {
    const Eigen::Vector3d l = to_local * p;
    lo = lo.cwiseMin(l);
    hi = hi.cwiseMax(l);
  }
  return packNodeBox(g.box, g.angles, g.frame, lo, hi, head_center);
}

node_box_t boundNodeBox(const terrain_t& t, const std::string& path, const Eigen::Vector3f& head_center) {
  geo_box_t box;
  nodeBox(path, &box);
  uint16_t angles[3];
  Eigen::Matrix3d frame;
  nodeFrame(box, angles, &frame);
  // Every vertex lies on a sphere between these radii (the mesh takes the
  // sea surface for heights below 0; skirts hang below), inside the box's
  // latitudes and longitudes; its decoded position stays within the span
  // of the true ones along each axis of the frame.
  const height_range_t h = heightGridRange(t, box, levelOf(path), mesh_cells);
  const double r0 = planet_radius + std::max(h.lo, 0.0) - skirtDepth(box);
  const double r1 = planet_radius + std::max(h.hi, 0.0);
  Eigen::Vector3d u_lo, u_hi, lo, hi;
  unitDotRange(box, frame, &u_lo, &u_hi);
  for (int k = 0; k < 3; ++k) {
    lo[k] = std::min(r0 * u_lo[k], r1 * u_lo[k]);
    hi[k] = std::max(r0 * u_hi[k], r1 * u_hi[k]);
  }
  return packNodeBox(box, angles, frame, lo, hi, head_center);
}

Eigen::Vector3d headNodeCenter(const std::string& bulk_path) {
  if (bulk_path.empty()) return Eigen::Vector3d::Zero();
  geo_box_t box;
  nodeBox(bulk_path, &box);
  return nodeOrigin(box);
}

std::vector<uint8_t> buildTexture(const terrain_t& t, const geo_box_t& box, int level,
                                  const std::vector<double>* heights) {
  constexpr int n = shading_cells, side = n + 3;  // one border sample each side
  const std::vector<double> h = heights ? *heights : heightGrid(t, box, level, n, 1);
  auto hs = [&](int r, int c) { return std::max(h[(r + 1) * side + (c + 1)], 0.0); };

  const double dy = (box.n - box.s) * deg * planet_radius / n;
  // Relief of big nodes is exaggerated, or mountains vanish at that scale.
  const double exaggeration = std::clamp(1.0 + std::sqrt(dy / 50.0), 1.0, 25.0);
  const Eigen::Vector3d light = Eigen::Vector3d(-1.0, 1.0, 1.2).normalized();

  // Colour times shade on the (n+1)^2 grid, row 0 south.
  std::vector<Eigen::Vector3f> grid(static_cast<size_t>(n + 1) * (n + 1));
  std::vector<float> shades(static_cast<size_t>(n + 1) * (n + 1));
  for (int r = 0; r <= n; ++r) {
    const double lat = gridCoord(box.s, box.n, r, n);
    const double dx = std::max(1.0, (box.e - box.w) * deg * planet_radius * std::cos(lat * deg) / n);
    for (int c = 0; c <= n; ++c) {
      const double lon = gridCoord(box.w, box.e, c, n);
      const double gx = (hs(r, c + 1) - hs(r, c - 1)) / (2 * dx) * exaggeration;
      const double gy = (hs(r + 1, c) - hs(r - 1, c)) / (2 * dy) * exaggeration;
      const Eigen::Vector3d normal = Eigen::Vector3d(-gx, -gy, 1.0).normalized();
      const double shade = std::clamp(normal.dot(light) / light.z(), 0.35, 1.6);
      shades[r * (n + 1) + c] = static_cast<float>(shade);
      if (!t.shoreline) grid[r * (n + 1) + c] = imageColour(t, lat, lon) * static_cast<float>(shade);
    }
  }

  if (t.shoreline) {
    std::vector<uint8_t> rgb = shoreTexture(t, box, level, shades, h, n);
    paintImagery(t, box, shades, n, rgb.data());
    return rgb;
  }

  // Bilinear upsampling; texel centres at fractions k / 255 of the box.
  // First along each grid row to the texture's width, then between rows:
  // both passes run over contiguous floats, which the compiler vectorizes.
  constexpr int w3 = texture_size * 3;
  std::vector<float> rows(static_cast<size_t>(n + 1) * w3);
  for (int j = 0; j <= n; ++j) {
    float* out = &rows[static_cast<size_t>(j) * w3];
    for (int c = 0; c < texture_size; ++c) {
      const double x = static_cast<double>(c) * n / (texture_size - 1);
      const int i = std::min(static_cast<int>(x), n - 1);
      const float tx = static_cast<float>(x - i);
      const Eigen::Vector3f v = grid[j * (n + 1) + i] * (1 - tx) + grid[j * (n + 1) + i + 1] * tx;
      out[c * 3] = v[0];
      out[c * 3 + 1] = v[1];
      out[c * 3 + 2] = v[2];
    }
  }
  std::vector<uint8_t> rgb(static_cast<size_t>(texture_size) * w3);
  for (int r = 0; r < texture_size; ++r) {
    const double y = static_cast<double>(texture_size - 1 - r) * n / (texture_size - 1);
    const int j = std::min(static_cast<int>(y), n - 1);
    const float ty = static_cast<float>(y - j);
    const float* a = &rows[static_cast<size_t>(j) * w3];
    const float* b = a + w3;
    uint8_t* out = &rgb[static_cast<size_t>(r) * w3];
    for (int k = 0; k < w3; ++k) {
      const float v = a[k] + (b[k] - a[k]) * ty + 0.5f;
      out[k] = static_cast<uint8_t>(v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v);
    }
  }
  // Big nodes span more imagery pixels than the shading grid has samples:
  // there the colour is sampled per texel, only the shade is interpolated.
  // (Few nodes are this coarse, so the cost does not matter.)
  if ((box.e - box.w) > (n + 1) * 360.0 / t.image_grid.width) {
    for (int r = 0; r < texture_size; ++r) {
      const double y = static_cast<double>(texture_size - 1 - r) * n / (texture_size - 1);
      const int j = std::min(static_cast<int>(y), n - 1);
      const float ty = static_cast<float>(y - j);
      const double lat = box.n - (box.n - box.s) * r / (texture_size - 1);
      for (int c = 0; c < texture_size; ++c) {
        const double x = static_cast<double>(c) * n / (texture_size - 1);
        const int i = std::min(static_cast<int>(x), n - 1);
        const float tx = static_cast<float>(x - i);
        const float* s0 = &shades[j * (n + 1) + i];
        const float* s1 = s0 + (n + 1);
        const float shade = (s0[0] * (1 - tx) + s0[1] * tx) * (1 - ty) + (s1[0] * (1 - tx) + s1[1] * tx) * ty;
        const Eigen::Vector3f v = imageColour(t, lat, box.w + (box.e - box.w) * c / (texture_size - 1)) * shade;
        for (int k = 0; k < 3; ++k)
          rgb[(static_cast<size_t>(r) * texture_size + c) * 3 + k] =
              static_cast<uint8_t>(std::clamp(v[k] + 0.5f, 0.0f, 255.0f));
      }
    }
  }
  paintImagery(t, box, shades, n, rgb.data());
  return rgb;
}

std::string encodeJpeg(const uint8_t* rgb, int width, int height) {
  // One compressor and one output buffer per thread, reused: a fresh
  // buffer per texture costs page faults that rival the encoding itself.
  struct handle_t {
    tjhandle h = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long capacity = 0;
    ~handle_t() {
      if (h) tjDestroy(h);
      tjFree(buf);
    }
  };
  thread_local handle_t tj;
  if (!tj.h) return {};
  const unsigned long need = tjBufSize(width, height, TJSAMP_420);
  if (need > tj.capacity) {
    tjFree(tj.buf);
    tj.buf = tjAlloc(static_cast<int>(need));
    tj.capacity = tj.buf ? need : 0;
    if (!tj.buf) return {};
  }
  unsigned long size = tj.capacity;
  if (tjCompress2(tj.h, rgb, width, 0, height, TJPF_RGB, &tj.buf, &size, TJSAMP_420, jpeg_quality,
                  TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0)
    return {};
  return std::string(reinterpret_cast<const char*>(tj.buf), size);
}

std::string buildNodeData(const terrain_t& t, const std::string& path, int format) {
  // One height grid for both: the mesh's samples are every other sample of
  // the shading grid (the same coordinates bit for bit, hence the same
  // heights as the grid the bulk bounded the node's box by).
  geo_box_t box;
  nodeBox(path, &box);
  const int level = levelOf(path);
  const std::vector<double> shading = heightGrid(t, box, level, shading_cells, 1);
  static_assert(shading_cells == 2 * mesh_cells);
  std::vector<double> mesh_heights;
  mesh_heights.reserve((mesh_cells + 1) * (mesh_cells + 1));
  for (int r = 0; r <= mesh_cells; ++r)
    for (int c = 0; c <= mesh_cells; ++c)
      mesh_heights.push_back(shading[(2 * r + 1) * (shading_cells + 3) + (2 * c + 1)]);
  const node_geometry_t g = buildNodeGeometry(t, path, &mesh_heights);
  const std::vector<uint8_t> rgb = buildTexture(t, g.box, g.level, &shading);
  std::string texture_bytes = format == Texture_Format_CRN_DXT1
                                  ? encodeCrnDxt1(rgb.data(), texture_size, texture_size)
                                  : encodeJpeg(rgb.data(), texture_size, texture_size);
  if (texture_bytes.empty()) return {};

  NodeData msg;
  for (double v : g.globe_from_mesh) msg.add_matrix_globe_from_mesh(v);
  msg.mutable_node_key()->set_path(path);
  msg.mutable_node_key()->set_epoch(planet_epoch);
  Mesh* mesh = msg.add_meshes();
  mesh->set_vertices(packVertices(g.xyz));
  mesh->set_texture_coordinates(packTexCoords(g.uv, 65536, 65536));
  std::string indices;
  packIndices(g.strip, indices);  // the strip is in first-use order by construction
  mesh->set_indices(std::move(indices));
  mesh->set_layer_and_octant_counts(packLayerAndOctantCounts(g.runs));
  Texture* tex = mesh->add_texture();
  tex->add_data(std::move(texture_bytes));
  tex->set_format(static_cast<Texture_Format>(format));
  tex->set_width(texture_size);
  tex->set_height(texture_size);
  return msg.SerializeAsString();
}

std::string buildBulkMetadata(const terrain_t& t, const std::string& path, uint32_t formats) {
  BulkMetadata msg;
  msg.mutable_head_node_key()->set_path(path);
  msg.mutable_head_node_key()->set_epoch(planet_epoch);
  const Eigen::Vector3d head = headNodeCenter(path);
  for (int k = 0; k < 3; ++k) msg.add_head_node_center(head[k]);
  const Eigen::Vector3f head_f = head.cast<float>();
  geo_box_t box;
  nodeBox(path, &box);
  std::vector<std::string> level{path};
  for (int depth = 1; depth <= bulk_depth && !level.empty(); ++depth) {
    std::vector<std::string> next;
    bool first = true;
    for (const std::string& parent : level) {
      geo_box_t pbox;
      nodeBox(parent, &pbox);
      for (const child_quadrant_t& child : childQuadrants(pbox, levelOf(parent))) {
        const std::string p = parent + child.digit;
        if (levelOf(p) > max_node_level) continue;
        if (first) {
          msg.add_meters_per_texel(static_cast<float>(nominalMetersPerTexel(child.box)));
          first = false;
        }
        const bool leaf = nodeIsLeaf(t, p);
        const node_box_t nb = boundNodeBox(t, p, head_f);
        NodeMetadata* entry = msg.add_node_metadata();
        entry->set_path_and_flags(
            packPathAndFlags(p.substr(path.size()), leaf ? NodeMetadata_Flags_LEAF : 0));
        entry->set_oriented_bounding_box(packObb(nb.packed));
        entry->set_meters_per_texel(nb.meters_per_texel);
        entry->set_available_texture_formats(formats);
        if (!leaf) next.push_back(p);
      }
    }
    level = std::move(next);
  }
  msg.set_default_imagery_epoch(planet_imagery_epoch);
  msg.set_default_available_texture_formats(formats);
  return msg.SerializeAsString();
}

std::string buildPlanetoidMetadata(const terrain_t& t) {
  PlanetoidMetadata msg;
  msg.mutable_root_node_metadata()->set_epoch(planet_epoch);
  msg.set_radius(static_cast<float>(planet_radius));
  msg.set_min_terrain_altitude(t.min_elevation);
  msg.set_max_terrain_altitude(t.max_elevation);
  return msg.SerializeAsString();
}

void tuneAllocatorForServing() {
  mallopt(M_MMAP_THRESHOLD, serving_mmap_threshold_bytes);
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
  mallopt(M_ARENA_MAX, serving_malloc_arenas);
}
